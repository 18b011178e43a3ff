#include "tools.h"

#include <cstdio>
#include <cstdlib>

namespace auratest {

bool run(const std::string &command)
{
    std::string quiet = command;
    quiet += " >/dev/null 2>&1";
    return std::system(quiet.c_str()) == 0;
}

std::string capture(const std::string &command, int *status)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        if (status) {
            *status = -1;
        }
        return out;
    }
    char buffer[256];
    while (std::fgets(buffer, sizeof(buffer), pipe)) {
        out += buffer;
    }
    const int exit = pclose(pipe);
    if (status) {
        *status = exit;
    }
    return out;
}

std::string quote(const std::filesystem::path &path)
{
    std::string word = "'";
    word += path.string();
    word += "'";
    return word;
}

} // namespace auratest
