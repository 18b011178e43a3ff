// A file over a block of memory that the caller owns.
#ifndef AURA_FILE_MEMORY_H
#define AURA_FILE_MEMORY_H

#include "file/aura_file.h"

namespace AURA {

class MemoryFile : public File {
public:
    MemoryFile();
    AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker) override;
    // The name argument is the block's address; File::open's length is its size.
    AURA_RESULT reallyOpen(const char *name, unsigned int *filesize) override;
    AURA_RESULT reallyClose() override;
    AURA_RESULT reallyRead(void *buffer, unsigned int size, unsigned int *read) override;
    AURA_RESULT reallySeek(unsigned int position) override;
    AURA_RESULT reallyReadAt(unsigned int position, void *buffer, unsigned int size, unsigned int *read) override;

private:
    unsigned int mPosition = 0;
    const unsigned char *mBlock = nullptr;
};

} // namespace AURA

#endif // AURA_FILE_MEMORY_H
