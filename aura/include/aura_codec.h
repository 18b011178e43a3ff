/*
 * Aura audio engine: the records of file-format codecs. A codec is a table
 * of callbacks (AURA_CODEC_DESCRIPTION) over the codec's state
 * (AURA_CODEC_STATE), which describes each of the file's sounds in an
 * AURA_CODEC_WAVEFORMAT.
 */
#ifndef AURA_CODEC_H
#define AURA_CODEC_H

#include "aura.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The file format a sound was opened from. */
typedef enum AURA_SOUND_TYPE {
    AURA_SOUND_TYPE_UNKNOWN = 0,
    AURA_SOUND_TYPE_AIFF = 2,
    AURA_SOUND_TYPE_DLS = 6,
    AURA_SOUND_TYPE_FLAC = 7,
    AURA_SOUND_TYPE_SBK = 8,
    AURA_SOUND_TYPE_IT = 10,
    AURA_SOUND_TYPE_MIDI = 11,
    AURA_SOUND_TYPE_MOD = 12,
    AURA_SOUND_TYPE_MPEG = 13,
    AURA_SOUND_TYPE_OGGVORBIS = 14,
    AURA_SOUND_TYPE_PLAYLIST = 15,
    AURA_SOUND_TYPE_RAW = 16,
    AURA_SOUND_TYPE_S3M = 17,
    AURA_SOUND_TYPE_USER = 19,
    AURA_SOUND_TYPE_WAV = 20,
    AURA_SOUND_TYPE_XM = 21,
    AURA_SOUND_TYPE_AUDIOQUEUE = 24,
    AURA_SOUND_TYPE_TAG = 1000,    /* the tag reader: tags only, no audio */
    AURA_SOUND_TYPE_FORCEINT = 0x7fffffff
} AURA_SOUND_TYPE;

/* Where a tag came from. */
typedef enum AURA_TAGTYPE {
    AURA_TAGTYPE_UNKNOWN = 0,
    AURA_TAGTYPE_ID3V1 = 1,
    AURA_TAGTYPE_ID3V2 = 2,
    AURA_TAGTYPE_VORBISCOMMENT = 3,
    AURA_TAGTYPE_SHOUTCAST = 4,
    AURA_TAGTYPE_ICECAST = 5,
    AURA_TAGTYPE_MIDI = 7,
    AURA_TAGTYPE_PLAYLIST = 8,
    AURA_TAGTYPE_AURA = 9,         /* facts the engine's own codecs report */
    AURA_TAGTYPE_FORCEINT = 0x7fffffff
} AURA_TAGTYPE;

/* What a tag's data holds. */
typedef enum AURA_TAGDATATYPE {
    AURA_TAGDATATYPE_BINARY = 0,
    AURA_TAGDATATYPE_INT = 1,
    AURA_TAGDATATYPE_STRING = 3,          /* 8-bit text */
    AURA_TAGDATATYPE_STRING_UTF16 = 4,    /* 16-bit text, little-endian */
    AURA_TAGDATATYPE_STRING_UTF16BE = 5,  /* 16-bit text, big-endian */
    AURA_TAGDATATYPE_STRING_UTF8 = 6,
    AURA_TAGDATATYPE_FORCEINT = 0x7fffffff
} AURA_TAGDATATYPE;

/* One tag as a query returns it. name and data point into the tag list's
   own copies and stay valid while the tag is in the list. */
typedef struct AURA_TAG {
    AURA_TAGTYPE type;
    AURA_TAGDATATYPE datatype;
    char *name;
    void *data;
    unsigned int datalen;     /* bytes */
    int updated;              /* 1: new or set again since it was last read */
} AURA_TAG;

typedef struct AURA_CODEC_STATE AURA_CODEC_STATE;

/* One sound of a file (one per subsound, or one when the file has none). */
typedef struct AURA_CODEC_WAVEFORMAT {
    char name[256];
    AURA_SOUND_FORMAT format;
    int channels;
    int frequency;              /* Hz */
    unsigned int lengthbytes;   /* of the audio data in the file */
    unsigned int lengthpcm;     /* PCM samples; 0xFFFFFFFF when unknown */
    int blockalign;             /* bytes of one sample frame */
    unsigned int loopstart;     /* PCM samples */
    unsigned int loopend;       /* PCM samples */
    AURA_MODE mode;
    unsigned int channelmask;
} AURA_CODEC_WAVEFORMAT;

/* Access to the codec's file, and the way back into the engine's tag list. */
typedef AURA_RESULT (*AURA_CODEC_FILE_READCALLBACK)(void *handle, void *buffer, unsigned int sizebytes,
                                                    unsigned int *bytesread);
typedef AURA_RESULT (*AURA_CODEC_FILE_SEEKCALLBACK)(void *handle, unsigned int position);
typedef AURA_RESULT (*AURA_CODEC_METADATACALLBACK)(AURA_CODEC_STATE *codec_state, AURA_TAGTYPE tagtype,
                                                   char *name, void *data, unsigned int datalen,
                                                   AURA_TAGDATATYPE datatype, int unique);

/* The part of a codec object that every callback receives. */
struct AURA_CODEC_STATE {
    int numsubsounds;                       /* 0: the file is one sound */
    AURA_CODEC_WAVEFORMAT *waveformat;      /* numsubsounds entries, or one */
    void *plugindata;                       /* the codec's own data */
    void *filehandle;                       /* the file being decoded */
    unsigned int filesize;
    AURA_CODEC_FILE_READCALLBACK fileread;
    AURA_CODEC_FILE_SEEKCALLBACK fileseek;
    AURA_CODEC_METADATACALLBACK metadata;
};

typedef AURA_RESULT (*AURA_CODEC_OPENCALLBACK)(AURA_CODEC_STATE *codec_state, AURA_MODE usermode,
                                               AURA_CREATESOUNDEXINFO *userexinfo);
typedef AURA_RESULT (*AURA_CODEC_CLOSECALLBACK)(AURA_CODEC_STATE *codec_state);
typedef AURA_RESULT (*AURA_CODEC_READCALLBACK)(AURA_CODEC_STATE *codec_state, void *buffer,
                                               unsigned int sizebytes, unsigned int *bytesread);
typedef AURA_RESULT (*AURA_CODEC_GETLENGTHCALLBACK)(AURA_CODEC_STATE *codec_state, unsigned int *length,
                                                    AURA_TIMEUNIT lengthtype);
typedef AURA_RESULT (*AURA_CODEC_SETPOSITIONCALLBACK)(AURA_CODEC_STATE *codec_state, int subsound,
                                                      unsigned int position, AURA_TIMEUNIT postype);
typedef AURA_RESULT (*AURA_CODEC_GETPOSITIONCALLBACK)(AURA_CODEC_STATE *codec_state, unsigned int *position,
                                                      AURA_TIMEUNIT postype);
typedef AURA_RESULT (*AURA_CODEC_SOUNDCREATECALLBACK)(AURA_CODEC_STATE *codec_state, int subsound,
                                                      AURA_SOUND *sound);
typedef AURA_RESULT (*AURA_CODEC_GETWAVEFORMATCALLBACK)(AURA_CODEC_STATE *codec_state, int index,
                                                        AURA_CODEC_WAVEFORMAT *waveformat);

/* A codec: its name and what it accepts, then its callbacks. A field left
   zero means the codec does not provide it. */
typedef struct AURA_CODEC_DESCRIPTION {
    const char *name;
    unsigned int version;
    int defaultasstream;        /* 1: files of this format open as streams */
    AURA_TIMEUNIT timeunits;    /* the units setposition accepts */
    AURA_CODEC_OPENCALLBACK open;
    AURA_CODEC_CLOSECALLBACK close;
    AURA_CODEC_READCALLBACK read;
    AURA_CODEC_GETLENGTHCALLBACK getlength;
    AURA_CODEC_SETPOSITIONCALLBACK setposition;
    AURA_CODEC_GETPOSITIONCALLBACK getposition;
    AURA_CODEC_SOUNDCREATECALLBACK soundcreate;
    AURA_CODEC_GETWAVEFORMATCALLBACK getwaveformat;
} AURA_CODEC_DESCRIPTION;

#ifdef __cplusplus
}
#endif

#endif /* AURA_CODEC_H */
