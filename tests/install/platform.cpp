// Uses the installed platform layer: a timer on a run loop and a digest.
#include <platform/digest.h>
#include <platform/runloop.h>

#include <cstdio>

int main()
{
    platform::RunLoop loop;
    int fired = 0;
    loop.addTimer(0.005, [&] { ++fired; });
    const bool ran = loop.runUntil([&] { return fired == 1; }, 5.0);
    const std::string digest = platform::toLowerHex(platform::sha1("abc"));
    if (!ran || digest != "a9993e364706816aba3e25717850c26c9cd0d89d") {
        std::fprintf(stderr, "platform: timer %d, sha1 %s\n", fired, digest.c_str());
        return 1;
    }
    std::puts("aura-platform: ok");
    return 0;
}
