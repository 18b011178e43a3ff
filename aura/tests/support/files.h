// Files for tests: a scratch directory of their own, and whole-file reads
// and writes.
#ifndef AURA_TESTS_SUPPORT_FILES_H
#define AURA_TESTS_SUPPORT_FILES_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace auratest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A fresh directory under the temporary folder, removed with what it holds.
class TempDir {
public:
    explicit TempDir(const char *prefix = "aura-test");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    [[nodiscard]] bool ok() const { return !mPath.empty(); }
    [[nodiscard]] const std::string &path() const { return mPath; }
    [[nodiscard]] fs::path operator/(const std::string &name) const { return fs::path(mPath) / name; }
    [[nodiscard]] std::string file(const std::string &name) const { return (*this / name).string(); }

private:
    std::string mPath;
};

Bytes readAll(const fs::path &path);
// False when the file could not be written whole.
bool writeAll(const fs::path &path, const Bytes &bytes);

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_FILES_H
