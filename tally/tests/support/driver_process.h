// tally-driver as a child process of a test: spawned with its standard input
// and output on pipes when asked, read line by line, killed at will.
#ifndef TALLY_TESTS_DRIVER_PROCESS_H
#define TALLY_TESTS_DRIVER_PROCESS_H

#include "child_process.h"

#include <string>
#include <vector>

namespace drivertest {

using testsupport::Child;
using testsupport::LineReader;
using testsupport::waitExit;

inline Child spawnDriver(const std::vector<std::string> &args, bool pipeStdin, bool pipeStdout = false)
{
    return testsupport::spawnChild(TALLY_DRIVER_PATH, args, pipeStdin, pipeStdout);
}

// The driver with no file it writes allowed past `bytes`, standard input
// from /dev/null and standard output on a pipe.
inline Child spawnDriverWithFileLimit(const std::vector<std::string> &args, rlim_t bytes)
{
    return testsupport::spawnChildWithFileLimit(TALLY_DRIVER_PATH, args, bytes);
}

inline int runDriver(const std::vector<std::string> &args)
{
    const Child child = spawnDriver(args, false);
    return child.pid > 0 ? waitExit(child.pid) : -1;
}

} // namespace drivertest

#endif // TALLY_TESTS_DRIVER_PROCESS_H
