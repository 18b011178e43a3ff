#include "platform/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

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
    // Exactly the permissions asked for, before a byte is written.
    bool ok = ::fchmod(fd, static_cast<mode_t>(permissions & 0777u)) == 0;
    ok = writeAll(fd, bytes.data(), bytes.size()) && ok;
    ok = (::fsync(fd) == 0) && ok;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
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
    const std::string aside = path + ".damaged";
    if (::rename(path.c_str(), aside.c_str()) == 0) return aside;
    ::unlink(path.c_str());
    return {};
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
