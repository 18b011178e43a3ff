/* Plays a sound file into a WAV file with the C interface: a system on the
 * non-real-time WAV writer mixes one block per update, as fast as the
 * machine goes, at the file's own rate, until the sound has ended. A song
 * (MOD, S3M, XM, IT) has no rate of its own and loops by design: it is
 * mixed at 48000 Hz for the length the engine measured.
 *
 *   play_to_wav IN.ogg OUT.wav
 */
#include <aura.h>
#include <aura_errors.h>

#include <stdio.h>
#include <unistd.h>

/* The rate the file plays at by default, from a silent system at 48000 Hz
 * (the rate a song takes from its mixer). A stream reads only the head. */
static AURA_RESULT own_rate(const char *name, int *rate)
{
    AURA_SYSTEM *probe = NULL;
    AURA_SOUND *sound = NULL;
    float frequency = 0.0f;
    AURA_RESULT result = AURA_System_Create(&probe);
    if (result == AURA_OK) {
        result = AURA_System_SetOutput(probe, AURA_OUTPUTTYPE_NOSOUND_NRT);
    }
    if (result == AURA_OK) {
        result = AURA_System_SetSoftwareFormat(probe, 48000, AURA_SOUND_FORMAT_PCM16, 2, 16,
                                               AURA_DSP_RESAMPLER_LINEAR);
    }
    if (result == AURA_OK) {
        result = AURA_System_Init(probe, 1, AURA_INIT_NORMAL, NULL);
    }
    if (result == AURA_OK) {
        result = AURA_System_CreateStream(probe, name, AURA_DEFAULT, NULL, &sound);
    }
    if (result == AURA_OK) {
        result = AURA_Sound_GetDefaults(sound, &frequency, NULL, NULL, NULL);
    }
    if (probe) {
        (void)AURA_System_Release(probe); /* and the stream with it */
    }
    *rate = (int)(frequency + 0.5f);
    return result;
}

static void put_le32(unsigned char *p, unsigned long value)
{
    p[0] = (unsigned char)value;
    p[1] = (unsigned char)(value >> 8);
    p[2] = (unsigned char)(value >> 16);
    p[3] = (unsigned char)(value >> 24);
}

/* The writer writes whole blocks, so the file ends inside the last one:
 * cut it to `frames` (16-bit stereo after the writer's 44-byte header). */
static int trim_wav(const char *path, unsigned long frames)
{
    const unsigned long data = frames * 4ul;
    unsigned char size[4];
    int ok;
    FILE *file = fopen(path, "r+b");
    if (!file) {
        return 0;
    }
    put_le32(size, 36ul + data);
    ok = fseek(file, 4, SEEK_SET) == 0 && fwrite(size, 1, 4, file) == 4;
    put_le32(size, data);
    ok = ok && fseek(file, 40, SEEK_SET) == 0 && fwrite(size, 1, 4, file) == 4;
    ok = fclose(file) == 0 && ok;
    return ok && truncate(path, (off_t)(44ul + data)) == 0;
}

int main(int argc, char **argv)
{
    AURA_SYSTEM *system = NULL;
    AURA_SOUND *sound = NULL;
    AURA_CHANNEL *channel = NULL;
    AURA_RESULT result;
    int playing = 1;
    int rate = 0;
    unsigned int length = 0xFFFFFFFFu; /* in frames; this value: not known */
    unsigned int block = 0;
    unsigned long mixed = 0;

    if (argc != 3) {
        fprintf(stderr, "usage: %s IN OUT.wav\n", argv[0]);
        return 2;
    }
    result = own_rate(argv[1], &rate);
    if (result == AURA_OK) {
        result = AURA_System_Create(&system);
    }
    if (result == AURA_OK) {
        result = AURA_System_SetOutput(system, AURA_OUTPUTTYPE_WAVWRITER_NRT);
    }
    if (result == AURA_OK) {
        result = AURA_System_SetSoftwareFormat(system, rate, AURA_SOUND_FORMAT_PCM16, 2, 16,
                                               AURA_DSP_RESAMPLER_LINEAR);
    }
    if (result == AURA_OK) {
        /* The WAV writer takes its file name as the driver data. */
        result = AURA_System_Init(system, 32, AURA_INIT_NORMAL, argv[2]);
    }
    if (result == AURA_OK) {
        result = AURA_System_GetDSPBufferSize(system, &block, NULL);
    }
    if (result == AURA_OK) {
        /* AURA_ACCURATETIME: a song's length is measured when it opens. */
        result = AURA_System_CreateSound(system, argv[1], AURA_ACCURATETIME, NULL, &sound);
    }
    if (result == AURA_OK) {
        result = AURA_Sound_GetLength(sound, &length, AURA_TIMEUNIT_PCM);
    }
    if (result == AURA_OK) {
        result = AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &channel);
    }
    while (result == AURA_OK && playing && (length == 0xFFFFFFFFu || mixed < length)) {
        result = AURA_System_Update(system);
        mixed += block;
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
    if (result == AURA_OK && length != 0xFFFFFFFFu && mixed > length && !trim_wav(argv[2], length)) {
        fprintf(stderr, "%s: could not be cut to the sound's length\n", argv[2]);
        return 1;
    }
    return result == AURA_OK ? 0 : 1;
}
