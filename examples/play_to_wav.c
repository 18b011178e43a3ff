/* Plays a sound file into a WAV file with the C interface: a system on the
 * non-real-time WAV writer mixes one block per update, as fast as the
 * machine goes, until the sound has ended.
 *
 *   play_to_wav IN.ogg OUT.wav
 */
#include <aura.h>
#include <aura_errors.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    AURA_SYSTEM *system = NULL;
    AURA_SOUND *sound = NULL;
    AURA_CHANNEL *channel = NULL;
    AURA_RESULT result;
    int playing = 1;

    if (argc != 3) {
        fprintf(stderr, "usage: %s IN OUT.wav\n", argv[0]);
        return 2;
    }
    result = AURA_System_Create(&system);
    if (result == AURA_OK) {
        result = AURA_System_SetOutput(system, AURA_OUTPUTTYPE_WAVWRITER_NRT);
    }
    if (result == AURA_OK) {
        /* The WAV writer takes its file name as the driver data. */
        result = AURA_System_Init(system, 32, AURA_INIT_NORMAL, argv[2]);
    }
    if (result == AURA_OK) {
        result = AURA_System_CreateSound(system, argv[1], AURA_DEFAULT, NULL, &sound);
    }
    if (result == AURA_OK) {
        result = AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &channel);
    }
    while (result == AURA_OK && playing) {
        result = AURA_System_Update(system);
        if (result == AURA_OK) {
            result = AURA_Channel_IsPlaying(channel, &playing);
            /* A channel whose sound ended is gone after the update. */
            if (result == AURA_ERR_INVALID_HANDLE) {
                result = AURA_OK;
                playing = 0;
            }
        }
    }
    if (result != AURA_OK) {
        fprintf(stderr, "%s: %s(%d)\n", argv[1], AURA_ErrorString(result), (int)result);
    }
    if (sound) {
        (void)AURA_Sound_Release(sound);
    }
    /* Releasing the system finishes the WAV file's header. */
    if (system && AURA_System_Release(system) != AURA_OK && result == AURA_OK) {
        fprintf(stderr, "%s: could not be finished\n", argv[2]);
        return 1;
    }
    return result == AURA_OK ? 0 : 1;
}
