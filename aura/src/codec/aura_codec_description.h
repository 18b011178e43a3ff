// The engine's codec description: the public callback table followed by the
// plug-in registry's link and the entries only the engine's own codecs use.
#ifndef AURA_CODEC_DESCRIPTION_H
#define AURA_CODEC_DESCRIPTION_H

#include <aura.h>
#include <aura_codec.h>
#include "base/aura_globals.h"

namespace AURA {

class ChannelReal;
class Codec;
class MemoryTracker;

using AURA_CODEC_RESETCALLBACK = AURA_RESULT (*)(AURA_CODEC_STATE *codec_state);
// 0 when the data may be used in place from the caller's memory, else 45.
using AURA_CODEC_CANPOINTCALLBACK = AURA_RESULT (*)(AURA_CODEC_STATE *codec_state);
using AURA_CODEC_GETMUSICNUMCHANNELSCALLBACK = AURA_RESULT (*)(AURA_CODEC_STATE *codec_state,
                                                               int *numchannels);
using AURA_CODEC_SETMUSICCHANNELVOLUMECALLBACK = AURA_RESULT (*)(AURA_CODEC_STATE *codec_state,
                                                                 int channel, float volume);
using AURA_CODEC_GETMUSICCHANNELVOLUMECALLBACK = AURA_RESULT (*)(AURA_CODEC_STATE *codec_state,
                                                                 int channel, float *volume);
using AURA_CODEC_GETHARDWAREMUSICCHANNELCALLBACK = AURA_RESULT (*)(AURA_CODEC_STATE *codec_state,
                                                                   ChannelReal **realchannel);
using AURA_CODEC_UPDATECALLBACK = AURA_RESULT (*)(AURA_CODEC_STATE *codec_state);
using AURA_CODEC_GETMEMORYUSEDCALLBACK = AURA_RESULT (*)(AURA_CODEC_STATE *codec_state,
                                                         MemoryTracker *tracker);
using AURA_CODEC_SETMUSICSPEEDCALLBACK = AURA_RESULT (*)(AURA_CODEC_STATE *codec_state, float speed);
using AURA_CODEC_GETMUSICSPEEDCALLBACK = AURA_RESULT (*)(AURA_CODEC_STATE *codec_state, float *speed);

// Builds a concrete codec object in zeroed pool memory of the description's
// mSize bytes (see constructCodec in codec/aura_codec.h).
using AURA_CODEC_CONSTRUCT = Codec *(*)(void *memory);

// The priority word of a description that is in no registry.
inline constexpr unsigned int CODEC_PRIORITY_UNREGISTERED = 0xFFFFFFFFu;

// The registry's link of one description record: a list node and the
// priority the list is sorted by. The link belongs to the record it sits in:
// a copy starts unlinked, and assigning a record keeps the target's own
// link, so copying a description into or out of the registry never carries
// pointers into the registry's list.
struct CodecRegistryNode : LinkedListNode {
    unsigned int mPriority = CODEC_PRIORITY_UNREGISTERED;

    constexpr CodecRegistryNode() { initNode(); }
    constexpr CodecRegistryNode(const CodecRegistryNode &) : CodecRegistryNode() {}
    constexpr CodecRegistryNode &operator=(const CodecRegistryNode &) { return *this; }
    ~CodecRegistryNode() = default;
};

// A codec's builder starts from a cleared record (`description = {}`) and
// sets its own fields; an entry left zero is one the codec does not provide.
struct AURA_CODEC_DESCRIPTION_EX : AURA_CODEC_DESCRIPTION {
    constexpr AURA_CODEC_DESCRIPTION_EX() : AURA_CODEC_DESCRIPTION{} {}

    CodecRegistryNode mNode;                 // the registry's list, sorted by priority
    AURA_SOUND_TYPE mType = AURA_SOUND_TYPE_UNKNOWN;
    unsigned int mSize = 0;                  // bytes of the codec object to create
    void *mModule = nullptr;                 // kept as given
    unsigned int mHandle = 0;                // the registry's handle of the entry
    unsigned int mReserved = 0;              // kept as given
    AURA_CODEC_RESETCALLBACK reset = nullptr;
    AURA_CODEC_CANPOINTCALLBACK canpoint = nullptr;
    AURA_CODEC_GETMUSICNUMCHANNELSCALLBACK getmusicnumchannels = nullptr;
    AURA_CODEC_SETMUSICCHANNELVOLUMECALLBACK setmusicchannelvolume = nullptr;
    AURA_CODEC_GETMUSICCHANNELVOLUMECALLBACK getmusicchannelvolume = nullptr;
    AURA_CODEC_GETHARDWAREMUSICCHANNELCALLBACK gethardwaremusicchannel = nullptr;
    AURA_CODEC_UPDATECALLBACK update = nullptr;
    AURA_CODEC_GETMEMORYUSEDCALLBACK getmemoryused = nullptr;
    AURA_CODEC_SETMUSICSPEEDCALLBACK setmusicspeed = nullptr;
    AURA_CODEC_GETMUSICSPEEDCALLBACK getmusicspeed = nullptr;
    // The engine's own codecs construct their class; a description without
    // it (an application's codec) gets a plain codec object.
    AURA_CODEC_CONSTRUCT mConstruct = nullptr;
};

} // namespace AURA

#endif // AURA_CODEC_DESCRIPTION_H
