#include "file/aura_file_memory.h"

#include "base/aura_memorytracker.h"

#include <algorithm>
#include <cstring>

namespace AURA {

MemoryFile::MemoryFile()
{
    removeFlags(FLAG_RECORDNAME);
}

AURA_RESULT MemoryFile::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (tracker) {
        tracker->add(false, MEMBITS_FILE, sizeof(*this));
    }
    return File::getMemoryUsedImpl(tracker);
}

AURA_RESULT MemoryFile::reallyOpen(const char *name, unsigned int * /*filesize*/)
{
    mBlock = reinterpret_cast<const unsigned char *>(name);
    mPosition = 0;
    removeFlags(FLAG_RECORDNAME);
    return AURA_OK;
}

AURA_RESULT MemoryFile::reallyClose()
{
    return AURA_OK;
}

AURA_RESULT MemoryFile::reallyRead(void *buffer, unsigned int size, unsigned int *read)
{
    AURA_RESULT result = AURA_OK;
    unsigned int wanted = size;
    const unsigned int position = mPosition < mFileSize ? mPosition : mFileSize;
    if (static_cast<uint64_t>(position) + wanted > mFileSize) {
        wanted = mFileSize - position;
        result = AURA_ERR_FILE_EOF;
    }
    if (wanted && mBlock && buffer) {
        std::memcpy(buffer, mBlock + position, wanted);
    }
    if (read) {
        *read = wanted;
    }
    mPosition = position + wanted;
    return result;
}

AURA_RESULT MemoryFile::reallyReadAt(unsigned int position, void *buffer, unsigned int size, unsigned int *read)
{
    const unsigned int at = std::min(position, mFileSize);
    const unsigned int wanted = std::min(size, mFileSize - at);
    if (wanted && mBlock && buffer) {
        std::memcpy(buffer, mBlock + at, wanted);
    }
    if (read) {
        *read = wanted;
    }
    return wanted < size ? AURA_ERR_FILE_EOF : AURA_OK;
}

AURA_RESULT MemoryFile::reallySeek(unsigned int position)
{
    mPosition = position > mFileSize ? mFileSize : position;
    return AURA_OK;
}

} // namespace AURA
