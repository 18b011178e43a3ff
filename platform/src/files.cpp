#include "platform/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace platform {
namespace {

std::mutex &rootMutex()
{
    static std::mutex m;
    return m;
}

std::string &rootOverride()
{
    static std::string root;
    return root;
}

std::string ensured(const std::string &path)
{
    createDirectories(path);
    return path;
}

bool writeAll(int fd, const std::uint8_t *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

void setApplicationRoot(const std::string &path)
{
    std::lock_guard lock(rootMutex());
    rootOverride() = path;
}

std::string applicationRoot()
{
    {
        std::lock_guard lock(rootMutex());
        if (!rootOverride().empty()) return rootOverride();
    }
    if (const char *env = std::getenv("AURA_APP_ROOT"); env != nullptr && *env != '\0') return env;
    const char *home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".").append("/.local/share/aura");
}

std::string libraryDirectory() { return ensured(applicationRoot() + "/Library"); }
std::string documentsDirectory() { return ensured(applicationRoot() + "/Documents"); }
std::string cachesDirectory() { return ensured(applicationRoot() + "/Library/Caches"); }

bool writeFileAtomically(const std::string &path, std::span<const std::uint8_t> bytes, unsigned permissions)
{
    static std::atomic<unsigned> counter{0};
    const std::string temp = std::string(path).append(".tmp.")
                                 .append(std::to_string(::getpid()))
                                 .append(".")
                                 .append(std::to_string(counter.fetch_add(1)));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, permissions & 0777u);
    if (fd < 0) return false;
    // The first failure's errno is what the caller hears, whatever the
    // clean-up calls leave behind.
    int error = 0;
    const auto step = [&](bool ok) {
        if (!ok && error == 0) error = errno != 0 ? errno : EIO;
    };
    // Exactly the permissions asked for, before a byte is written.
    step(::fchmod(fd, static_cast<mode_t>(permissions & 0777u)) == 0);
    step(writeAll(fd, bytes.data(), bytes.size()));
    step(::fsync(fd) == 0);
    step(::close(fd) == 0);
    if (error == 0) step(::rename(temp.c_str(), path.c_str()) == 0);
    if (error != 0) {
        ::unlink(temp.c_str());
        errno = error;
        return false;
    }
    return true;
}

std::optional<std::vector<std::uint8_t>> readWholeFile(const std::string &path, std::size_t maxBytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::vector<std::uint8_t> out;
    std::uint8_t buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        if (out.size() + static_cast<std::size_t>(n) > maxBytes) {
            ::close(fd);
            return std::nullopt;
        }
        out.insert(out.end(), buffer, buffer + n);
    }
    ::close(fd);
    return out;
}

bool fileExists(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool removeFile(const std::string &path) { return ::unlink(path.c_str()) == 0; }

bool removeTree(const std::string &path)
{
    std::error_code ec;
    const auto n = std::filesystem::remove_all(path, ec);
    return !ec && n > 0;
}

bool renameFile(const std::string &from, const std::string &to) { return ::rename(from.c_str(), to.c_str()) == 0; }

bool createDirectories(const std::string &path)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

bool touchFile(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::string moveFileAside(const std::string &path)
{
    // Past this many copies of one file the damage is not worth keeping.
    constexpr unsigned kMostCopies = 9999;
    for (unsigned n = 0; n <= kMostCopies; ++n) {
        const std::string aside = n == 0 ? path + ".damaged" : path + ".damaged." + std::to_string(n);
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) return aside;
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) break;
        // A file system that cannot refuse to replace: look first.
        struct stat st {};
        if (::lstat(aside.c_str(), &st) == 0) continue;
        if (::rename(path.c_str(), aside.c_str()) == 0) return aside;
        break;
    }
    ::unlink(path.c_str());
    return {};
}

FileLock::FileLock(const std::string &lockPath, double timeoutSeconds)
{
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        mError = errno;
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    auto pause = std::chrono::milliseconds(1);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
            mError = errno;
            ::close(fd);
            return;
        }
        // Holders keep it for one write: short waits, growing a little.
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(16));
    }
    mFd = fd;
}

FileLock::~FileLock()
{
    if (mFd >= 0) ::close(mFd);
}

namespace {

// "NAME.tmp.PID.N": the process id, or nullopt for any other name.
std::optional<pid_t> temporaryFileOwner(const std::string &name)
{
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size()) return std::nullopt;
    const std::size_t pidDot = name.rfind('.', dot - 1);
    if (pidDot == std::string::npos || pidDot < 5 || name.compare(pidDot - 4, 4, ".tmp") != 0 || pidDot - 4 == 0) {
        return std::nullopt;
    }
    auto digits = [&](std::size_t from, std::size_t to) {
        if (from >= to) return false;
        for (std::size_t i = from; i < to; ++i) {
            if (name[i] < '0' || name[i] > '9') return false;
        }
        return true;
    };
    if (!digits(pidDot + 1, dot) || !digits(dot + 1, name.size())) return std::nullopt;
    long long pid = 0;
    const auto [end, ec] = std::from_chars(name.data() + pidDot + 1, name.data() + dot, pid);
    if (ec != std::errc() || end != name.data() + dot || pid <= 0 || pid > 0x7fffffff) return std::nullopt;
    return static_cast<pid_t>(pid);
}

} // namespace

std::size_t removeStaleTemporaryFiles(const std::string &directory)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    std::size_t removed = 0;
    const auto now = fs::file_time_type::clock::now();
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const auto owner = temporaryFileOwner(name);
        if (!owner) continue;
        std::error_code statError;
        if (!it->is_regular_file(statError)) continue;
        const auto written = it->last_write_time(statError);
        const bool old = !statError && now - written > std::chrono::minutes(1);
        // A live writer's file stays unless it is old; a pid of ours is a
        // writer in this process, or one with our number before a restart.
        const bool ownerGone = *owner != ::getpid() && ::kill(*owner, 0) != 0 && errno == ESRCH;
        if ((ownerGone || old) && ::unlink(it->path().c_str()) == 0) ++removed;
    }
    return removed;
}

std::size_t removeTemporaryFilesOf(const std::string &path)
{
    namespace fs = std::filesystem;
    const fs::path file(path);
    const std::string prefix = file.filename().string() + ".tmp.";
    std::error_code ec;
    std::size_t removed = 0;
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(prefix) || !temporaryFileOwner(name)) continue;
        std::error_code statError;
        if (!it->is_regular_file(statError)) continue;
        if (::unlink(it->path().c_str()) == 0) ++removed;
    }
    return removed;
}

std::size_t removeStaleTemporaryFiles()
{
    const std::string root = applicationRoot();
    std::size_t removed = 0;
    for (const char *dir : {"/Library", "/Library/Preferences", "/Library/Caches", "/Documents"}) {
        removed += removeStaleTemporaryFiles(root + dir);
    }
    return removed;
}

} // namespace platform
