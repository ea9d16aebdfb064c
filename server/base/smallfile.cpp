#include "smallfile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmario::server {

bool readSmallFile(const std::string& path, std::size_t maxBytes, SmallFile& file, std::string& error)
{
    // O_NONBLOCK: opening a FIFO returns at once instead of waiting for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd == -1) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok)
        error = std::strerror(errno);
    else if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
        ok = false;
    } else if (std::size_t(st.st_size) > maxBytes) {
        error = "larger than " + std::to_string(maxBytes) + " bytes";
        ok = false;
    }
    file.text.clear();
    if (ok) {
        file.readableByOthers = (st.st_mode & S_IROTH) != 0;
        // One byte more than allowed tells a file that grew since fstat.
        file.text.resize(maxBytes + 1);
        std::size_t got = 0;
        while (ok && got < file.text.size()) {
            const ssize_t n = ::read(fd, file.text.data() + got, file.text.size() - got);
            if (n == 0)
                break;
            if (n < 0 && errno != EINTR) {
                error = std::strerror(errno);
                ok = false;
            }
            got += n > 0 ? std::size_t(n) : 0;
        }
        file.text.resize(got);
        if (ok && got > maxBytes) {
            error = "larger than " + std::to_string(maxBytes) + " bytes";
            ok = false;
        }
    }
    ::close(fd);
    if (!ok)
        file.text.clear();
    return ok;
}

} // namespace velmario::server
