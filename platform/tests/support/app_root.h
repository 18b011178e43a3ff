// An application root in a fresh temporary folder for the life of a test,
// with the user defaults read again from it; removed afterwards.
#ifndef PLATFORM_TESTS_APP_ROOT_H
#define PLATFORM_TESTS_APP_ROOT_H

#include "platform/files.h"
#include "platform/user_defaults.h"

#include <cstdlib>
#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

namespace testsupport {

class TempRoot {
public:
    TempRoot()
    {
        char pattern[] = "/tmp/platform-root-XXXXXX";
        const char *dir = ::mkdtemp(pattern);
        // Without a folder of its own the test stops here: falling back to a
        // shared one would have the destructor remove that folder whole.
        if (dir == nullptr)
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        mPath = dir;
        platform::setApplicationRoot(mPath);
        platform::UserDefaults::standardUserDefaults().reload();
    }
    ~TempRoot()
    {
        std::error_code ec;
        std::filesystem::remove_all(mPath, ec);
        platform::setApplicationRoot("");
        platform::UserDefaults::standardUserDefaults().reload();
    }
    [[nodiscard]] const std::string &path() const { return mPath; }

private:
    std::string mPath;
};

} // namespace testsupport

#endif // PLATFORM_TESTS_APP_ROOT_H
