// What tests need to make inputs with the command-line tools (sox, oggenc,
// oggdec) and read their outputs: files, quoting, and a scratch directory.
#ifndef AURA_TESTS_TOOL_SUPPORT_H
#define AURA_TESTS_TOOL_SUPPORT_H

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tooltest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline Bytes readAll(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeAll(const fs::path &path, const Bytes &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The bytes of a RIFF/WAVE file's "data" chunk (empty when it has none).
inline Bytes wavDataChunk(const Bytes &bytes)
{
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const uint32_t size = bytes[at + 4] | bytes[at + 5] << 8 | bytes[at + 6] << 16 |
                              static_cast<uint32_t>(bytes[at + 7]) << 24;
        if (bytes[at] == 'd' && bytes[at + 1] == 'a' && bytes[at + 2] == 't' && bytes[at + 3] == 'a') {
            const size_t end = std::min<size_t>(bytes.size(), at + 8 + static_cast<size_t>(size));
            return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at + 8),
                         bytes.begin() + static_cast<std::ptrdiff_t>(end));
        }
        at += 8 + static_cast<size_t>(size) + (size & 1);
    }
    return {};
}

// Runs a shell command quietly; true when it exits with 0.
inline bool run(const std::string &command)
{
    std::string quiet = command;
    quiet += " >/dev/null 2>&1";
    return std::system(quiet.c_str()) == 0;
}

// What a command writes to its standard output.
inline std::string capture(const std::string &command)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return out;
    }
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), pipe)) {
        out += buffer;
    }
    pclose(pipe);
    return out;
}

inline std::string quote(const fs::path &path)
{
    std::string text = "'";
    text += path.string();
    text += "'";
    return text;
}

// A directory of its own for a test's files, removed at the end.
class ScratchDir {
public:
    explicit ScratchDir(const char *prefix)
    {
        std::string pattern = (fs::temp_directory_path() / prefix).string();
        pattern += "-XXXXXX";
        if (mkdtemp(pattern.data())) {
            mPath = pattern;
        }
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        if (!mPath.empty()) {
            fs::remove_all(mPath, ignored);
        }
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    [[nodiscard]] bool ok() const { return !mPath.empty(); }
    [[nodiscard]] fs::path operator/(const std::string &name) const { return mPath / name; }
    [[nodiscard]] const fs::path &path() const { return mPath; }
    [[nodiscard]] std::string file(const std::string &name) const { return (mPath / name).string(); }

private:
    fs::path mPath;
};

} // namespace tooltest

#endif // AURA_TESTS_TOOL_SUPPORT_H
