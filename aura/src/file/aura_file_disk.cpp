#include "file/aura_file_disk.h"

#include "base/aura_memorytracker.h"
#include "os/aura_os.h"

#include <cstring>

namespace AURA {

namespace {

// Disk reads off the system's own thread are serialised through the
// disk-busy section for as long as this lives.
class DiskBusy {
public:
    explicit DiskBusy(bool taken) : mTaken(taken)
    {
        if (mTaken) {
            (void)AURA_File_SetDiskBusy(1);
        }
    }
    ~DiskBusy()
    {
        if (mTaken) {
            (void)AURA_File_SetDiskBusy(0);
        }
    }
    DiskBusy(const DiskBusy &) = delete;
    DiskBusy &operator=(const DiskBusy &) = delete;

private:
    bool mTaken;
};

} // namespace

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

bool DiskFile::offMainThread() const
{
    if (!mSystem || !mSettings) {
        return false;
    }
    unsigned int id = 0;
    (void)AURA_OS_Thread_GetCurrentID(&id);
    return id != mSettings->mainThreadId;
}

AURA_RESULT DiskFile::reallyRead(void *buffer, unsigned int size, unsigned int *read)
{
    unsigned int got = 0;
    AURA_RESULT result = AURA_OK;
    {
        const DiskBusy busy(offMainThread());
        result = AURA_OS_File_Read(mOSHandle, buffer, size, &got);
    }
    if (read) {
        *read = got;
    }
    if (result == AURA_OK && got < size) {
        result = AURA_ERR_FILE_EOF;
    }
    return result;
}

AURA_RESULT DiskFile::reallyReadAt(unsigned int position, void *buffer, unsigned int size, unsigned int *read)
{
    const DiskBusy busy(offMainThread());
    return AURA_OS_File_ReadAt(mOSHandle, position, buffer, size, read);
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
