// Running the command-line tools that make test inputs (sox, oggenc) and
// decode references (oggdec, soxi).
#ifndef AURA_TESTS_SUPPORT_TOOLS_H
#define AURA_TESTS_SUPPORT_TOOLS_H

#include <filesystem>
#include <string>

namespace auratest {

// Runs a shell command quietly; true when it exits with 0.
bool run(const std::string &command);

// What a command writes to its standard output; `status` gets its exit
// status as the shell reports it.
std::string capture(const std::string &command, int *status = nullptr);

// A path as one shell word.
std::string quote(const std::filesystem::path &path);

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_TOOLS_H
