#include "file/aura_file_disk.h"

#include "base/aura_memorytracker.h"
#include "os/aura_os.h"

#include <cstring>

namespace AURA {

AURA_RESULT DiskFile::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (tracker) {
        tracker->add(false, MEMBITS_FILE, sizeof(*this));
    }
    return File::getMemoryUsedImpl(tracker);
}

AURA_RESULT DiskFile::reallyOpen(const char *name, unsigned int *filesize)
{
    if (!name) {
        return AURA_ERR_FILE_NOTFOUND;
    }
    const bool unicode = hasFlag(FLAG_UNICODE);
    if (unicode) {
        if (reinterpret_cast<const char16_t *>(name)[0] == 0) {
            return AURA_ERR_FILE_NOTFOUND;
        }
    } else {
        if (name[0] == '\0') {
            return AURA_ERR_FILE_NOTFOUND;
        }
        char shortName[NAME_LENGTH] = {};
        std::strncpy(shortName, name, NAME_LENGTH - 1);
        (void)setName(shortName);
    }
    return AURA_OS_File_Open(name, "rb", unicode, filesize, &mOSHandle);
}

AURA_RESULT DiskFile::reallyClose()
{
    const AURA_RESULT result = AURA_OS_File_Close(mOSHandle);
    mOSHandle = nullptr;
    return result;
}

AURA_RESULT DiskFile::reallyRead(void *buffer, unsigned int size, unsigned int *read)
{
    bool offMain = false;
    if (mSystem && mSettings) {
        unsigned int id = 0;
        (void)AURA_OS_Thread_GetCurrentID(&id);
        offMain = id != mSettings->mainThreadId;
    }
    if (offMain) {
        (void)AURA_File_SetDiskBusy(1);
    }
    unsigned int got = 0;
    AURA_RESULT result = AURA_OS_File_Read(mOSHandle, buffer, size, &got);
    if (offMain) {
        (void)AURA_File_SetDiskBusy(0);
    }
    if (read) {
        *read = got;
    }
    if (result == AURA_OK && got < size) {
        result = AURA_ERR_FILE_EOF;
    }
    return result;
}

AURA_RESULT DiskFile::reallySeek(unsigned int position)
{
    return AURA_OS_File_Seek(mOSHandle, position);
}

AURA_RESULT DiskFile::reallyCancel()
{
    return AURA_OS_File_Cancel(mOSHandle, nullptr);
}

} // namespace AURA
