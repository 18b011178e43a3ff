#include "threads.h"

#include <sys/stat.h>

#include <fstream>

namespace auratest {

namespace {

std::string taskPath(unsigned int tid)
{
    return "/proc/self/task/" + std::to_string(tid);
}

} // namespace

bool taskExists(unsigned int tid)
{
    struct stat st {};
    return tid != 0 && stat(taskPath(tid).c_str(), &st) == 0;
}

std::string taskName(unsigned int tid)
{
    std::ifstream comm(taskPath(tid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

} // namespace auratest
