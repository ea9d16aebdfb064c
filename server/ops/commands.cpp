#include "commands.h"

#include "replies.h"
#include "csvimport.h"
#include "directory.h"
#include "exitcodes.h"
#include "log.h"
#include "signals.h"
#include "snapshot.h"

#include <algorithm>
#include <csignal>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/file.h>
#include <unistd.h>

namespace velmario::server {

namespace {

// A CSV file read a block at a time; the reading ends early, as at the
// file's end, when SIGINT or SIGTERM asks the import to stop. What is read
// from a pipe, which cannot be read twice, is also kept in `spool` (when
// given) as it goes, so that the CSV's bounds apply before any of it is
// kept whole.
class FileInput final : public CsvInput
{
public:
    explicit FileInput(const std::string& path) : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    FileInput(int fd, int spool) : m_fd(fd), m_spool(spool) {}
    ~FileInput() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileInput(const FileInput&) = delete;
    FileInput& operator=(const FileInput&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    // Why the reading ended before the file's end, if it did.
    const std::string& error() const { return m_error; }

    std::string_view more() override
    {
        if (m_fd < 0 || interruption() != 0)
            return {};
        for (;;) {
            const ssize_t n = ::read(m_fd, m_block.data(), m_block.size());
            if (n >= 0 && !keep(static_cast<std::size_t>(n)))
                return {};
            if (n >= 0)
                return {m_block.data(), static_cast<std::size_t>(n)};
            if (errno != EINTR) {
                m_error = std::strerror(errno);
                return {};
            }
            if (interruption() != 0)
                return {};
        }
    }

private:
    bool keep(std::size_t bytes)
    {
        for (std::size_t done = 0; m_spool >= 0 && done < bytes;) {
            const ssize_t n = ::write(m_spool, m_block.data() + done, bytes - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                m_error = std::string("cannot keep what was read: ") + std::strerror(errno);
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    int m_fd;
    int m_spool = -1;
    std::array<char, 64 * 1024> m_block{};
    std::string m_error;
};

// Where an import reads its CSV: a file, or a pipe ("-" for standard input,
// a named pipe, /dev/stdin), whose bytes are spooled to an unnamed file so
// that the reading for where repeated numbers first stood can go over them
// again.
struct CsvSource {
    int fd = -1;
    int spool = -1; // -1 for a file, which is read again itself
    std::string error;
    ~CsvSource()
    {
        if (fd >= 0)
            ::close(fd);
        if (spool >= 0)
            ::close(spool);
    }
};

void openCsv(const std::string& path, CsvSource& source)
{
    source.fd = path == "-" ? ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (source.fd < 0 || ::fstat(source.fd, &st) != 0) {
        const std::string why = std::strerror(errno);
        source.error = path == "-" ? "cannot read standard input: " + why : notAFile(path, "CSV file");
        if (source.error.empty())
            source.error = "cannot read " + path + ": " + why;
        return;
    }
    if (S_ISREG(st.st_mode))
        return;
    if (!S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode) && path != "-") {
        source.error = notAFile(path, "CSV file");
        return;
    }
    const char* folder = std::getenv("TMPDIR");
    source.spool = ::open(folder && *folder ? folder : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (source.spool < 0)
        source.error = std::string("cannot make a file to keep the input in: ") + std::strerror(errno);
}

bool interrupted()
{
    return interruption() != 0;
}

// Held by an import from its start until its copy is written, on the folder
// of its database, so that two imports never interleave their databases
// and copies. A second import waits, saying so, until the first ends or it
// is itself interrupted. Released when the process ends, however it ends.
class ImportLock
{
public:
    explicit ImportLock(const std::string& dbPath)
    {
        namespace fs = std::filesystem;
        const fs::path target(dbPath);
        const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
        m_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_fd < 0) {
            m_error = "cannot open " + folder.string() + ": " + std::strerror(errno);
            return;
        }
        bool told = false;
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                m_error = "cannot lock " + folder.string() + ": " + std::strerror(errno);
                return;
            }
            if (!told)
                log("waiting for another import into " + folder.string() + " to end");
            told = true;
            if (interrupted())
                return;
            ::usleep(100'000);
        }
        m_held = true;
    }
    ~ImportLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    ImportLock(const ImportLock&) = delete;
    ImportLock& operator=(const ImportLock&) = delete;

    bool held() const { return m_held; }
    const std::string& error() const { return m_error; }

private:
    int m_fd = -1;
    bool m_held = false;
    std::string m_error;
};

// What the kernel says this machine can still give without swapping.
std::optional<std::uint64_t> memoryAvailable()
{
    std::FILE* f = std::fopen("/proc/meminfo", "re");
    if (!f)
        return std::nullopt;
    std::optional<std::uint64_t> bytes;
    char line[128];
    unsigned long long kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "MemAvailable: %llu kB", &kb) == 1)
            bytes = std::uint64_t(kb) * 1024;
    std::fclose(f);
    return bytes;
}

// Keeps the replies of the database this import wrote (the file `written`)
// beside it, as a checked copy: the server then need not read and check
// every entry each time it loads the database. Without it the server still
// works, only slower to start.
bool keepCheckedCopy(const std::string& dbPath, std::optional<std::pair<std::uint64_t, std::uint64_t>> written)
{
    snapshot::remove(dbPath); // an older one no longer belongs to the database
    std::string why;
    const auto file = snapshot::readDatabase(dbPath, why, interrupted);
    std::unique_ptr<Directory> directory;
    if (file && (!written || written->first != file->device || written->second != file->inode))
        why = "another file took its place meanwhile";
    else if (file)
        directory = Directory::open(dbPath, why);
    if (directory && !snapshot::unchanged(dbPath, *file)) {
        directory.reset();
        why = "the database changed while it was read";
    }
    bool kept = false;
    if (directory) {
        // The replies take about what the database does: built in memory
        // while that leaves half the machine's memory free, otherwise in
        // files beside the database, whose pages the kernel writes out.
        const auto available = memoryAvailable();
        const bool hold = !available || file->size < *available / 2;
        std::unique_ptr<const ReplyIndex> replies;
        std::string problem;
        switch (readReplies(*directory, ReplyIndex::kMaxEntries, problem, replies, interrupted,
                            hold ? std::string() : folderOf(dbPath))) {
        case Holding::InMemory:
            kept = snapshot::write(dbPath, *file, replies->size(), replies.get(), why, interrupted);
            break;
        case Holding::TooLarge: why = problem.empty() ? "not enough memory" : problem; break;
        case Holding::Unreadable: why = damagedFile(dbPath); break;
        case Holding::Invalid: why = problem; break;
        }
    }
    if (interrupted())
        why = interruption() == SIGTERM ? "stopped by SIGTERM" : "stopped by SIGINT";
    if (!kept)
        log("no checked copy of its replies kept beside " + dbPath + " (" + why +
                "): the server checks every entry each time it loads it",
            LogPriority::Warning);
    return kept;
}

} // namespace

int runImport(const std::string& csvPath, const std::string& dbPath, bool allowEmpty)
{
    // An interrupted import removes its new file and leaves the old
    // database as it was.
    catchInterrupts();
    CsvSource source;
    openCsv(csvPath, source);
    if (!source.error.empty()) {
        log(source.error + ": nothing imported", LogPriority::Error);
        return kExitFailure;
    }
    FileInput in(::fcntl(source.fd, F_DUPFD_CLOEXEC, 0), source.spool);
    const std::string shown = csvPath == "-" ? std::string("standard input") : csvPath;
    DirectoryWriter writer;
    const auto stop = [&](int signal) {
        writer.discard();
        log(std::string("import stopped by ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") + ": " + dbPath +
            " unchanged", LogPriority::Warning);
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return kExitFailure;
    };
    const ImportLock lock(dbPath);
    if (const int signal = interruption())
        return stop(signal);
    if (!lock.held()) {
        log("import failed: " + lock.error(), LogPriority::Error);
        return kExitFailure;
    }
    // What an import killed while it wrote a copy left behind.
    snapshot::removeLeftovers(dbPath);
    std::string error;
    if (!writer.begin(dbPath, error)) {
        log("import failed: " + error, LogPriority::Error);
        return kExitFailure;
    }
    // Each good entry goes straight into the new database, so that memory
    // holds the CSV text and little more. The database finds duplicates;
    // where their first lines are is looked up only if there are any.
    std::unordered_map<std::string, std::size_t> duplicates; // number -> first line, found later
    std::vector<std::pair<std::string, std::size_t>> repeated;
    bool failed = false;
    std::vector<CsvProblem> problems = readDirectoryCsv(in, [&](Entry&& entry, std::size_t line, std::string&) {
        if (!failed) {
            switch (writer.add(entry, error)) {
            case DirectoryWriter::Added::Ok: break;
            case DirectoryWriter::Added::Duplicate:
                duplicates.emplace(entry.controlNumber, 0);
                repeated.emplace_back(entry.controlNumber, line);
                break;
            case DirectoryWriter::Added::Failed: failed = true; break;
            }
        }
        return true;
    });
    if (const int signal = interruption())
        return stop(signal);
    if (failed) {
        log("import failed: " + error, LogPriority::Error);
        return kExitFailure;
    }
    if (!in.error().empty()) {
        log("cannot read " + shown + ": " + in.error() + ": nothing imported, " + dbPath + " unchanged",
            LogPriority::Error);
        return kExitFailure;
    }
    if (!repeated.empty()) {
        // A second reading finds the line each repeated number first stood on.
        FileInput again(::fcntl(source.spool >= 0 ? source.spool : source.fd, F_DUPFD_CLOEXEC, 0), -1);
        ::lseek(source.spool >= 0 ? source.spool : source.fd, 0, SEEK_SET);
        readDirectoryCsv(again, [&](Entry&& entry, std::size_t line, std::string&) {
            auto it = duplicates.find(entry.controlNumber);
            if (it != duplicates.end() && it->second == 0)
                it->second = line;
            return true;
        });
        for (const auto& [number, line] : repeated)
            problems.push_back({line, "control number " + number + " already appears on line " +
                                          std::to_string(duplicates[number])});
        std::stable_sort(problems.begin(), problems.end(),
                         [](const CsvProblem& a, const CsvProblem& b) { return a.line < b.line; });
    }
    if (!problems.empty()) {
        std::string lines;
        for (const CsvProblem& p : problems)
            lines.append(shown).append(":").append(std::to_string(p.line)).append(": ").append(p.message).append("\n");
        writeToStderr(lines, LogPriority::Error);
        log(std::to_string(problems.size()) + " bad line(s): nothing imported, " + dbPath + " unchanged",
            LogPriority::Error);
        return kExitRejected;
    }
    if (writer.count() == 0 && !allowEmpty) {
        log(shown + " holds no entries: nothing imported, " + dbPath +
            " unchanged (--allow-empty imports an empty directory)", LogPriority::Error);
        return kExitRejected;
    }
    const std::size_t count = writer.count();
    const auto written = writer.file();
    if (!writer.commit(error)) {
        log("import failed: " + error, LogPriority::Error);
        return kExitFailure;
    }
    log("imported " + std::to_string(count) + " entries into " + dbPath);
    // The database is in place whatever happens to its copy: a stop
    // meanwhile only leaves no copy.
    keepCheckedCopy(dbPath, written);
    return kExitOk;
}

int runCheck(const std::string& dbPath)
{
    catchInterrupts();
    const ImportLock lock(dbPath);
    if (!lock.held()) {
        log("check failed: " + (lock.error().empty() ? std::string("stopped") : lock.error()), LogPriority::Error);
        return kExitFailure;
    }
    snapshot::removeLeftovers(dbPath);
    std::string error;
    auto directory = Directory::open(dbPath, error);
    if (!directory) {
        log(error, LogPriority::Error);
        return kExitFailure;
    }
    if (const auto problem = checkDirectory(*directory); !problem || !problem->empty()) {
        log(problem ? dbPath + ": " + *problem : damagedFile(dbPath), LogPriority::Error);
        return problem ? kExitRejected : kExitFailure;
    }
    directory.reset();
    struct stat st {};
    if (::stat(dbPath.c_str(), &st) != 0) {
        log(dbPath + ": " + std::strerror(errno), LogPriority::Error);
        return kExitFailure;
    }
    if (!keepCheckedCopy(dbPath, std::pair<std::uint64_t, std::uint64_t>(st.st_dev, st.st_ino)))
        return kExitFailure;
    log("checked every entry of " + dbPath + " and kept its checked copy beside it");
    return kExitOk;
}

int runExport(const std::string& dbPath)
{
    std::string error;
    auto directory = Directory::open(dbPath, error);
    if (!directory) {
        log(error, LogPriority::Error);
        return kExitFailure;
    }
    const auto entries = directory->all();
    if (!entries) {
        log(damagedFile(dbPath) + ". Nothing exported.", LogPriority::Error);
        return kExitFailure;
    }
    const std::string csv = directoryCsv(*entries);
    std::fwrite(csv.data(), 1, csv.size(), stdout);
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

} // namespace velmario::server
