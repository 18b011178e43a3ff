// Files and the application's standard directories.
//
// The directories stand in for the phone's sandbox: Library, Documents and
// Library/Caches under one root folder. The root is the value given to
// setApplicationRoot(), else the environment variable AURA_APP_ROOT, else
// "$HOME/.local/share/aura". The directory functions create their folder
// when it is missing.
#ifndef PLATFORM_FILES_H
#define PLATFORM_FILES_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform {

void setApplicationRoot(const std::string &path);
[[nodiscard]] std::string applicationRoot();
[[nodiscard]] std::string libraryDirectory();
[[nodiscard]] std::string documentsDirectory();
[[nodiscard]] std::string cachesDirectory();

// Writes a temporary file beside `path` (named `path`.tmp.PID.N), flushes it
// to disk and renames it over `path`, so a reader sees the old content or the
// new, never a torn file. The file gets exactly `permissions` (umask aside:
// 0600 keeps a file with secrets private). False (and `path` untouched) on
// any failure, with errno telling the first cause (ENOSPC, EFBIG...).
[[nodiscard]] bool writeFileAtomically(const std::string &path, std::span<const std::uint8_t> bytes,
                                       unsigned permissions = 0644);
// The whole file; nullopt when it cannot be read or exceeds `maxBytes`.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> readWholeFile(const std::string &path,
                                                                     std::size_t maxBytes = std::size_t{64} << 20);
[[nodiscard]] bool fileExists(const std::string &path);
// True when the file is gone afterwards for this call's doing.
bool removeFile(const std::string &path);
// Removes a directory and everything in it.
bool removeTree(const std::string &path);
bool renameFile(const std::string &from, const std::string &to);
// Creates the folder and its parents; true when it exists afterwards.
bool createDirectories(const std::string &path);
// Creates an empty file when none exists; true when it exists afterwards.
bool touchFile(const std::string &path);

// Moves a file that could not be read as what it should hold out of the
// way, to `path`.damaged, or `path`.damaged.1, .2... when that is taken (an
// older copy is never replaced), so that the next start does not meet it
// again and it stays for a look; removes it when it cannot be renamed.
// Returns the new path, or empty when it was removed or is gone.
std::string moveFileAside(const std::string &path);

// An exclusive lock that cooperating processes take around a read, change
// and write of a file: a lock on the file `lockPath` (created empty, mode
// 0600, when missing). Waits at most `timeoutSeconds` for another holder;
// the lock goes with the object, or with its process when that dies.
class FileLock {
public:
    FileLock(const std::string &lockPath, double timeoutSeconds);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    [[nodiscard]] bool locked() const { return mFd >= 0; }
    // Why it is not held: the errno of opening the lock file, or EWOULDBLOCK
    // when another holder kept it past the timeout.
    [[nodiscard]] int error() const { return mError; }

private:
    int mFd = -1;
    int mError = 0;
};

// Removes every temporary file writeFileAtomically left for `path`
// (`path`.tmp.PID.N), whoever wrote it. Only for a caller that holds the
// lock every writer of `path` takes: no write is in progress then. Returns
// how many went.
std::size_t removeTemporaryFilesOf(const std::string &path);

// Removes the temporary files that writeFileAtomically left in `directory`
// (not its subfolders) when its process was killed in the middle of a
// write: those of a process that no longer runs, and any older than a
// minute. Returns how many went.
std::size_t removeStaleTemporaryFiles(const std::string &directory);
// The same in the application's standard folders: Library,
// Library/Preferences, Library/Caches and Documents.
std::size_t removeStaleTemporaryFiles();

} // namespace platform

#endif // PLATFORM_FILES_H
