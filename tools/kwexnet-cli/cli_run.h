// Runs kwexnet-cli's commands in-process for the tests, capturing both
// streams and the exit code.
#ifndef KWEXNET_CLI_RUN_H
#define KWEXNET_CLI_RUN_H

#include "cli.h"
#include "platform/runloop.h"

#include <sstream>
#include <string>
#include <vector>

struct CliRun {
    int code = -1;
    std::string out;
    std::string err;
};

inline CliRun cli(const std::vector<std::string> &args)
{
    std::ostringstream out;
    std::ostringstream err;
    CliRun run;
    run.code = runKwexnetCli(args, out, err);
    run.out = out.str();
    run.err = err.str();
    // Nothing of one run may still be pending when the next one starts.
    platform::RunLoop::main().runFor(0.01);
    return run;
}

#endif // KWEXNET_CLI_RUN_H
