/*
 * Aura audio engine: the public C interface.
 *
 * Every operation returns an AURA_RESULT; AURA_OK (0) is success and every
 * other value names one failure. AURA_ErrorString (aura_errors.h) turns a
 * result into its message text.
 */
#ifndef AURA_H
#define AURA_H

/* Marks what the shared library exports; everything else stays inside it. */
#if defined(__GNUC__)
#define AURA_API __attribute__((visibility("default")))
#else
#define AURA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum AURA_RESULT {
    AURA_OK = 0,
    AURA_ERR_ALREADYLOCKED = 1,
    AURA_ERR_BADCOMMAND = 2,
    AURA_ERR_CDDA_DRIVERS = 3,
    AURA_ERR_CDDA_INIT = 4,
    AURA_ERR_CDDA_INVALID_DEVICE = 5,
    AURA_ERR_CDDA_NOAUDIO = 6,
    AURA_ERR_CDDA_NODEVICES = 7,
    AURA_ERR_CDDA_NODISC = 8,
    AURA_ERR_CDDA_READ = 9,
    AURA_ERR_CHANNEL_ALLOC = 10,
    AURA_ERR_CHANNEL_STOLEN = 11,
    AURA_ERR_COM = 12,
    AURA_ERR_DMA = 13,
    AURA_ERR_DSP_CONNECTION = 14,
    AURA_ERR_DSP_FORMAT = 15,
    AURA_ERR_DSP_NOTFOUND = 16,
    AURA_ERR_DSP_RUNNING = 17,
    AURA_ERR_DSP_TOOMANYCONNECTIONS = 18,
    AURA_ERR_FILE_BAD = 19,
    AURA_ERR_FILE_COULDNOTSEEK = 20,
    AURA_ERR_FILE_DISKEJECTED = 21,
    AURA_ERR_FILE_EOF = 22,
    AURA_ERR_FILE_NOTFOUND = 23,
    AURA_ERR_FILE_UNWANTED = 24,
    AURA_ERR_FORMAT = 25,
    AURA_ERR_HTTP = 26,
    AURA_ERR_HTTP_ACCESS = 27,
    AURA_ERR_HTTP_PROXY_AUTH = 28,
    AURA_ERR_HTTP_SERVER_ERROR = 29,
    AURA_ERR_HTTP_TIMEOUT = 30,
    AURA_ERR_INITIALIZATION = 31,
    AURA_ERR_INITIALIZED = 32,
    AURA_ERR_INTERNAL = 33,
    AURA_ERR_INVALID_ADDRESS = 34,
    AURA_ERR_INVALID_FLOAT = 35,
    AURA_ERR_INVALID_HANDLE = 36,
    AURA_ERR_INVALID_PARAM = 37,
    AURA_ERR_INVALID_POSITION = 38,
    AURA_ERR_INVALID_SPEAKER = 39,
    AURA_ERR_INVALID_SYNCPOINT = 40,
    AURA_ERR_INVALID_VECTOR = 41,
    AURA_ERR_IRX = 42,
    AURA_ERR_MAXAUDIBLE = 43,
    AURA_ERR_MEMORY = 44,
    AURA_ERR_MEMORY_CANTPOINT = 45,
    AURA_ERR_MEMORY_IOP = 46,
    AURA_ERR_MEMORY_SRAM = 47,
    AURA_ERR_NEEDS2D = 48,
    AURA_ERR_NEEDS3D = 49,
    AURA_ERR_NEEDSHARDWARE = 50,
    AURA_ERR_NEEDSSOFTWARE = 51,
    AURA_ERR_NET_CONNECT = 52,
    AURA_ERR_NET_SOCKET_ERROR = 53,
    AURA_ERR_NET_URL = 54,
    AURA_ERR_NET_WOULD_BLOCK = 55,
    AURA_ERR_NOTREADY = 56,
    AURA_ERR_OUTPUT_ALLOCATED = 57,
    AURA_ERR_OUTPUT_CREATEBUFFER = 58,
    AURA_ERR_OUTPUT_DRIVERCALL = 59,
    AURA_ERR_OUTPUT_ENUMERATION = 60,
    AURA_ERR_OUTPUT_FORMAT = 61,
    AURA_ERR_OUTPUT_INIT = 62,
    AURA_ERR_OUTPUT_NOHARDWARE = 63,
    AURA_ERR_OUTPUT_NOSOFTWARE = 64,
    AURA_ERR_PAN = 65,
    AURA_ERR_PLUGIN = 66,
    AURA_ERR_PLUGIN_INSTANCES = 67,
    AURA_ERR_PLUGIN_MISSING = 68,
    AURA_ERR_PLUGIN_RESOURCE = 69,
    AURA_ERR_PRELOADED = 70,
    AURA_ERR_PROGRAMMERSOUND = 71,
    AURA_ERR_RECORD = 72,
    AURA_ERR_REVERB_INSTANCE = 73,
    AURA_ERR_SUBSOUND_ALLOCATED = 74,
    AURA_ERR_SUBSOUND_CANTMOVE = 75,
    AURA_ERR_SUBSOUND_MODE = 76,
    AURA_ERR_SUBSOUNDS = 77,
    AURA_ERR_TAGNOTFOUND = 78,
    AURA_ERR_TOOMANYCHANNELS = 79,
    AURA_ERR_UNIMPLEMENTED = 80,
    AURA_ERR_UNINITIALIZED = 81,
    AURA_ERR_UNSUPPORTED = 82,
    AURA_ERR_UPDATE = 83,
    AURA_ERR_VERSION = 84,
    AURA_ERR_EVENT_FAILED = 85,
    AURA_ERR_EVENT_INFOONLY = 86,
    AURA_ERR_EVENT_INTERNAL = 87,
    AURA_ERR_EVENT_MAXSTREAMS = 88,
    AURA_ERR_EVENT_MISMATCH = 89,
    AURA_ERR_EVENT_NAMECONFLICT = 90,
    AURA_ERR_EVENT_NOTFOUND = 91,
    AURA_ERR_EVENT_NEEDSSIMPLE = 92,
    AURA_ERR_EVENT_GUIDCONFLICT = 93,
    AURA_ERR_EVENT_ALREADY_LOADED = 94,
    AURA_ERR_MUSIC_UNINITIALIZED = 95,
    AURA_ERR_MUSIC_NOTFOUND = 96,
    AURA_ERR_MUSIC_NOCALLBACK = 97,

    AURA_RESULT_COUNT = 98,               /* number of defined results */
    AURA_RESULT_FORCEINT = 0x7fffffff,    /* keeps the type 32 bits wide... */
    AURA_RESULT_FORCESIGNED = -0x7fffffff - 1 /* ...and signed: any int is a value of it */
} AURA_RESULT;

/* Environmental reverb properties: 31 words, as the engine stores them. */
typedef struct AURA_REVERB_PROPERTIES {
    int Instance;
    int Environment;          /* -1: none (the 3D reverb stays off) */
    float EnvSize;
    float EnvDiffusion;
    int Room;                 /* millibels */
    int RoomHF;
    int RoomLF;
    float DecayTime;
    float DecayHFRatio;
    float DecayLFRatio;
    int Reflections;
    float ReflectionsDelay;
    float ReflectionsPan[3];
    int Reverb;
    float ReverbDelay;
    float ReverbPan[3];
    float EchoTime;
    float EchoDepth;
    float ModulationTime;
    float ModulationDepth;
    float AirAbsorptionHF;
    float HFReference;
    float LFReference;
    float RoomRolloffFactor;
    float Diffusion;
    float Density;
    unsigned int Flags;
} AURA_REVERB_PROPERTIES;

/* A channel's send into the reverb: which of the four instances it sets
   (Flags), its direct and room levels in millibels, and an optional DSP unit
   (ConnectionPoint) whose output feeds the reverb instead of the channel's
   own sound. */
#define AURA_REVERB_CHANNELFLAGS_INSTANCE0 0x00000010
#define AURA_REVERB_CHANNELFLAGS_INSTANCE1 0x00000020
#define AURA_REVERB_CHANNELFLAGS_INSTANCE2 0x00000040
#define AURA_REVERB_CHANNELFLAGS_INSTANCE3 0x00000080
#define AURA_REVERB_CHANNELFLAGS_DEFAULT AURA_REVERB_CHANNELFLAGS_INSTANCE0

typedef struct AURA_REVERB_CHANNELPROPERTIES {
    int Direct;               /* millibels, 0 = unchanged */
    int Room;                 /* millibels, 0 = full send */
    unsigned int Flags;       /* AURA_REVERB_CHANNELFLAGS_INSTANCEn bits; none means instance 0 */
    void *ConnectionPoint;    /* a DSP unit, or null for the channel's own sound */
} AURA_REVERB_CHANNELPROPERTIES;

/* Direct 0, Room 0, instance 0, no connection point. */
#define AURA_REVERB_CHANNELPROPERTIES_DEFAULT { 0, 0, AURA_REVERB_CHANNELFLAGS_DEFAULT, 0 }

typedef enum AURA_SOUND_FORMAT {
    AURA_SOUND_FORMAT_NONE = 0,
    AURA_SOUND_FORMAT_PCM8 = 1,     /* signed 8-bit */
    AURA_SOUND_FORMAT_PCM16 = 2,
    AURA_SOUND_FORMAT_PCM24 = 3,    /* packed, 3 bytes little-endian */
    AURA_SOUND_FORMAT_PCM32 = 4,
    AURA_SOUND_FORMAT_PCMFLOAT = 5,
    AURA_SOUND_FORMAT_GCADPCM = 6,
    AURA_SOUND_FORMAT_IMAADPCM = 7,
    AURA_SOUND_FORMAT_VAG = 8,
    AURA_SOUND_FORMAT_XMA = 9,
    AURA_SOUND_FORMAT_MPEG = 10,
    AURA_SOUND_FORMAT_CELT = 11,
    AURA_SOUND_FORMAT_FORCEINT = 0x7fffffff
} AURA_SOUND_FORMAT;

typedef enum AURA_SPEAKERMODE {
    AURA_SPEAKERMODE_RAW = 0,
    AURA_SPEAKERMODE_MONO = 1,
    AURA_SPEAKERMODE_STEREO = 2,
    AURA_SPEAKERMODE_QUAD = 3,
    AURA_SPEAKERMODE_SURROUND = 4,
    AURA_SPEAKERMODE_5POINT1 = 5,
    AURA_SPEAKERMODE_7POINT1 = 6,
    AURA_SPEAKERMODE_PROLOGIC = 7,
    AURA_SPEAKERMODE_STEREO_LINEAR = 1000, /* stereo with a linear pan law */
    AURA_SPEAKERMODE_FORCEINT = 0x7fffffff
} AURA_SPEAKERMODE;

typedef enum AURA_SPEAKER {
    AURA_SPEAKER_FRONT_LEFT = 0,
    AURA_SPEAKER_FRONT_RIGHT = 1,
    AURA_SPEAKER_FRONT_CENTER = 2,
    AURA_SPEAKER_LOW_FREQUENCY = 3,
    AURA_SPEAKER_BACK_LEFT = 4,
    AURA_SPEAKER_BACK_RIGHT = 5,
    AURA_SPEAKER_SIDE_LEFT = 6,
    AURA_SPEAKER_SIDE_RIGHT = 7,
    AURA_SPEAKER_MAX = 8,
    AURA_SPEAKER_FORCEINT = 0x7fffffff
} AURA_SPEAKER;

typedef enum AURA_SPEAKERMAPTYPE {
    AURA_SPEAKERMAPTYPE_DEFAULT = 0,
    AURA_SPEAKERMAPTYPE_ALLMONO = 1,
    AURA_SPEAKERMAPTYPE_ALLSTEREO = 2,
    AURA_SPEAKERMAPTYPE_51_PROTOOLS = 3 /* six channels ordered FL, C, FR, BL, BR, LFE */
} AURA_SPEAKERMAPTYPE;

typedef enum AURA_DSP_RESAMPLER {
    AURA_DSP_RESAMPLER_NOINTERP = 0,
    AURA_DSP_RESAMPLER_LINEAR = 1
} AURA_DSP_RESAMPLER;

/* Mode bits of sounds and channels. */
typedef unsigned int AURA_MODE;
#define AURA_DEFAULT 0x00000000
#define AURA_LOOP_OFF 0x00000001
#define AURA_LOOP_NORMAL 0x00000002
#define AURA_LOOP_BIDI 0x00000004
#define AURA_2D 0x00000008
#define AURA_3D 0x00000010
#define AURA_HARDWARE 0x00000020
#define AURA_SOFTWARE 0x00000040
#define AURA_CREATESTREAM 0x00000080
#define AURA_CREATESAMPLE 0x00000100
#define AURA_CREATECOMPRESSEDSAMPLE 0x00000200
#define AURA_OPENUSER 0x00000400
#define AURA_OPENMEMORY 0x00000800
/* AURA_OPENONLY: a sample made with it decodes nothing and holds no data (length 0) */
#define AURA_OPENONLY 0x00002000     /* open to read the file's facts: a MIDI file needs no bank (it plays silent) */
#define AURA_ACCURATETIME 0x00004000  /* an exact length at open: MPEG scans every frame, a tracker song is run whole */
#define AURA_MPEGSEARCH 0x00008000    /* MPEG: look for the first frame beyond the first 4096 bytes */
#define AURA_NONBLOCKING 0x00010000
#define AURA_3D_HEADRELATIVE 0x00040000
#define AURA_3D_WORLDRELATIVE 0x00080000
#define AURA_3D_LOGROLLOFF 0x00100000
#define AURA_3D_LINEARROLLOFF 0x00200000
#define AURA_3D_CUSTOMROLLOFF 0x04000000
#define AURA_IGNORETAGS 0x02000000 /* skip the search for ID3 tags */
#define AURA_OPENMEMORY_POINT 0x10000000
#define AURA_3D_IGNOREGEOMETRY 0x40000000
#define AURA_VIRTUAL_PLAYFROMSTART 0x80000000

/* Time units of positions and lengths. */
typedef unsigned int AURA_TIMEUNIT;
#define AURA_TIMEUNIT_MS 0x00000001
#define AURA_TIMEUNIT_PCM 0x00000002
#define AURA_TIMEUNIT_PCMBYTES 0x00000004
#define AURA_TIMEUNIT_RAWBYTES 0x00000008
#define AURA_TIMEUNIT_BUFFERED 0x00000010   /* passed to the playing unit as it is */
#define AURA_TIMEUNIT_MODORDER 0x00000100
#define AURA_TIMEUNIT_MODROW 0x00000200
#define AURA_TIMEUNIT_MODPATTERN 0x00000400
#define AURA_TIMEUNIT_SENTENCE_MS 0x00010000
#define AURA_TIMEUNIT_SENTENCE_PCM 0x00020000
#define AURA_TIMEUNIT_SENTENCE_PCMBYTES 0x00040000
#define AURA_TIMEUNIT_SENTENCE 0x00080000
#define AURA_TIMEUNIT_SENTENCE_SUBSOUND 0x00100000

/* playSound's channel index: any free channel, or reuse the given one. */
typedef int AURA_CHANNELINDEX;
#define AURA_CHANNEL_FREE (-1)
#define AURA_CHANNEL_REUSE (-2)

typedef enum AURA_CHANNEL_CALLBACKTYPE {
    AURA_CHANNEL_CALLBACKTYPE_END = 0,        /* the sound ended or was stopped */
    AURA_CHANNEL_CALLBACKTYPE_SYNCPOINT = 2,  /* data1: the sync point's index */
    AURA_CHANNEL_CALLBACKTYPE_OCCLUSION = 3,  /* data1, data2: direct and reverb occlusion */
    AURA_CHANNEL_CALLBACKTYPE_FORCEINT = 0x7fffffff
} AURA_CHANNEL_CALLBACKTYPE;

typedef enum AURA_DELAYTYPE {
    AURA_DELAYTYPE_END_MS = 0,
    AURA_DELAYTYPE_DSPCLOCK_START = 1,
    AURA_DELAYTYPE_DSPCLOCK_END = 2,
    AURA_DELAYTYPE_DSPCLOCK_PAUSE = 3,
    AURA_DELAYTYPE_FORCEINT = 0x7fffffff
} AURA_DELAYTYPE;

/* A position, velocity or direction in 3D. */
typedef struct AURA_VECTOR {
    float x;
    float y;
    float z;
} AURA_VECTOR;

/* Where a system's mix goes. */
typedef enum AURA_OUTPUTTYPE {
    AURA_OUTPUTTYPE_AUTODETECT = 0,    /* the sound device, else real-time no sound */
    AURA_OUTPUTTYPE_NOSOUND = 1,       /* mixes in real time, plays nothing */
    AURA_OUTPUTTYPE_NOSOUND_NRT = 2,   /* mixes one block per update, plays nothing */
    AURA_OUTPUTTYPE_WAVWRITER = 3,     /* writes a WAV file in real time */
    AURA_OUTPUTTYPE_WAVWRITER_NRT = 4, /* writes a WAV file, one block per update */
    AURA_OUTPUTTYPE_ALSA = 5,          /* the ALSA sound device */
    AURA_OUTPUTTYPE_FORCEINT = 0x7fffffff
} AURA_OUTPUTTYPE;

/* Opaque handles. A channel handle is a packed value, never null while valid. */
typedef struct AURA_SYSTEM AURA_SYSTEM;
typedef struct AURA_SOUND AURA_SOUND;
typedef struct AURA_CHANNEL AURA_CHANNEL;
typedef struct AURA_CHANNELGROUP AURA_CHANNELGROUP;
typedef struct AURA_DSP AURA_DSP;
typedef struct AURA_GEOMETRY AURA_GEOMETRY;
typedef struct AURA_SOUNDGROUP AURA_SOUNDGROUP;
typedef struct AURA_REVERB AURA_REVERB;
/* A game's own distance rolloff: the volume (0..1) of a 3D channel at a
 * distance from the listener. */
typedef float (*AURA_3D_ROLLOFFCALLBACK)(AURA_CHANNEL *channel, float distance);

typedef AURA_RESULT (*AURA_CHANNEL_CALLBACK)(AURA_CHANNEL *channel, AURA_CHANNEL_CALLBACKTYPE type,
                                             void *commanddata1, void *commanddata2);

/* Kinds of event reported through the engine's system callback. */
typedef enum AURA_SYSTEM_CALLBACKTYPE {
    AURA_SYSTEM_CALLBACKTYPE_NODEVICE = 1,               /* data1: why the sound device did not open (text);
                                                            the system mixes without sound */
    AURA_SYSTEM_CALLBACKTYPE_MEMORYALLOCATIONFAILED = 2, /* data1: "file (line)" text, data2: size */
    AURA_SYSTEM_CALLBACKTYPE_BADDSPCONNECTION = 4,       /* data1, data2: the two units of a refused cycle */
    AURA_SYSTEM_CALLBACKTYPE_BADDSPLEVEL = 5,            /* a tree would exceed 128 levels */
    AURA_SYSTEM_CALLBACKTYPE_FORCEINT = 0x7fffffff
} AURA_SYSTEM_CALLBACKTYPE;

/* Init flags. */
#define AURA_INIT_NORMAL 0x00000000
#define AURA_INIT_3D_RIGHTHANDED 0x00000002
#define AURA_INIT_SOFTWARE_DISABLE 0x00000004
#define AURA_INIT_SOFTWARE_OCCLUSION 0x00000008
#define AURA_INIT_SOFTWARE_HRTF 0x00000010
#define AURA_INIT_ENABLE_PROFILE 0x00000020
#define AURA_INIT_VOL0_BECOMES_VIRTUAL 0x00000080
#define AURA_INIT_GEOMETRY_USECLOSEST 0x04000000

typedef AURA_RESULT (*AURA_SYSTEM_CALLBACK)(AURA_SYSTEM *system, AURA_SYSTEM_CALLBACKTYPE type,
                                            void *commanddata1, void *commanddata2);

/* Systems. */
AURA_API AURA_RESULT AURA_System_Create(AURA_SYSTEM **system);
AURA_API AURA_RESULT AURA_System_Release(AURA_SYSTEM *system);
AURA_API AURA_RESULT AURA_System_SetOutput(AURA_SYSTEM *system, AURA_OUTPUTTYPE output);
AURA_API AURA_RESULT AURA_System_SetDriver(AURA_SYSTEM *system, int driver);
/* Events of the system (before or after init); the callback runs on the
 * thread that made the call which caused the event. The library itself never
 * writes to standard error. */
AURA_API AURA_RESULT AURA_System_SetCallback(AURA_SYSTEM *system, AURA_SYSTEM_CALLBACK callback);
/* Before AURA_System_Init: the mixer's rate, format, speaker count, the most
 * channels a sound may have, and the resampler. */
AURA_API AURA_RESULT AURA_System_SetSoftwareFormat(AURA_SYSTEM *system, int samplerate, AURA_SOUND_FORMAT format,
                                         int numoutputchannels, int maxinputchannels,
                                         AURA_DSP_RESAMPLER resamplemethod);
AURA_API AURA_RESULT AURA_System_GetSoftwareFormat(AURA_SYSTEM *system, int *samplerate, AURA_SOUND_FORMAT *format,
                                         int *numoutputchannels, int *maxinputchannels,
                                         AURA_DSP_RESAMPLER *resamplemethod, int *bits);
AURA_API AURA_RESULT AURA_System_SetDSPBufferSize(AURA_SYSTEM *system, unsigned int bufferlength, int numbuffers);
AURA_API AURA_RESULT AURA_System_GetDSPBufferSize(AURA_SYSTEM *system, unsigned int *bufferlength, int *numbuffers);
/* The global reverb (see System::setReverbProperties). */
AURA_API AURA_RESULT AURA_System_SetReverbProperties(AURA_SYSTEM *system, const AURA_REVERB_PROPERTIES *prop);
AURA_API AURA_RESULT AURA_System_GetReverbProperties(AURA_SYSTEM *system, AURA_REVERB_PROPERTIES *prop);
/* The 3D (ambient) reverb and user reverbs placed in the world (see
   System::setReverbAmbientProperties and AURA::Reverb in aura.hpp). */
AURA_API AURA_RESULT AURA_System_SetReverbAmbientProperties(AURA_SYSTEM *system, const AURA_REVERB_PROPERTIES *prop);
AURA_API AURA_RESULT AURA_System_GetReverbAmbientProperties(AURA_SYSTEM *system, AURA_REVERB_PROPERTIES *prop);
AURA_API AURA_RESULT AURA_System_CreateReverb(AURA_SYSTEM *system, AURA_REVERB **reverb);
AURA_API AURA_RESULT AURA_Reverb_Release(AURA_REVERB *reverb);
AURA_API AURA_RESULT AURA_Reverb_Set3DAttributes(AURA_REVERB *reverb, const AURA_VECTOR *position, float mindistance,
                                                 float maxdistance);
AURA_API AURA_RESULT AURA_Reverb_Get3DAttributes(AURA_REVERB *reverb, AURA_VECTOR *position, float *mindistance,
                                                 float *maxdistance);
AURA_API AURA_RESULT AURA_Reverb_SetProperties(AURA_REVERB *reverb, const AURA_REVERB_PROPERTIES *properties);
AURA_API AURA_RESULT AURA_Reverb_GetProperties(AURA_REVERB *reverb, AURA_REVERB_PROPERTIES *properties);
AURA_API AURA_RESULT AURA_Reverb_SetActive(AURA_REVERB *reverb, int active);
AURA_API AURA_RESULT AURA_Reverb_GetActive(AURA_REVERB *reverb, int *active);
/* Settings read at init (set them before): the decoder counts of compressed
 * samples and the profiler's port (init flag AURA_INIT_ENABLE_PROFILE). */
typedef struct AURA_ADVANCEDSETTINGS {
    int cbsize;                 /* sizeof(AURA_ADVANCEDSETTINGS) */
    int maxMPEGcodecs;          /* decoders of compressed MPEG samples; 0: 16 */
    int maxADPCMcodecs;         /* decoders of compressed IMA ADPCM samples; 0: 32 */
    unsigned short profileport; /* the profiler's TCP port on 127.0.0.1; 0: 9264 */
} AURA_ADVANCEDSETTINGS;
AURA_API AURA_RESULT AURA_System_SetAdvancedSettings(AURA_SYSTEM *system, AURA_ADVANCEDSETTINGS *settings);
AURA_API AURA_RESULT AURA_System_GetAdvancedSettings(AURA_SYSTEM *system, AURA_ADVANCEDSETTINGS *settings);
/* CPU use in percent of the mixer, the stream thread, the geometry thread,
 * the update and their total; null receivers are skipped. */
AURA_API AURA_RESULT AURA_System_GetCPUUsage(AURA_SYSTEM *system, float *dsp, float *stream, float *geometry,
                                             float *update, float *total);
/* Internet streams: a proxy as "[user:password@]host[:port]" (null or empty:
 * none) and the time-out in milliseconds for connecting and for each wait
 * for the server's bytes. Both apply to every system of the process. */
AURA_API AURA_RESULT AURA_System_SetNetworkProxy(AURA_SYSTEM *system, const char *proxy);
AURA_API AURA_RESULT AURA_System_GetNetworkProxy(AURA_SYSTEM *system, char *proxy, int proxylen);
AURA_API AURA_RESULT AURA_System_SetNetworkTimeout(AURA_SYSTEM *system, int timeout);
AURA_API AURA_RESULT AURA_System_GetNetworkTimeout(AURA_SYSTEM *system, int *timeout);
AURA_API AURA_RESULT AURA_System_Init(AURA_SYSTEM *system, int maxchannels, unsigned int flags, void *extradriverdata);
AURA_API AURA_RESULT AURA_System_Update(AURA_SYSTEM *system);
AURA_API AURA_RESULT AURA_System_PlaySound(AURA_SYSTEM *system, AURA_CHANNELINDEX channelid, AURA_SOUND *sound,
                                  int paused, AURA_CHANNEL **channel);

/* Sounds. */
AURA_API AURA_RESULT AURA_Sound_Release(AURA_SOUND *sound);
AURA_API AURA_RESULT AURA_Sound_GetLength(AURA_SOUND *sound, unsigned int *length, AURA_TIMEUNIT lengthtype);
/* The rate a sound plays at by default (a song's: the mixer's), its volume,
 * pan and priority; any receiver may be NULL. */
AURA_API AURA_RESULT AURA_Sound_GetDefaults(AURA_SOUND *sound, float *frequency, float *volume, float *pan,
                                  int *priority);
/* Sounds of a multi-sound file (see AURA::Sound::getSubSound). */
AURA_API AURA_RESULT AURA_Sound_GetNumSubSounds(AURA_SOUND *sound, int *numsubsounds);
AURA_API AURA_RESULT AURA_Sound_GetSubSound(AURA_SOUND *sound, int index, AURA_SOUND **subsound);
/* A parent played as a list of its subsounds (see AURA::Sound::setSubSoundSentence). */
AURA_API AURA_RESULT AURA_Sound_SetSubSoundSentence(AURA_SOUND *sound, int *subsoundlist, int numsubsounds);
AURA_API AURA_RESULT AURA_Sound_GetName(AURA_SOUND *sound, char *name, int namelen);
/* Tracker songs: pattern columns, the volume of one column (0..1), the song's speed (1: as written). */
AURA_API AURA_RESULT AURA_Sound_GetMusicNumChannels(AURA_SOUND *sound, int *numchannels);
AURA_API AURA_RESULT AURA_Sound_SetMusicChannelVolume(AURA_SOUND *sound, int channel, float volume);
AURA_API AURA_RESULT AURA_Sound_GetMusicChannelVolume(AURA_SOUND *sound, int channel, float *volume);
AURA_API AURA_RESULT AURA_Sound_SetMusicSpeed(AURA_SOUND *sound, float speed);
AURA_API AURA_RESULT AURA_Sound_GetMusicSpeed(AURA_SOUND *sound, float *speed);

/* Channels. */
AURA_API AURA_RESULT AURA_Channel_Stop(AURA_CHANNEL *channel);
AURA_API AURA_RESULT AURA_Channel_SetPaused(AURA_CHANNEL *channel, int paused);
AURA_API AURA_RESULT AURA_Channel_GetPaused(AURA_CHANNEL *channel, int *paused);
/* 0 once the sound has ended (and 36 for a channel that ended before the last update). */
AURA_API AURA_RESULT AURA_Channel_IsPlaying(AURA_CHANNEL *channel, int *isplaying);
AURA_API AURA_RESULT AURA_Channel_SetVolume(AURA_CHANNEL *channel, float volume);
AURA_API AURA_RESULT AURA_Channel_SetPan(AURA_CHANNEL *channel, float pan);
AURA_API AURA_RESULT AURA_Channel_SetPosition(AURA_CHANNEL *channel, unsigned int position, AURA_TIMEUNIT postype);
AURA_API AURA_RESULT AURA_Channel_GetPosition(AURA_CHANNEL *channel, unsigned int *position, AURA_TIMEUNIT postype);
AURA_API AURA_RESULT AURA_Channel_SetCallback(AURA_CHANNEL *channel, AURA_CHANNEL_CALLBACK callback);
AURA_API AURA_RESULT AURA_Channel_GetCurrentSound(AURA_CHANNEL *channel, AURA_SOUND **sound);

/* Files supplied by the application. An asynchronous read request: the
 * engine fills handle, offset, sizebytes, priority and buffer, sets result to
 * AURA_ERR_NOTREADY and hands it to the asynchronous-read callback. The
 * answer may come from any thread: write bytesread (at most sizebytes) first,
 * then result with a release store (the engine polls result with an acquire
 * load every 10 ms). After the asynchronous-cancel callback returns, the
 * request must no longer be written. */
typedef struct AURA_ASYNCREADINFO {
    void *handle;
    unsigned int offset;
    unsigned int sizebytes;
    int priority;
    void *buffer;
    unsigned int bytesread;
    AURA_RESULT result;
    void *userdata;
} AURA_ASYNCREADINFO;

typedef AURA_RESULT (*AURA_FILE_OPENCALLBACK)(const char *name, int unicode, unsigned int *filesize,
                                              void **handle, void **userdata);
typedef AURA_RESULT (*AURA_FILE_CLOSECALLBACK)(void *handle, void *userdata);
typedef AURA_RESULT (*AURA_FILE_READCALLBACK)(void *handle, void *buffer, unsigned int sizebytes,
                                              unsigned int *bytesread, void *userdata);
/* A seek that cannot be made answers AURA_ERR_FILE_COULDNOTSEEK; a file whose
 * seek to 0 at open answers it is then read forward only. */
typedef AURA_RESULT (*AURA_FILE_SEEKCALLBACK)(void *handle, unsigned int pos, void *userdata);
typedef AURA_RESULT (*AURA_FILE_ASYNCREADCALLBACK)(AURA_ASYNCREADINFO *info, void *userdata);
typedef AURA_RESULT (*AURA_FILE_ASYNCCANCELCALLBACK)(void *handle, void *userdata);

/* What a sound is doing: a non-blocking sound is loading until the loader
 * has opened it (or failed: error); a non-blocking stream is setting its
 * position while the loader seeks it. */
typedef enum AURA_OPENSTATE {
    AURA_OPENSTATE_READY = 0,
    AURA_OPENSTATE_LOADING = 1,
    AURA_OPENSTATE_ERROR = 2,
    AURA_OPENSTATE_SUBSOUND = 5,
    AURA_OPENSTATE_SETPOSITION = 7,
    AURA_OPENSTATE_FORCEINT = 0x7fffffff
} AURA_OPENSTATE;

/* What a sound layer caller may say about a sound beyond its name and mode. */
typedef AURA_RESULT (*AURA_SOUND_NONBLOCKCALLBACK)(AURA_SOUND *sound, AURA_RESULT result);
typedef AURA_RESULT (*AURA_SOUND_PCMREADCALLBACK)(AURA_SOUND *sound, void *data, unsigned int datalen);
typedef AURA_RESULT (*AURA_SOUND_PCMSETPOSCALLBACK)(AURA_SOUND *sound, int subsound, unsigned int position,
                                                    AURA_TIMEUNIT postype);

/* Extended creation information. Set cbsize to sizeof(AURA_CREATESOUNDEXINFO)
 * (124 bytes on 32-bit targets) and leave every field you do not use at 0. */
typedef struct AURA_CREATESOUNDEXINFO {
    int cbsize;
    unsigned int length;            /* bytes: of a memory block, a raw or user sound */
    unsigned int fileoffset;        /* bytes to skip at the start of the file */
    int numchannels;                /* raw and user sounds */
    int defaultfrequency;           /* raw and user sounds, Hz */
    AURA_SOUND_FORMAT format;       /* raw and user sounds; music output format */
    unsigned int decodebuffersize;  /* streams: PCM samples decoded at a time */
    int initialsubsound;
    int numsubsounds;
    int *inclusionlist;             /* the subsounds to load */
    int inclusionlistnum;
    AURA_SOUND_PCMREADCALLBACK pcmreadcallback;
    AURA_SOUND_PCMSETPOSCALLBACK pcmsetposcallback;
    AURA_SOUND_NONBLOCKCALLBACK nonblockcallback;
    const char *dlsname;            /* MIDI: the sample bank */
    const char *encryptionkey;
    int maxpolyphony;
    void *userdata;
    int suggestedsoundtype;         /* an AURA_SOUND_TYPE tried first; 0: none */
    AURA_FILE_OPENCALLBACK useropen;
    AURA_FILE_CLOSECALLBACK userclose;
    AURA_FILE_READCALLBACK userread;
    AURA_FILE_SEEKCALLBACK userseek;
    AURA_FILE_ASYNCREADCALLBACK userasyncread;
    AURA_FILE_ASYNCCANCELCALLBACK userasynccancel;
    unsigned int initialseekposition;
    AURA_TIMEUNIT initialseekpostype;
    int reserved[3];
    void *platformoptions;          /* AudioQueue: points to the codec policy, an unsigned int
                                       (0 default, 1 software decoders only, 2 hardware only) */
} AURA_CREATESOUNDEXINFO;

AURA_API AURA_RESULT AURA_System_CreateSound(AURA_SYSTEM *system, const char *name_or_data, AURA_MODE mode,
                                    AURA_CREATESOUNDEXINFO *exinfo, AURA_SOUND **sound);
/* A sound decoded while it plays, a stretch ahead of the voice. */
AURA_API AURA_RESULT AURA_System_CreateStream(AURA_SYSTEM *system, const char *name_or_data, AURA_MODE mode,
                                     AURA_CREATESOUNDEXINFO *exinfo, AURA_SOUND **sound);

/* Geometry occlusion (see AURA::Geometry in aura.hpp). */
AURA_API AURA_RESULT AURA_System_CreateGeometry(AURA_SYSTEM *system, AURA_GEOMETRY **geometry);
AURA_API AURA_RESULT AURA_System_SetGeometrySettings(AURA_SYSTEM *system, float maxworldsize);
AURA_API AURA_RESULT AURA_System_GetGeometryOcclusion(AURA_SYSTEM *system, const AURA_VECTOR *listener,
                                                      const AURA_VECTOR *source, float *direct, float *reverb);
AURA_API AURA_RESULT AURA_Geometry_Release(AURA_GEOMETRY *geometry);
AURA_API AURA_RESULT AURA_Geometry_AddPolygon(AURA_GEOMETRY *geometry, float directocclusion, float reverbocclusion,
                                              int doublesided, int numvertices, const AURA_VECTOR *vertices,
                                              int *polygonindex);
AURA_API AURA_RESULT AURA_Geometry_SetActive(AURA_GEOMETRY *geometry, int active);
AURA_API AURA_RESULT AURA_Geometry_SetRotation(AURA_GEOMETRY *geometry, const AURA_VECTOR *forward,
                                               const AURA_VECTOR *up);
AURA_API AURA_RESULT AURA_Geometry_SetPosition(AURA_GEOMETRY *geometry, const AURA_VECTOR *position);
AURA_API AURA_RESULT AURA_Geometry_SetScale(AURA_GEOMETRY *geometry, const AURA_VECTOR *scale);

/* Sound groups (see AURA::SoundGroup in aura.hpp). */
AURA_API AURA_RESULT AURA_System_CreateSoundGroup(AURA_SYSTEM *system, const char *name, AURA_SOUNDGROUP **soundgroup);
AURA_API AURA_RESULT AURA_Sound_SetSoundGroup(AURA_SOUND *sound, AURA_SOUNDGROUP *soundgroup);
AURA_API AURA_RESULT AURA_SoundGroup_Release(AURA_SOUNDGROUP *soundgroup);
AURA_API AURA_RESULT AURA_SoundGroup_SetVolume(AURA_SOUNDGROUP *soundgroup, float volume);
AURA_API AURA_RESULT AURA_SoundGroup_GetVolume(AURA_SOUNDGROUP *soundgroup, float *volume);

/* 3D attenuation and virtual voices (see aura.hpp). */
AURA_API AURA_RESULT AURA_System_Set3DSettings(AURA_SYSTEM *system, float dopplerscale, float distancefactor,
                                               float rolloffscale);
AURA_API AURA_RESULT AURA_System_Get3DSettings(AURA_SYSTEM *system, float *dopplerscale, float *distancefactor,
                                               float *rolloffscale);
AURA_API AURA_RESULT AURA_System_Set3DListenerAttributes(AURA_SYSTEM *system, int listener, const AURA_VECTOR *pos,
                                                         const AURA_VECTOR *vel, const AURA_VECTOR *forward,
                                                         const AURA_VECTOR *up);
AURA_API AURA_RESULT AURA_System_Get3DListenerAttributes(AURA_SYSTEM *system, int listener, AURA_VECTOR *pos,
                                                         AURA_VECTOR *vel, AURA_VECTOR *forward, AURA_VECTOR *up);
AURA_API AURA_RESULT AURA_System_Set3DRolloffCallback(AURA_SYSTEM *system, AURA_3D_ROLLOFFCALLBACK callback);
AURA_API AURA_RESULT AURA_System_SetSoftwareChannels(AURA_SYSTEM *system, int numsoftwarechannels);
AURA_API AURA_RESULT AURA_System_SetVirtualThreshold(AURA_SYSTEM *system, float audibility);
AURA_API AURA_RESULT AURA_System_SetOcclusionFadeTime(AURA_SYSTEM *system, unsigned int milliseconds);
AURA_API AURA_RESULT AURA_Sound_Set3DMinMaxDistance(AURA_SOUND *sound, float mindistance, float maxdistance);
AURA_API AURA_RESULT AURA_Sound_Get3DMinMaxDistance(AURA_SOUND *sound, float *mindistance, float *maxdistance);
AURA_API AURA_RESULT AURA_Sound_Set3DConeSettings(AURA_SOUND *sound, float insideangle, float outsideangle,
                                                  float outsidevolume);
AURA_API AURA_RESULT AURA_Sound_Get3DConeSettings(AURA_SOUND *sound, float *insideangle, float *outsideangle,
                                                  float *outsidevolume);
AURA_API AURA_RESULT AURA_Channel_Get3DAttributes(AURA_CHANNEL *channel, AURA_VECTOR *pos, AURA_VECTOR *vel);
AURA_API AURA_RESULT AURA_Channel_Get3DMinMaxDistance(AURA_CHANNEL *channel, float *mindistance, float *maxdistance);
AURA_API AURA_RESULT AURA_Channel_Get3DConeSettings(AURA_CHANNEL *channel, float *insideangle, float *outsideangle,
                                                    float *outsidevolume);
AURA_API AURA_RESULT AURA_Channel_Set3DAttributes(AURA_CHANNEL *channel, const AURA_VECTOR *pos,
                                                  const AURA_VECTOR *vel);
AURA_API AURA_RESULT AURA_Channel_Set3DMinMaxDistance(AURA_CHANNEL *channel, float mindistance, float maxdistance);
AURA_API AURA_RESULT AURA_Channel_Set3DConeSettings(AURA_CHANNEL *channel, float insideangle, float outsideangle,
                                                    float outsidevolume);
AURA_API AURA_RESULT AURA_Channel_Set3DConeOrientation(AURA_CHANNEL *channel, const AURA_VECTOR *orientation);
AURA_API AURA_RESULT AURA_Channel_Set3DOcclusion(AURA_CHANNEL *channel, float directocclusion,
                                                 float reverbocclusion);
AURA_API AURA_RESULT AURA_Channel_GetAudibility(AURA_CHANNEL *channel, float *audibility);
AURA_API AURA_RESULT AURA_Channel_IsVirtual(AURA_CHANNEL *channel, int *isvirtual);
AURA_API AURA_RESULT AURA_Channel_SetPriority(AURA_CHANNEL *channel, int priority);

#ifdef __cplusplus
}
#endif

#endif /* AURA_H */
