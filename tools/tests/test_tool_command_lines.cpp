// tally-driver, ogc-sim and kwexnet-cli run from their command lines: what
// each answers, and its exit status.
#include "files.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using auratest::quote;

TEST(ToolCommandLines, EachToolAnswersItsCommandLine)
{
    auratest::TempDir data{"tools-cli"};
    ASSERT_TRUE(data.ok());
    // Nothing listens on port 9: reports stay on the disk, as when offline.
    const std::string tally = std::string(TALLY_DRIVER_PATH) + " --server http://127.0.0.1:9/aap.do --data " +
                              quote(data.path());
    struct Case {
        std::string command;
        int exitCode;
        std::string out;       // standard output holds this
        std::string err = "";  // and standard error this (the tools may log there too)
    };
    const std::vector<Case> cases = {
        // Each action takes its own arguments, so an argument that is also
        // an action's name stays an argument.
        {tally + " ads on launch hook banner ad banner '<UIView: 0x1>'", 0, "hook banner nil\nad nil\n"},
        {tally + " launch wait 0 offer HOOK k=v", 0, "offer nil\n"},
        {tally + " launch event level a=1 b=2 event hook", 0, "saved level\nsaved hook\n"},
        {tally + " banner HOOK 1", 1, "", "tally-driver: 'banner' takes 3 arguments\n"},
        {tally + " jump", 1, "", "tally-driver: unknown action 'jump'\n"},
        {std::string(TALLY_DRIVER_PATH) + " --help", 0, "usage: tally-driver"},
        {std::string(OGC_SIM_PATH) + " --help", 0, "usage: ogc-sim"},
        {std::string(OGC_SIM_PATH) + " -h", 0, "usage: ogc-sim"},
        {std::string(OGC_SIM_PATH) + " --version", 0, "ogc-sim "},
        {std::string(OGC_SIM_PATH) + " --server", 2, "", "ogc-sim: --server needs a value\n"},
        {std::string(KWEXNET_CLI_PATH) + " hex 5f2a9c", 0, "value=6236828\n"},
        {std::string(KWEXNET_CLI_PATH) + " hex zz", 2, "", "kwexnet-cli: hex: \"zz\" is not 1 to 16 hexadecimal digits\n"},
        {std::string(KWEXNET_CLI_PATH) + " hex 12345678901234567", 2, "", "is not 1 to 16 hexadecimal digits\n"},
        {std::string(KWEXNET_CLI_PATH) + " prefs --server http://127.0.0.1:9/ --session 1 99999999999=x", 2, "",
         "kwexnet-cli: prefs: \"99999999999=x\" is not KEY=VALUE with a numeric KEY\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        const std::string errFile = (data / "stderr.txt").string();
        int status = 0;
        const std::string out = auratest::capture(c.command + " 2>" + quote(errFile), &status);
        const auto bytes = auratest::readAll(errFile);
        const std::string err(bytes.begin(), bytes.end());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitCode) << status << "\n" << err;
        EXPECT_NE(out.find(c.out), std::string::npos) << out;
        // The message, and no empty or half line before it.
        EXPECT_NE(err.find(c.err), std::string::npos) << err;
        EXPECT_EQ(err.find(": \n"), std::string::npos) << err;
    }
}

} // namespace
