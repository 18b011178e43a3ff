// A file of a given length that delivers no data: reads only count.
#ifndef AURA_FILE_NULL_H
#define AURA_FILE_NULL_H

#include "file/aura_file.h"

namespace AURA {

class NullFile : public File {
public:
    AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker) override;
    AURA_RESULT reallyOpen(const char *name, unsigned int *filesize) override;
    AURA_RESULT reallyClose() override;
    AURA_RESULT reallyRead(void *buffer, unsigned int size, unsigned int *read) override;
    AURA_RESULT reallySeek(unsigned int position) override;

private:
    unsigned int mPosition = 0;
};

} // namespace AURA

#endif // AURA_FILE_NULL_H
