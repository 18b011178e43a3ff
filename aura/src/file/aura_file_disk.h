// A file of the platform's file system.
#ifndef AURA_FILE_DISK_H
#define AURA_FILE_DISK_H

#include "file/aura_file.h"

namespace AURA {

class DiskFile : public File {
public:
    AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker) override;
    AURA_RESULT reallyOpen(const char *name, unsigned int *filesize) override;
    AURA_RESULT reallyClose() override;
    AURA_RESULT reallyRead(void *buffer, unsigned int size, unsigned int *read) override;
    AURA_RESULT reallySeek(unsigned int position) override;
    AURA_RESULT reallyReadAt(unsigned int position, void *buffer, unsigned int size, unsigned int *read) override;
    AURA_RESULT reallyCancel() override;

private:
    [[nodiscard]] bool offMainThread() const;

    void *mOSHandle = nullptr;
};

} // namespace AURA

#endif // AURA_FILE_DISK_H
