// An ALSA configuration of the test's own, in force while the object lives:
// "pcm.nothing { type null }" leaves no default device on any machine.
// Header-only; ALSA reads the variable when a device is opened.
#ifndef AURA_TESTS_SUPPORT_ALSA_CONFIG_H
#define AURA_TESTS_SUPPORT_ALSA_CONFIG_H

#include "files.h"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

namespace auratest {

class AlsaConfig {
public:
    explicit AlsaConfig(const std::string &text)
    {
        if (const char *old = std::getenv("ALSA_CONFIG_PATH")) {
            mOld = old;
        }
        std::ofstream(mDir.file("asound.conf")) << text << "\n";
        setenv("ALSA_CONFIG_PATH", mDir.file("asound.conf").c_str(), 1);
    }
    ~AlsaConfig()
    {
        if (mOld) {
            setenv("ALSA_CONFIG_PATH", mOld->c_str(), 1);
        } else {
            unsetenv("ALSA_CONFIG_PATH");
        }
    }
    AlsaConfig(const AlsaConfig &) = delete;
    AlsaConfig &operator=(const AlsaConfig &) = delete;

    // The file, for a program started from the test.
    [[nodiscard]] std::string path() const { return mDir.file("asound.conf"); }

private:
    TempDir mDir{"aura-alsa"};
    std::optional<std::string> mOld;
};

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_ALSA_CONFIG_H
