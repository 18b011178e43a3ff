// A program that ends with a system still playing on a real-time output:
// returning from main ("return"), or calling exit ("exit"). The test runs it
// and expects a clean exit.
#include "aura.h"

#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    AURA_SYSTEM *system = nullptr;
    if (AURA_System_Create(&system) != AURA_OK || AURA_System_SetOutput(system, AURA_OUTPUTTYPE_NOSOUND) != AURA_OK ||
        AURA_System_Init(system, 8, 0, nullptr) != AURA_OK) {
        return 3;
    }
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.length = 44100 * 2;
    exinfo.numchannels = 1;
    exinfo.defaultfrequency = 44100;
    exinfo.format = AURA_SOUND_FORMAT_PCM16;
    AURA_SOUND *sound = nullptr;
    AURA_CHANNEL *channel = nullptr;
    if (AURA_System_CreateSound(system, nullptr, AURA_OPENUSER | AURA_LOOP_NORMAL, &exinfo, &sound) != AURA_OK ||
        AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &channel) != AURA_OK) {
        return 4;
    }
    for (int i = 0; i < 3; ++i) {
        (void)AURA_System_Update(system);
    }
    if (argc > 1 && std::strcmp(argv[1], "exit") == 0) {
        std::exit(0);
    }
    return 0;
}
