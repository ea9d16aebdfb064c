#pragma once
// Shared by the start-up probes: time since the process started and its
// resident memory, printed once the first window has been painted.
#include <QEvent>
#include <QObject>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <time.h>
#include <unistd.h>

inline double secondsSinceProcessStart()
{
    std::ifstream stat("/proc/self/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), {});
    std::size_t pos = content.rfind(')') + 2;
    for (int field = 3; field < 22; ++field)
        pos = content.find(' ', pos) + 1;
    const double startTicks = std::stod(content.substr(pos, content.find(' ', pos) - pos));
    timespec boot{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    return double(boot.tv_sec) + double(boot.tv_nsec) / 1e9 - startTicks / double(sysconf(_SC_CLK_TCK));
}

inline long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

// Prints "startup_ms rss_kib" after the window's first paint, then quits.
class FirstPaint : public QObject
{
public:
    explicit FirstPaint(QWidget* window) { window->installEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !m_done) {
            m_done = true;
            QMetaObject::invokeMethod(this, [] {
                std::printf("%.2f %ld\n", secondsSinceProcessStart() * 1000.0, residentKiB());
                std::fflush(stdout);
                std::_Exit(0);
            }, Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_done = false;
};
