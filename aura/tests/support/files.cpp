#include "files.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <system_error>

namespace auratest {

TempDir::TempDir(const char *prefix)
{
    std::string pattern = (fs::temp_directory_path() / prefix).string();
    pattern += "-XXXXXX";
    if (mkdtemp(pattern.data())) {
        mPath = pattern;
    }
}

TempDir::~TempDir()
{
    if (!mPath.empty()) {
        std::error_code ignored;
        fs::remove_all(mPath, ignored);
    }
}

Bytes readAll(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeAll(const fs::path &path, const Bytes &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return out.good();
}

} // namespace auratest
