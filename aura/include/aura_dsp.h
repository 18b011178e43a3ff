/*
 * Aura audio engine: sample formats, speakers and the records of DSP units
 * (descriptions, parameters, the state handed to every unit callback).
 */
#ifndef AURA_DSP_H
#define AURA_DSP_H

#include "aura.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum AURA_DSP_TYPE {
    AURA_DSP_TYPE_UNKNOWN = 0,
    AURA_DSP_TYPE_MIXER = 1,
    AURA_DSP_TYPE_OSCILLATOR = 2,
    AURA_DSP_TYPE_LOWPASS = 3,
    AURA_DSP_TYPE_ITLOWPASS = 4,
    AURA_DSP_TYPE_HIGHPASS = 5,
    AURA_DSP_TYPE_ECHO = 6,
    AURA_DSP_TYPE_FLANGE = 7,
    AURA_DSP_TYPE_DISTORTION = 8,
    AURA_DSP_TYPE_NORMALIZE = 9,
    AURA_DSP_TYPE_PARAMEQ = 10,
    AURA_DSP_TYPE_PITCHSHIFT = 11,
    AURA_DSP_TYPE_CHORUS = 12,
    AURA_DSP_TYPE_REVERB = 13,
    AURA_DSP_TYPE_ITECHO = 16,
    AURA_DSP_TYPE_COMPRESSOR = 17,
    AURA_DSP_TYPE_SFXREVERB = 18,
    AURA_DSP_TYPE_LOWPASS_SIMPLE = 19,
    AURA_DSP_TYPE_DELAY = 20,
    AURA_DSP_TYPE_TREMOLO = 21,
    AURA_DSP_TYPE_CODEC = 1000,
    AURA_DSP_TYPE_FORCEINT = 0x7fffffff
} AURA_DSP_TYPE;

/* The window a spectrum is taken through; any other value is rectangular. */
typedef enum AURA_DSP_FFT_WINDOW {
    AURA_DSP_FFT_WINDOW_RECT = 0,
    AURA_DSP_FFT_WINDOW_TRIANGLE = 1,
    AURA_DSP_FFT_WINDOW_HAMMING = 2,
    AURA_DSP_FFT_WINDOW_HANNING = 3,
    AURA_DSP_FFT_WINDOW_BLACKMAN = 4,
    AURA_DSP_FFT_WINDOW_BLACKMANHARRIS = 5,
    AURA_DSP_FFT_WINDOW_MAX = 6,
    AURA_DSP_FFT_WINDOW_FORCEINT = 0x7fffffff
} AURA_DSP_FFT_WINDOW;

/* The state handed to every callback of a unit. */
typedef struct AURA_DSP_STATE {
    void *instance;              /* the unit; set just before each callback */
    void *plugindata;            /* the callbacks' own data */
    unsigned short speakermask;  /* bit c set: channel c is processed */
} AURA_DSP_STATE;

typedef AURA_RESULT (*AURA_DSP_CREATECALLBACK)(AURA_DSP_STATE *dsp_state);
typedef AURA_RESULT (*AURA_DSP_RELEASECALLBACK)(AURA_DSP_STATE *dsp_state);
typedef AURA_RESULT (*AURA_DSP_RESETCALLBACK)(AURA_DSP_STATE *dsp_state);
typedef AURA_RESULT (*AURA_DSP_READCALLBACK)(AURA_DSP_STATE *dsp_state, float *inbuffer,
                                             float *outbuffer, unsigned int length,
                                             int inchannels, int outchannels);
typedef AURA_RESULT (*AURA_DSP_SETPOSITIONCALLBACK)(AURA_DSP_STATE *dsp_state, unsigned int pos);
typedef AURA_RESULT (*AURA_DSP_SETPARAMCALLBACK)(AURA_DSP_STATE *dsp_state, int index, float value);
typedef AURA_RESULT (*AURA_DSP_GETPARAMCALLBACK)(AURA_DSP_STATE *dsp_state, int index,
                                                 float *value, char *valuestr);
typedef AURA_RESULT (*AURA_DSP_DIALOGCALLBACK)(AURA_DSP_STATE *dsp_state, void *hwnd, int show);

/* One parameter of a unit. */
typedef struct AURA_DSP_PARAMETERDESC {
    float min;
    float max;
    float defaultval;
    char name[16];
    char label[16];       /* unit of the value, such as "Hz" */
    const char *description;
} AURA_DSP_PARAMETERDESC;

/* The public description of a unit. */
typedef struct AURA_DSP_DESCRIPTION {
    char name[32];
    unsigned int version;
    int channels;                         /* 0: follows its input */
    AURA_DSP_CREATECALLBACK create;
    AURA_DSP_RELEASECALLBACK release;
    AURA_DSP_RESETCALLBACK reset;
    AURA_DSP_READCALLBACK read;
    AURA_DSP_SETPOSITIONCALLBACK setposition;
    int numparameters;
    AURA_DSP_PARAMETERDESC *paramdesc;
    AURA_DSP_SETPARAMCALLBACK setparameter;
    AURA_DSP_GETPARAMCALLBACK getparameter;
    AURA_DSP_DIALOGCALLBACK config;
    int configwidth;
    int configheight;
    void *userdata;
} AURA_DSP_DESCRIPTION;

/* Effect units: made by type, set up, then added to a channel or a group
 * (later units process after earlier ones) or played on a channel. */
AURA_API AURA_RESULT AURA_System_CreateDSPByType(AURA_SYSTEM *system, AURA_DSP_TYPE type, AURA_DSP **dsp);
AURA_API AURA_RESULT AURA_System_PlayDSP(AURA_SYSTEM *system, AURA_CHANNELINDEX channelid, AURA_DSP *dsp, int paused,
                                         AURA_CHANNEL **channel);
AURA_API AURA_RESULT AURA_System_GetSpectrum(AURA_SYSTEM *system, float *spectrumarray, int numvalues,
                                             int channeloffset, AURA_DSP_FFT_WINDOW windowtype);
AURA_API AURA_RESULT AURA_Channel_AddDSP(AURA_CHANNEL *channel, AURA_DSP *dsp);
AURA_API AURA_RESULT AURA_Channel_GetSpectrum(AURA_CHANNEL *channel, float *spectrumarray, int numvalues,
                                              int channeloffset, AURA_DSP_FFT_WINDOW windowtype);
AURA_API AURA_RESULT AURA_Channel_GetWaveData(AURA_CHANNEL *channel, float *wavearray, int numvalues,
                                              int channeloffset);
AURA_API AURA_RESULT AURA_ChannelGroup_AddDSP(AURA_CHANNELGROUP *channelgroup, AURA_DSP *dsp);
AURA_API AURA_RESULT AURA_DSP_Release(AURA_DSP *dsp);
AURA_API AURA_RESULT AURA_DSP_SetParameter(AURA_DSP *dsp, int index, float value);
AURA_API AURA_RESULT AURA_DSP_GetParameter(AURA_DSP *dsp, int index, float *value, char *valuestr, int valuestrlen);
AURA_API AURA_RESULT AURA_DSP_GetNumParameters(AURA_DSP *dsp, int *numparams);
AURA_API AURA_RESULT AURA_DSP_GetParameterInfo(AURA_DSP *dsp, int index, char *name, char *label, char *description,
                                               int descriptionlen, float *min, float *max);
AURA_API AURA_RESULT AURA_DSP_GetInfo(AURA_DSP *dsp, char *name, unsigned int *version, int *channels, int *configwidth,
                                      int *configheight);
AURA_API AURA_RESULT AURA_DSP_GetType(AURA_DSP *dsp, AURA_DSP_TYPE *type);
AURA_API AURA_RESULT AURA_DSP_SetBypass(AURA_DSP *dsp, int bypass);
AURA_API AURA_RESULT AURA_DSP_GetBypass(AURA_DSP *dsp, int *bypass);
AURA_API AURA_RESULT AURA_DSP_Reset(AURA_DSP *dsp);

#ifdef __cplusplus
}
#endif

#endif /* AURA_DSP_H */
