// An application root in a fresh temporary folder for the life of a test,
// with the user defaults read again from it; removed afterwards.
#ifndef PLATFORM_TESTS_APP_ROOT_H
#define PLATFORM_TESTS_APP_ROOT_H

#include "platform/files.h"
#include "platform/user_defaults.h"

#include <cstdlib>
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
        mPath = dir != nullptr ? dir : "/tmp";
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
