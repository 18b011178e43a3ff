#include "dsp/aura_dspi.h"

#include "base/aura_memory.h"
#include "base/aura_memorytracker.h"
#include "base/aura_string.h"
#include "dsp/aura_dsp_mixer.h"
#include "dsp/aura_dsp_connectioni.h"
#include "os/aura_os.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_dspi";

float *alignUp(void *memory)
{
    const auto address = (reinterpret_cast<uintptr_t>(memory) + 15) & ~uintptr_t{15};
    return reinterpret_cast<float *>(address);
}

DSPConnectionI *inputConnection(LinkedListNode *node)
{
    return static_cast<DSPConnectionI *>(node->mData);
}

// Holds the system's DSP section, then its connection section.
class GraphLock {
public:
    GraphLock(DSPMixer *system, bool lock)
        : mDSP(lock && system ? system->mDSPCrit : nullptr),
          mConnection(lock && system ? system->mDSPConnectionCrit : nullptr)
    {
    }

private:
    CriticalSectionGuard mDSP;
    CriticalSectionGuard mConnection;
};

// Reports a refused connection to the system's callback.
void reportBadConnection(DSPMixer *system, AURA_SYSTEM_CALLBACKTYPE type, DSPI *a, DSPI *b)
{
    if (system && system->mCallback) {
        system->mCallback(system->mSystemHandle, type, a, b);
    }
}

// The number of levels below a node, its own included (1 for a leaf).
// Iterative, and each node is measured once, so deep or wide graphs cost
// no stack and no repeated walks.
int subtreeDepth(DSPI *root)
{
    std::unordered_map<DSPI *, int> depth;
    std::vector<std::pair<DSPI *, bool>> stack{{root, false}};
    while (!stack.empty()) {
        auto [node, expanded] = stack.back();
        stack.pop_back();
        if (depth.count(node)) {
            continue;
        }
        if (!expanded) {
            stack.emplace_back(node, true);
            for (LinkedListNode *n = node->mInputHead.mNext; n != &node->mInputHead; n = n->mNext) {
                DSPI *input = inputConnection(n)->mInputUnit;
                if (input && !depth.count(input)) {
                    stack.emplace_back(input, false);
                }
            }
            continue;
        }
        int deepest = 0;
        for (LinkedListNode *n = node->mInputHead.mNext; n != &node->mInputHead; n = n->mNext) {
            DSPI *input = inputConnection(n)->mInputUnit;
            auto it = input ? depth.find(input) : depth.end();
            if (it != depth.end()) {
                deepest = std::max(deepest, it->second);
            }
        }
        depth[node] = deepest + 1;
    }
    return depth[root];
}
} // namespace

DSPI::DSPI()
{
    mNode.initNode();
    mInputHead.initNode();
    mOutputHead.initNode();
    bindState();
}

DSPI::~DSPI()
{
    if (mBufferMemory) {
        AURA_Memory_Free(mBufferMemory);
        mBufferMemory = nullptr;
    }
}

int DSPI::blockBufferBytes() const
{
    if (!mSystem) {
        return 0;
    }
    const int64_t channels = std::max(mSystem->mMaxInputChannels, mSystem->mMaxOutputChannels);
    const int64_t bytes = channels * mSystem->mDSPBlockSize * 4 + 16;
    return bytes > MemPool::MAX_SIZE ? 0 : static_cast<int>(bytes);
}

float *DSPI::levelBuffer(int level)
{
    return mSystem ? mSystem->getLevelBuffer(level) : nullptr;
}

AURA_RESULT DSPI::callback(DSPI *dsp, AURA_RESULT (*fn)(AURA_DSP_STATE *))
{
    if (!fn) {
        return AURA_ERR_UNSUPPORTED;
    }
    dsp->bindState();
    return fn(&dsp->mDSPState);
}

AURA_RESULT DSPI::read(float ** /*outbuffer*/, int * /*outchannels*/, unsigned int * /*length*/,
                       AURA_SPEAKERMODE /*speakermode*/, int /*speakermodechannels*/,
                       unsigned int /*tick*/)
{
    return AURA_ERR_INTERNAL;
}

AURA_RESULT DSPI::read(void * /*outbuffer*/, unsigned int *length, AURA_SPEAKERMODE speakermode,
                       int speakermodechannels, unsigned int tick)
{
    return read(nullptr, nullptr, length, speakermode, speakermodechannels, tick);
}

AURA_RESULT DSPI::alloc(AURA_DSP_DESCRIPTION_EX *description)
{
    if (!description || description->channels < 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    switch (description->mCategory) {
    case AURA_DSP_CATEGORY_FILTER:
        if (mSystem && description->channels > mSystem->mMaxInputChannels) {
            return AURA_ERR_TOOMANYCHANNELS;
        }
        break;
    case AURA_DSP_CATEGORY_DSPCODECMPEG:
    case AURA_DSP_CATEGORY_DSPCODECADPCM:
    case AURA_DSP_CATEGORY_DSPCODECXMA:
    case AURA_DSP_CATEGORY_DSPCODECCELT:
    case AURA_DSP_CATEGORY_DSPCODECRAW:
        if (description->channels == 0) {
            return AURA_ERR_INVALID_PARAM;
        }
        break;
    case AURA_DSP_CATEGORY_SOUNDCARD:
    case AURA_DSP_CATEGORY_WAVETABLE:
        break;
    case AURA_DSP_CATEGORY_RESAMPLER:
        if (description->channels != 0) {
            return AURA_ERR_INVALID_PARAM;
        }
        break;
    default:
        return AURA_ERR_INVALID_PARAM;
    }
    // The registry link belongs to the registry's own record, not the copy.
    const LinkedListNode keep = mDescription.mNode;
    mDescription = *description;
    mDescription.mNode = keep;
    setDSPTick(0);
    clearFlags(DSPI_FLAG_ACTIVE | DSPI_FLAG_INSERTED);
    mNumPeakChannels = 0;
    mDSPState.speakermask = 0xFFFF;
    return AURA_OK;
}

AURA_RESULT DSPI::setPosition(unsigned int position, bool processinputs)
{
    if (processinputs) {
        int count = 0;
        (void)getNumInputs(&count, true);
        for (int i = 0; i < count; ++i) {
            DSPI *input = nullptr;
            if (getInput(i, &input, nullptr, true) == AURA_OK && input) {
                (void)input->setPosition(position, true);
            }
        }
    }
    if (!mDescription.setposition) {
        return AURA_OK;
    }
    bindState();
    return mDescription.setposition(&mDSPState, position);
}

// ---------------------------------------------------------------------------
// Queued changes.

AURA_RESULT DSPI::queueRequest(DSPConnectionRequestType type, DSPI *target,
                               DSPConnectionI *connection, int inputindex)
{
    if (!mSystem) {
        return AURA_ERR_UNINITIALIZED;
    }
    return mSystem->queueDSPConnectionRequest(type, this, target, connection, inputindex);
}

AURA_RESULT DSPI::allocConnection(DSPConnectionI *templ, DSPConnectionI **connection)
{
    const AURA_RESULT result = mSystem->mDSPConnectionPool.alloc(connection, true);
    if (result != AURA_OK) {
        return result;
    }
    if (templ) {
        (*connection)->copy(templ);
    } else {
        (*connection)->reset();
    }
    return AURA_OK;
}

AURA_RESULT DSPI::addInput(DSPI *input, DSPConnectionI **connection)
{
    if (!mSystem) {
        return AURA_ERR_UNINITIALIZED;
    }
    return addInputQueued(input, true, nullptr, connection);
}

AURA_RESULT DSPI::addInputQueued(DSPI *input, bool checkcycle, DSPConnectionI *templ,
                                 DSPConnectionI **connection)
{
    if (!input) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!mSystem) {
        return AURA_ERR_UNINITIALIZED;
    }
    if (input->mDescription.mCategory == AURA_DSP_CATEGORY_SOUNDCARD) {
        return AURA_ERR_DSP_CONNECTION;
    }
    // Refuse a cycle or an over-deep tree now, where the caller hears of
    // it, rather than when the mixer applies the request.
    if (checkcycle) {
        (void)mSystem->flushDSPConnectionRequests(true);
        CriticalSectionGuard guard(mSystem->mDSPCrit);
        if (mDescription.mCategory == AURA_DSP_CATEGORY_RESAMPLER && input->mNumOutputs > 0) {
            return AURA_ERR_DSP_CONNECTION;
        }
        if (input->doesUnitExist(this, false) == AURA_OK) {
            reportBadConnection(mSystem, AURA_SYSTEM_CALLBACKTYPE_BADDSPCONNECTION, this, input);
            return AURA_ERR_DSP_CONNECTION;
        }
        if (mTreeLevel >= 0 && mTreeLevel + subtreeDepth(input) >= DSP_MAXTREEDEPTH) {
            reportBadConnection(mSystem, AURA_SYSTEM_CALLBACKTYPE_BADDSPLEVEL, this, input);
            return AURA_ERR_DSP_CONNECTION;
        }
    }
    DSPConnectionI *newConnection = nullptr;
    AURA_RESULT result = allocConnection(templ, &newConnection);
    if (result != AURA_OK) {
        return result;
    }
    result = queueRequest(checkcycle ? DSPCONNECTION_REQUEST_ADDINPUT_CHECKCYCLE
                                     : DSPCONNECTION_REQUEST_ADDINPUT,
                          input, newConnection, 0);
    if (result != AURA_OK) {
        (void)mSystem->mDSPConnectionPool.free(newConnection, true);
        return result;
    }
    if (connection) {
        *connection = newConnection;
    }
    return AURA_OK;
}

AURA_RESULT DSPI::disconnectFrom(DSPI *target, DSPConnectionI *connection)
{
    (target ? target : this)->setFlags(DSPI_FLAG_QUEUEDFORDISCONNECT);
    const AURA_RESULT result =
        queueRequest(DSPCONNECTION_REQUEST_DISCONNECTFROM, target, connection, 0);
    if (result != AURA_OK) {
        (target ? target : this)->clearFlags(DSPI_FLAG_QUEUEDFORDISCONNECT);
    }
    return result;
}

AURA_RESULT DSPI::disconnectAll(bool inputs, bool outputs)
{
    if (!inputs && !outputs) {
        return AURA_OK;
    }
    if (outputs) {
        setFlags(DSPI_FLAG_QUEUEDFORDISCONNECT);
    }
    const DSPConnectionRequestType type = inputs && outputs ? DSPCONNECTION_REQUEST_DISCONNECTALL
                                          : inputs          ? DSPCONNECTION_REQUEST_DISCONNECTALLINPUTS
                                                            : DSPCONNECTION_REQUEST_DISCONNECTALLOUTPUTS;
    const AURA_RESULT result = queueRequest(type, nullptr, nullptr, 0);
    if (result != AURA_OK && outputs) {
        clearFlags(DSPI_FLAG_QUEUEDFORDISCONNECT);
    }
    return result;
}

AURA_RESULT DSPI::insertInputBetween(DSPI *dsp, int inputindex, bool search,
                                     DSPConnectionI **connection)
{
    if (!dsp || dsp == this) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!mSystem) {
        return AURA_ERR_UNINITIALIZED;
    }
    DSPConnectionI *newConnection = nullptr;
    AURA_RESULT result = allocConnection(nullptr, &newConnection);
    if (result != AURA_OK) {
        return result;
    }
    result = queueRequest(search ? DSPCONNECTION_REQUEST_INSERTINBETWEEN_SEARCH
                                 : DSPCONNECTION_REQUEST_INSERTINBETWEEN,
                          dsp, newConnection, inputindex);
    if (result != AURA_OK) {
        (void)mSystem->mDSPConnectionPool.free(newConnection, true);
        return result;
    }
    dsp->setFlags(DSPI_FLAG_INSERTED);
    if (connection) {
        *connection = newConnection;
    }
    return AURA_OK;
}

AURA_RESULT DSPI::getNumInputs(int *numinputs, bool flush)
{
    return getCount(mNumInputs, numinputs, flush);
}

AURA_RESULT DSPI::getNumOutputs(int *numoutputs, bool flush)
{
    return getCount(mNumOutputs, numoutputs, flush);
}

AURA_RESULT DSPI::getCount(const int &count, int *out, bool flush)
{
    if (!out) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (flush && mSystem) {
        (void)mSystem->flushDSPConnectionRequests(true);
    }
    CriticalSectionGuard guard(mSystem ? mSystem->mDSPConnectionCrit : nullptr);
    *out = count;
    return AURA_OK;
}

AURA_RESULT DSPI::getLink(LinkedListNode &head, int count, int index, DSPI **unit,
                          DSPConnectionI **connection, bool flush, bool inputs)
{
    if (flush && mSystem) {
        (void)mSystem->flushDSPConnectionRequests(true);
    }
    CriticalSectionGuard guard(flush && mSystem ? mSystem->mDSPConnectionCrit : nullptr);
    count = inputs ? mNumInputs : mNumOutputs;
    if (index >= count) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (index < 0) {
        if (count == 0) {
            return AURA_ERR_INTERNAL;
        }
        index = 0;
    }
    LinkedListNode *node = head.mNext;
    for (int i = 0; i < index; ++i) {
        node = node->mNext;
    }
    auto *found = static_cast<DSPConnectionI *>(node->mData);
    if (connection) {
        *connection = found;
    }
    if (unit) {
        *unit = inputs ? found->mInputUnit : found->mOutputUnit;
    }
    return AURA_OK;
}

AURA_RESULT DSPI::getInput(int index, DSPI **input, DSPConnectionI **connection, bool flush)
{
    return getLink(mInputHead, mNumInputs, index, input, connection, flush, true);
}

AURA_RESULT DSPI::getOutput(int index, DSPI **output, DSPConnectionI **connection, bool flush)
{
    return getLink(mOutputHead, mNumOutputs, index, output, connection, flush, false);
}

AURA_RESULT DSPI::doesUnitExist(DSPI *target, bool flush)
{
    if (flush && mSystem) {
        (void)mSystem->flushDSPConnectionRequests(true);
    }
    // Depth-first over the inputs; each node is looked at once.
    std::vector<DSPI *> stack{this};
    std::unordered_set<DSPI *> seen{this};
    while (!stack.empty()) {
        DSPI *node = stack.back();
        stack.pop_back();
        if (node == target) {
            return AURA_OK;
        }
        for (LinkedListNode *n = node->mInputHead.mNext; n != &node->mInputHead; n = n->mNext) {
            DSPI *input = inputConnection(n)->mInputUnit;
            if (input && seen.insert(input).second) {
                stack.push_back(input);
            }
        }
    }
    return AURA_ERR_INVALID_PARAM;
}

AURA_RESULT DSPI::setUserData(void *userdata)
{
    mDescription.userdata = userdata;
    return AURA_OK;
}

AURA_RESULT DSPI::getUserData(void **userdata)
{
    if (!userdata) {
        return AURA_ERR_INVALID_PARAM;
    }
    *userdata = mDescription.userdata;
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Changes applied at once.

AURA_RESULT DSPI::addInputInternal(DSPI *input, bool checkcycle, DSPConnectionI *connection,
                                   DSPConnectionI **connectionout, bool lock)
{
    if (!input) {
        return AURA_ERR_INVALID_PARAM;
    }
    if ((mDescription.mCategory == AURA_DSP_CATEGORY_RESAMPLER && input->mNumOutputs > 0) ||
        input->mDescription.mCategory == AURA_DSP_CATEGORY_SOUNDCARD) {
        return AURA_ERR_DSP_CONNECTION;
    }
    GraphLock graphLock(mSystem, lock);
    if (checkcycle && input->doesUnitExist(this, false) == AURA_OK) {
        reportBadConnection(mSystem, AURA_SYSTEM_CALLBACKTYPE_BADDSPCONNECTION, this, input);
        return AURA_ERR_DSP_CONNECTION;
    }
    // Measured before linking, so a refused link leaves nothing behind; the
    // level buffers the subtree will use are made first for the same reason.
    if (mTreeLevel >= 0) {
        const int depth = subtreeDepth(input);
        if (mTreeLevel + depth >= DSP_MAXTREEDEPTH) {
            reportBadConnection(mSystem, AURA_SYSTEM_CALLBACKTYPE_BADDSPLEVEL, this, input);
            return AURA_ERR_DSP_CONNECTION;
        }
        for (int level = mTreeLevel; level <= mTreeLevel + depth; ++level) {
            if (!levelBuffer(level)) {
                return AURA_ERR_MEMORY;
            }
        }
    }
    // A second output needs the input's own buffer: get it before linking.
    void *privateBuffer = nullptr;
    if (input->mNumOutputs >= 1 && !input->mBufferMemory) {
        const int bytes = input->blockBufferBytes();
        privateBuffer = bytes ? AURA_Memory_Calloc(bytes) : nullptr;
        if (!privateBuffer) {
            return AURA_ERR_MEMORY;
        }
    }
    const bool ownConnection = connection == nullptr;
    if (ownConnection) {
        if (!mSystem) {
            AURA_Memory_Free(privateBuffer);
            return AURA_ERR_UNINITIALIZED;
        }
        const AURA_RESULT result = mSystem->mDSPConnectionPool.alloc(&connection, false);
        if (result != AURA_OK) {
            AURA_Memory_Free(privateBuffer);
            return result;
        }
    }

    connection->mInputNode.addBefore(mInputHead);
    connection->mInputNode.mData = connection;
    ++mNumInputs;
    connection->mOutputNode.addBefore(input->mOutputHead);
    connection->mOutputNode.mData = connection;
    ++input->mNumOutputs;
    connection->mInputUnit = input;
    connection->mOutputUnit = this;
    if (ownConnection) {
        connection->reset();
    }
    if (privateBuffer) {
        input->mBufferMemory = privateBuffer;
        input->mBuffer = alignUp(privateBuffer);
    }

    if (mTreeLevel >= 0) {
        const AURA_RESULT result = input->updateTreeLevel(mTreeLevel + 1);
        if (result != AURA_OK) {
            return result;
        }
        if (!mBufferMemory) {
            mBuffer = levelBuffer(mTreeLevel);
        }
    }
    if (connectionout) {
        *connectionout = connection;
    }
    return AURA_OK;
}

AURA_RESULT DSPI::disconnectFromInternal(DSPI *target, DSPConnectionI *connection, bool lock)
{
    if (!target && !connection) {
        return disconnectAllInternal(true, true, lock);
    }

    GraphLock graphLock(mSystem, lock);
    if (!connection) {
        for (LinkedListNode *n = mInputHead.mNext; n != &mInputHead; n = n->mNext) {
            if (inputConnection(n)->mInputUnit == target) {
                connection = inputConnection(n);
                break;
            }
        }
        if (!connection) {
            return AURA_ERR_DSP_NOTFOUND;
        }
    }
    if (!connection->mInputUnit && !connection->mOutputUnit) {
        return AURA_OK;
    }
    if (connection->mOutputUnit != this) {
        return AURA_ERR_DSP_NOTFOUND;
    }
    DSPI *input = connection->mInputUnit;

    connection->mInputNode.removeNode();
    connection->mInputNode.mData = nullptr;
    --mNumInputs;
    if (mBufferMemory && mNumOutputs <= 1 && !mOwnsBuffer) {
        // Back to the level's shared buffer; never leave the current buffer
        // pointing into freed memory.
        AURA_Memory_Free(mBufferMemory);
        mBufferMemory = nullptr;
        mBuffer = mTreeLevel >= 0 ? levelBuffer(mTreeLevel) : nullptr;
    }
    connection->mOutputNode.removeNode();
    connection->mOutputNode.mData = nullptr;
    --input->mNumOutputs;
    connection->mInputUnit = nullptr;
    connection->mOutputUnit = nullptr;
    if (mSystem) {
        (void)mSystem->mDSPConnectionPool.free(connection, false);
    }
    return AURA_OK;
}

AURA_RESULT DSPI::disconnectAllInternal(bool inputs, bool outputs, bool lock)
{
    if (inputs) {
        for (int count = mNumInputs; count > 0; --count) {
            DSPI *input = nullptr;
            DSPConnectionI *link = nullptr;
            AURA_RESULT result = getInput(0, &input, &link, false);
            if (result == AURA_OK) {
                result = disconnectFromInternal(input, link, lock);
            }
            if (result != AURA_OK) {
                return result;
            }
        }
    }
    if (outputs) {
        for (int count = mNumOutputs; count > 0; --count) {
            DSPI *output = nullptr;
            DSPConnectionI *link = nullptr;
            AURA_RESULT result = getOutput(0, &output, &link, false);
            if (result == AURA_OK) {
                result = output->disconnectFromInternal(this, link, lock);
            }
            if (result != AURA_OK) {
                return result;
            }
        }
    }
    return AURA_OK;
}

AURA_RESULT DSPI::insertInputBetweenInternal(DSPI *dsp, int inputindex, bool search,
                                             DSPConnectionI *connection, bool lock)
{
    if (!dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    GraphLock graphLock(mSystem, lock);
    AURA_RESULT result = AURA_OK;
    if (dsp->hasFlags(DSPI_FLAG_INSERTED) && dsp->mNumInputs + dsp->mNumOutputs > 0) {
        // A chain of inserted units moves whole: cut it at its two ends.
        result = dsp->disconnectAllInternal(false, true, false);
        DSPI *last = dsp;
        while (last->mNumInputs > 0) {
            DSPI *below = nullptr;
            if (last->getInput(0, &below, nullptr, false) != AURA_OK || !below ||
                !below->hasFlags(DSPI_FLAG_INSERTED)) {
                break;
            }
            last = below;
        }
        if (result == AURA_OK) {
            result = last->disconnectAllInternal(true, false, false);
        }
    } else {
        result = dsp->disconnectFromInternal(nullptr, nullptr, false);
    }
    if (result != AURA_OK) {
        return result;
    }

    DSPI *former = nullptr;
    DSPConnectionI *formerConnection = nullptr;
    if (getInput(inputindex, &former, &formerConnection, false) == AURA_OK && former) {
        result = disconnectFromInternal(former, formerConnection, false);
        if (result != AURA_OK) {
            return result;
        }
    }
    result = addInputInternal(dsp, false, connection, nullptr, false);
    if (result != AURA_OK || !former) {
        return result;
    }
    DSPI *below = dsp;
    if (search) {
        while (below->mNumInputs > 0) {
            DSPI *next = nullptr;
            if (below->getInput(0, &next, nullptr, false) != AURA_OK || !next ||
                !next->hasFlags(DSPI_FLAG_INSERTED)) {
                break;
            }
            below = next;
        }
    }
    return below->addInputInternal(former, false, nullptr, nullptr, false);
}

AURA_RESULT DSPI::removeInternal(bool lock)
{
    if (!hasFlags(DSPI_FLAG_INSERTED)) {
        return disconnectFromInternal(nullptr, nullptr, lock);
    }
    if (mNumInputs == 0 && mNumOutputs == 0) {
        return AURA_OK;
    }
    if (mNumInputs == 1 && mNumOutputs == 1) {
        GraphLock graphLock(mSystem, lock);
        clearFlags(DSPI_FLAG_ACTIVE);
        DSPI *input = nullptr;
        DSPI *output = nullptr;
        (void)getInput(0, &input, nullptr, false);
        (void)getOutput(0, &output, nullptr, false);
        AURA_RESULT result = disconnectFromInternal(nullptr, nullptr, false);
        if (result == AURA_OK && input && output) {
            result = output->addInputInternal(input, false, nullptr, nullptr, false);
        }
        if (result == AURA_OK) {
            clearFlags(DSPI_FLAG_INSERTED);
        }
        return result;
    }
    clearFlags(DSPI_FLAG_INSERTED);
    return disconnectFromInternal(nullptr, nullptr, lock);
}

AURA_RESULT DSPI::remove()
{
    if (mSystem) {
        (void)mSystem->flushDSPConnectionRequests(true);
    }
    return removeInternal(true);
}

AURA_RESULT DSPI::updateTreeLevel(int level)
{
    if (mNumOutputs >= 2 && mTreeLevel > level) {
        return AURA_OK; // fed into several trees: keeps its deepest level
    }
    if (level >= DSP_MAXTREEDEPTH) {
        reportBadConnection(mSystem, AURA_SYSTEM_CALLBACKTYPE_BADDSPLEVEL, this, nullptr);
        return AURA_ERR_DSP_CONNECTION;
    }
    if (!mBufferMemory && !levelBuffer(level)) {
        return AURA_ERR_MEMORY;
    }
    const bool unchanged = mTreeLevel == level;
    mTreeLevel = static_cast<short>(level);
    if (!mBufferMemory) {
        mBuffer = levelBuffer(level);
    }
    if (unchanged && mNumInputs == 0) {
        return AURA_OK;
    }
    for (LinkedListNode *n = mInputHead.mNext; n != &mInputHead; n = n->mNext) {
        DSPI *input = inputConnection(n)->mInputUnit;
        if (input && input->mTreeLevel != level + 1) {
            const AURA_RESULT result = input->updateTreeLevel(level + 1);
            if (result != AURA_OK) {
                return result;
            }
        }
    }
    return AURA_OK;
}

AURA_RESULT DSPI::release(bool freethis)
{
    if (mSystem) {
        // Channels that play the unit stop first.
        const AURA_RESULT result = mSystem->stopDSP(this);
        if (result != AURA_OK) {
            return result;
        }
        (void)mSystem->flushDSPConnectionRequests(true);
    }
    if (removeInternal(true) != AURA_OK) {
        const AURA_RESULT result = disconnectFromInternal(nullptr, nullptr, true);
        if (result != AURA_OK) {
            return result;
        }
    }
    if (mBufferMemory) {
        AURA_Memory_Free(mBufferMemory);
        mBufferMemory = nullptr;
    }
    mBuffer = nullptr;
    if (mSystem && mNode.mData) {
        CriticalSectionGuard guard(mSystem->mDSPCrit);
        mNode.removeNode();
        mNode.mData = nullptr;
    }
    mListKey = -1;
    if (mDescription.release) {
        bindState();
        (void)mDescription.release(&mDSPState);
    }
    if (freethis) {
        AURA_Delete(this);
    }
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Description and parameters.

AURA_RESULT DSPI::reset()
{
    return callback(this, mDescription.reset);
}

AURA_RESULT DSPI::setParameter(int index, float value)
{
    if (!mDescription.setparameter) {
        return AURA_ERR_UNSUPPORTED;
    }
    if (index < 0 || index >= mDescription.numparameters || !mDescription.paramdesc) {
        return AURA_ERR_INVALID_PARAM;
    }
    // The clamp below would let a NaN through to the unit.
    if (std::isnan(value)) {
        return AURA_ERR_INVALID_PARAM;
    }
    const AURA_DSP_PARAMETERDESC &desc = mDescription.paramdesc[index];
    value = std::min(std::max(value, desc.min), desc.max);
    bindState();
    return mDescription.setparameter(&mDSPState, index, value);
}

AURA_RESULT DSPI::getParameter(int index, float *value, char *valuestr, int valuestrlen)
{
    if (!mDescription.getparameter) {
        return AURA_ERR_UNSUPPORTED;
    }
    if (index < 0 || index >= mDescription.numparameters) {
        return AURA_ERR_INVALID_PARAM;
    }
    float v = 0.0f;
    char text[32] = {};
    bindState();
    const AURA_RESULT result = mDescription.getparameter(&mDSPState, index, &v, text);
    if (result != AURA_OK) {
        return result;
    }
    text[sizeof(text) - 1] = '\0';
    if (value) {
        *value = v;
    }
    if (valuestr && valuestrlen > 0) {
        const int n = std::min(valuestrlen, 16);
        AURA_strncpy(valuestr, text, n);
        valuestr[n - 1] = '\0';
    }
    return AURA_OK;
}

AURA_RESULT DSPI::getNumParameters(int *numparams)
{
    if (!numparams) {
        return AURA_ERR_INVALID_PARAM;
    }
    *numparams = mDescription.numparameters;
    return AURA_OK;
}

AURA_RESULT DSPI::getParameterInfo(int index, char *name, char *label, char *description,
                                   int descriptionlen, float *min, float *max)
{
    if (index < 0 || index >= mDescription.numparameters || !mDescription.paramdesc) {
        return AURA_ERR_INVALID_PARAM;
    }
    const AURA_DSP_PARAMETERDESC &desc = mDescription.paramdesc[index];
    if (name) {
        std::memcpy(name, desc.name, sizeof(desc.name));
    }
    if (label) {
        std::memcpy(label, desc.label, sizeof(desc.label));
    }
    if (description && descriptionlen > 0) {
        AURA_strncpy(description, desc.description ? desc.description : "", descriptionlen);
        description[descriptionlen - 1] = '\0';
    }
    if (min) {
        *min = desc.min;
    }
    if (max) {
        *max = desc.max;
    }
    return AURA_OK;
}

AURA_RESULT DSPI::showConfigDialog(void *hwnd, bool show)
{
    if (!mDescription.config) {
        return AURA_ERR_UNSUPPORTED;
    }
    bindState();
    return mDescription.config(&mDSPState, hwnd, show ? 1 : 0);
}

AURA_RESULT DSPI::getInfo(char *name, unsigned int *version, int *channels, int *configwidth,
                          int *configheight)
{
    if (name) {
        std::memcpy(name, mDescription.name, sizeof(mDescription.name));
        name[sizeof(mDescription.name) - 1] = '\0';
    }
    if (version) {
        *version = mDescription.version;
    }
    if (channels) {
        *channels = mDescription.channels;
    }
    if (configwidth) {
        *configwidth = mDescription.configwidth;
    }
    if (configheight) {
        *configheight = mDescription.configheight;
    }
    return AURA_OK;
}

AURA_RESULT DSPI::getType(AURA_DSP_TYPE *type)
{
    if (type) {
        *type = mDescription.mType;
    }
    return AURA_OK;
}

AURA_RESULT DSPI::setDefaults(float frequency, float volume, float pan, int priority)
{
    mDefaultFrequency = frequency;
    mDefaultVolume = std::clamp(volume, 0.0f, 1.0f);
    mDefaultPan = std::clamp(pan, -1.0f, 1.0f);
    mDefaultPriority = priority < 0 ? 0 : (priority > 255 ? 256 : priority);
    return AURA_OK;
}

AURA_RESULT DSPI::getDefaults(float *frequency, float *volume, float *pan, int *priority)
{
    if (frequency) {
        *frequency = mDefaultFrequency;
    }
    if (volume) {
        *volume = mDefaultVolume;
    }
    if (pan) {
        *pan = mDefaultPan;
    }
    if (priority) {
        *priority = mDefaultPriority;
    }
    return AURA_OK;
}

AURA_RESULT DSPI::stopBuffering()
{
    return AURA_OK;
}

AURA_RESULT DSPI::setTargetFrequency(int frequency)
{
    mTargetFrequency = frequency;
    return AURA_OK;
}

AURA_RESULT DSPI::getTargetFrequency(int *frequency)
{
    if (!frequency) {
        return AURA_ERR_INVALID_PARAM;
    }
    *frequency = mTargetFrequency;
    return AURA_OK;
}

void DSPI::prefetch(int depth) const
{
    if (depth == 0) {
        // The links and counts, the description's callbacks, tick and flags.
        __builtin_prefetch(&mInputHead);
        __builtin_prefetch(&mDescription.read);
        __builtin_prefetch(&mFlags);
    }
}

int DSPI::fusedChannels(unsigned int, int)
{
    return 0;
}

AURA_RESULT DSPI::readFused(const FusedMix &, unsigned int *, unsigned int, float **)
{
    return AURA_ERR_INTERNAL;
}

// ---------------------------------------------------------------------------
// Execution services.

AURA_RESULT DSPI::updateDSPTick(unsigned int tick)
{
    std::vector<DSPI *> stack{this};
    std::unordered_set<DSPI *> seen{this};
    while (!stack.empty()) {
        DSPI *node = stack.back();
        stack.pop_back();
        node->setDSPTick(tick);
        for (LinkedListNode *n = node->mInputHead.mNext; n != &node->mInputHead; n = n->mNext) {
            DSPI *input = inputConnection(n)->mInputUnit;
            if (input && seen.insert(input).second) {
                stack.push_back(input);
            }
        }
    }
    return AURA_OK;
}

AURA_RESULT DSPI::createHistoryBuffer(float **buffer, int channels)
{
    if (!mSystem) {
        return AURA_ERR_UNINITIALIZED;
    }
    return mSystem->mHistoryBufferPool.alloc(buffer, channels);
}

AURA_RESULT DSPI::releaseHistoryBuffer(float *buffer)
{
    if (!mSystem) {
        return AURA_ERR_UNINITIALIZED;
    }
    return mSystem->mHistoryBufferPool.free(buffer);
}

AURA_RESULT DSPI::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (!tracker) {
        return AURA_OK;
    }
    tracker->add(false, MEMBITS_DSPUNIT, mDescription.mSize);
    if (mBufferMemory) {
        tracker->add(false, MEMBITS_DSPUNIT, static_cast<unsigned int>(blockBufferBytes()));
    }
    if (mDescription.getmemoryused) {
        bindState();
        return mDescription.getmemoryused(&mDSPState, tracker);
    }
    return AURA_OK;
}

} // namespace AURA
