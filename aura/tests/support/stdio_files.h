// Application file callbacks over stdio, for sounds opened through the
// creation info's user callbacks; each test opens the file its own way.
// Header-only, like the other helpers that speak the engine's types.
#ifndef AURA_TESTS_SUPPORT_STDIO_FILES_H
#define AURA_TESTS_SUPPORT_STDIO_FILES_H

#include "aura.h"

#include <cstdio>

namespace auratest {

inline AURA_RESULT stdioClose(void *handle, void *)
{
    std::fclose(static_cast<FILE *>(handle));
    return AURA_OK;
}

inline AURA_RESULT stdioRead(void *handle, void *buffer, unsigned int size, unsigned int *read, void *)
{
    *read = static_cast<unsigned int>(std::fread(buffer, 1, size, static_cast<FILE *>(handle)));
    return *read < size ? AURA_ERR_FILE_EOF : AURA_OK;
}

inline AURA_RESULT stdioSeek(void *handle, unsigned int position, void *)
{
    return std::fseek(static_cast<FILE *>(handle), static_cast<long>(position), SEEK_SET) == 0
               ? AURA_OK
               : AURA_ERR_FILE_COULDNOTSEEK;
}

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_STDIO_FILES_H
