#include "system/aura_pluginfactory.h"

#include "base/aura_memory.h"
#include "base/aura_string.h"
#include "system/aura_systemi.h"

#include <cstddef>
#include <new>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_pluginfactory";

// A copy of a record whose name text, when it has one, is copied into the
// same block just after the record, so the copy owns everything it points
// at by name and goes with one free.
template <class T>
T *copyRecordWithName(const T &source)
{
    const std::size_t nameBytes =
        source.name ? static_cast<std::size_t>(AURA_strlen(source.name)) + 1 : 0;
    const std::size_t total = sizeof(T) + nameBytes;
    if (total > static_cast<std::size_t>(MemPool::MAX_SIZE)) {
        return nullptr;
    }
    void *memory = AURA_Memory_Calloc(static_cast<int>(total));
    if (!memory) {
        return nullptr;
    }
    T *copy = ::new (memory) T(source);
    if (nameBytes) {
        char *name = static_cast<char *>(memory) + sizeof(T);
        AURA_strcpy(name, source.name);
        copy->name = name;
    }
    return copy;
}

template <class T>
void freeRecord(T *record)
{
    record->~T();
    AURA_Memory_Free(record);
}

// The record whose node is n-th after the head; null past the end.
template <class T>
T *recordAt(LinkedListNode &head, int index)
{
    if (index < 0) {
        return nullptr;
    }
    for (LinkedListNode *node = head.mNext; node != &head; node = node->mNext) {
        if (index-- == 0) {
            return static_cast<T *>(node->mData);
        }
    }
    return nullptr;
}

template <class T>
T *recordWithHandle(LinkedListNode &head, unsigned int handle)
{
    for (LinkedListNode *node = head.mNext; node != &head; node = node->mNext) {
        auto *record = static_cast<T *>(node->mData);
        if (record->mHandle == handle) {
            return record;
        }
    }
    return nullptr;
}

int countNodes(const LinkedListNode &head)
{
    int count = 0;
    for (const LinkedListNode *node = head.mNext; node != &head; node = node->mNext) {
        ++count;
    }
    return count;
}

template <class T, class Free>
void freeList(LinkedListNode &head, Free free)
{
    while (!head.isEmpty()) {
        LinkedListNode *node = head.mNext;
        node->removeNode();
        free(static_cast<T *>(node->mData));
    }
}
} // namespace

PluginFactory::PluginFactory()
{
    mCodecHead.initNode();
    mDSPHead.initNode();
    mOutputHead.initNode();
}

PluginFactory::~PluginFactory()
{
    (void)release();
}

AURA_RESULT PluginFactory::init(SystemI *system)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    mSystem = system;
    return AURA_OK;
}

AURA_RESULT PluginFactory::release()
{
    freeList<AURA_CODEC_DESCRIPTION_EX>(mCodecHead,
                                        [](AURA_CODEC_DESCRIPTION_EX *record) { freeRecord(record); });
    freeList<AURA_DSP_DESCRIPTION_EX>(mDSPHead, [](AURA_DSP_DESCRIPTION_EX *record) { AURA_Delete(record); });
    freeList<AURA_OUTPUT_DESCRIPTION_EX>(mOutputHead,
                                         [](AURA_OUTPUT_DESCRIPTION_EX *record) { freeRecord(record); });
    mSystem = nullptr;
    return AURA_OK;
}

unsigned int PluginFactory::nextHandle()
{
    if (++mCurrentPluginHandle == 0) {
        ++mCurrentPluginHandle;
    }
    return mCurrentPluginHandle;
}

AURA_RESULT PluginFactory::registerCodec(AURA_CODEC_DESCRIPTION_EX *description, unsigned int *handle,
                                         unsigned int priority)
{
    if (!description) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA_CODEC_DESCRIPTION_EX *copy = copyRecordWithName(*description);
    if (!copy) {
        return AURA_ERR_MEMORY;
    }
    copy->mHandle = nextHandle();
    copy->mNode.mPriority = priority;
    copy->mNode.mData = copy;

    // Before the first entry of greater priority, or at the tail.
    LinkedListNode *at = mCodecHead.mNext;
    while (at != &mCodecHead &&
           static_cast<AURA_CODEC_DESCRIPTION_EX *>(at->mData)->mNode.mPriority <= priority) {
        at = at->mNext;
    }
    copy->mNode.addBefore(*at);

    if (handle) {
        *handle = copy->mHandle;
    }
    return AURA_OK;
}

AURA_RESULT PluginFactory::getCodec(unsigned int handle, AURA_CODEC_DESCRIPTION_EX **description)
{
    if (!description) {
        return AURA_ERR_INVALID_PARAM;
    }
    *description = recordWithHandle<AURA_CODEC_DESCRIPTION_EX>(mCodecHead, handle);
    return *description ? AURA_OK : AURA_ERR_PLUGIN_MISSING;
}

AURA_RESULT PluginFactory::getNumCodecs(int *numcodecs)
{
    if (!numcodecs) {
        return AURA_ERR_INVALID_PARAM;
    }
    *numcodecs = countNodes(mCodecHead);
    return AURA_OK;
}

AURA_RESULT PluginFactory::getCodecByIndex(int index, AURA_CODEC_DESCRIPTION_EX **description)
{
    if (!description) {
        return AURA_ERR_INVALID_PARAM;
    }
    *description = recordAt<AURA_CODEC_DESCRIPTION_EX>(mCodecHead, index);
    return *description ? AURA_OK : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT PluginFactory::registerDSP(AURA_DSP_DESCRIPTION_EX *description, unsigned int *handle)
{
    if (!description) {
        return AURA_ERR_INVALID_PARAM;
    }
    auto *copy = AURA_New(AURA_DSP_DESCRIPTION_EX, *description);
    if (!copy) {
        return AURA_ERR_MEMORY;
    }
    copy->mHandle = nextHandle();
    copy->mNode.initNode();
    copy->mNode.mData = copy;
    copy->mNode.addBefore(mDSPHead);
    if (handle) {
        *handle = copy->mHandle;
    }
    return AURA_OK;
}

AURA_RESULT PluginFactory::getDSP(unsigned int handle, AURA_DSP_DESCRIPTION_EX **description)
{
    if (!description) {
        return AURA_ERR_INVALID_PARAM;
    }
    *description = recordWithHandle<AURA_DSP_DESCRIPTION_EX>(mDSPHead, handle);
    return *description ? AURA_OK : AURA_ERR_PLUGIN_MISSING;
}

AURA_RESULT PluginFactory::createDSP(AURA_DSP_DESCRIPTION_EX *description, DSPI **dsp)
{
    if (!description || !dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!mSystem) {
        return AURA_ERR_UNINITIALIZED;
    }
    return mSystem->createDSPInternal(description, dsp, true);
}

AURA_RESULT PluginFactory::createDSPByType(AURA_DSP_TYPE type, DSPI **dsp)
{
    if (!dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    for (LinkedListNode *node = mDSPHead.mNext; node != &mDSPHead; node = node->mNext) {
        auto *description = static_cast<AURA_DSP_DESCRIPTION_EX *>(node->mData);
        if (description->mType == type) {
            return createDSP(description, dsp);
        }
    }
    return AURA_ERR_PLUGIN_MISSING;
}

AURA_RESULT PluginFactory::registerOutput(AURA_OUTPUT_DESCRIPTION_EX *description, unsigned int *handle)
{
    if (!description) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA_OUTPUT_DESCRIPTION_EX *copy = copyRecordWithName(*description);
    if (!copy) {
        return AURA_ERR_MEMORY;
    }
    copy->mHandle = nextHandle();
    copy->mNode.initNode();
    copy->mNode.mData = copy;
    copy->mNode.addBefore(mOutputHead);
    if (handle) {
        *handle = copy->mHandle;
    }
    return AURA_OK;
}

AURA_RESULT PluginFactory::getNumOutputs(int *numoutputs)
{
    if (!numoutputs) {
        return AURA_ERR_INVALID_PARAM;
    }
    *numoutputs = countNodes(mOutputHead);
    return AURA_OK;
}

AURA_RESULT PluginFactory::getOutputByIndex(int index, AURA_OUTPUT_DESCRIPTION_EX **description)
{
    if (!description) {
        return AURA_ERR_INVALID_PARAM;
    }
    *description = recordAt<AURA_OUTPUT_DESCRIPTION_EX>(mOutputHead, index);
    return *description ? AURA_OK : AURA_ERR_INVALID_PARAM;
}

} // namespace AURA
