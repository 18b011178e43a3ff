#include "file/aura_file_null.h"

#include "base/aura_memorytracker.h"

namespace AURA {

AURA_RESULT NullFile::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (tracker) {
        tracker->add(false, MEMBITS_FILE, sizeof(*this));
    }
    return File::getMemoryUsedImpl(tracker);
}

AURA_RESULT NullFile::reallyOpen(const char * /*name*/, unsigned int *filesize)
{
    mPosition = 0;
    if (filesize) {
        *filesize = 0;
    }
    return AURA_OK;
}

AURA_RESULT NullFile::reallyClose()
{
    return AURA_OK;
}

AURA_RESULT NullFile::reallyRead(void * /*buffer*/, unsigned int size, unsigned int *read)
{
    AURA_RESULT result = AURA_OK;
    unsigned int count = size;
    const unsigned int position = mPosition < mLength ? mPosition : mLength;
    if (static_cast<uint64_t>(position) + count > mLength) {
        count = mLength - position;
        result = AURA_ERR_INVALID_PARAM;
    }
    if (read) {
        *read = count;
    }
    mPosition = position + count;
    return result;
}

AURA_RESULT NullFile::reallySeek(unsigned int position)
{
    mPosition = position > mLength ? mLength : position;
    return AURA_OK;
}

} // namespace AURA
