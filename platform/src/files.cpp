#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

bool writeFileAtomically(const std::string &path, std::span<const std::uint8_t> bytes)
{
    static std::atomic<unsigned> counter{0};
    const std::string temp = std::string(path).append(".tmp.")
                                 .append(std::to_string(::getpid()))
                                 .append(".")
                                 .append(std::to_string(counter.fetch_add(1)));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = writeAll(fd, bytes.data(), bytes.size());
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

} // namespace platform
