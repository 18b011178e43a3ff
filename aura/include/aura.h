/*
 * Aura audio engine: the public C interface.
 *
 * Every operation returns an AURA_RESULT; AURA_OK (0) is success and every
 * other value names one failure. AURA_ErrorString (aura_errors.h) turns a
 * result into its message text.
 */
#ifndef AURA_H
#define AURA_H

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
    AURA_RESULT_FORCEINT = 0x7fffffff     /* keeps the type 32 bits wide */
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

/* Opaque handle of a system object. */
typedef struct AURA_SYSTEM AURA_SYSTEM;

/* Kinds of event reported through the engine's system callback. */
typedef enum AURA_SYSTEM_CALLBACKTYPE {
    AURA_SYSTEM_CALLBACKTYPE_MEMORYALLOCATIONFAILED = 2, /* data1: "file (line)" text, data2: size */
    AURA_SYSTEM_CALLBACKTYPE_BADDSPCONNECTION = 4,       /* data1, data2: the two units of a refused cycle */
    AURA_SYSTEM_CALLBACKTYPE_BADDSPLEVEL = 5,            /* a tree would exceed 128 levels */
    AURA_SYSTEM_CALLBACKTYPE_FORCEINT = 0x7fffffff
} AURA_SYSTEM_CALLBACKTYPE;

typedef AURA_RESULT (*AURA_SYSTEM_CALLBACK)(AURA_SYSTEM *system, AURA_SYSTEM_CALLBACKTYPE type,
                                            void *commanddata1, void *commanddata2);

#ifdef __cplusplus
}
#endif

#endif /* AURA_H */
