// Files over the C library's stdio. A handle is the FILE pointer itself.

#include "os/aura_os.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include <cstdint>
#include <cstdio>

namespace {

// Longest UTF-8 file name accepted, not counting its terminating NUL.
constexpr std::size_t kMaxNameBytes = 512;

// Converts a NUL-terminated UTF-16 name to NUL-terminated UTF-8 in out (room
// for kMaxNameBytes + 1 bytes). False for an unpaired surrogate or a result
// longer than kMaxNameBytes.
bool Utf16ToUtf8(const char16_t *in, char *out)
{
    std::size_t used = 0;
    auto put = [&](std::uint32_t byte) {
        if (used >= kMaxNameBytes) {
            return false;
        }
        out[used++] = static_cast<char>(byte);
        return true;
    };

    for (std::size_t i = 0; in[i] != u'\0'; i++) {
        std::uint32_t cp = in[i];
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false; // a low surrogate with no high one before it
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            const std::uint32_t low = in[i + 1];
            if (low < 0xDC00 || low > 0xDFFF) {
                return false; // a high surrogate not followed by a low one (or by the NUL)
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i++;
        }

        bool ok;
        if (cp < 0x80) {
            ok = put(cp);
        } else if (cp < 0x800) {
            ok = put(0xC0 | (cp >> 6)) && put(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            ok = put(0xE0 | (cp >> 12)) && put(0x80 | ((cp >> 6) & 0x3F)) &&
                 put(0x80 | (cp & 0x3F));
        } else {
            ok = put(0xF0 | (cp >> 18)) && put(0x80 | ((cp >> 12) & 0x3F)) &&
                 put(0x80 | ((cp >> 6) & 0x3F)) && put(0x80 | (cp & 0x3F));
        }
        if (!ok) {
            return false;
        }
    }
    out[used] = '\0';
    return true;
}

// The file's length, with the position back at its start. False when the
// stream cannot be measured (a pipe, say) or is longer than the 32-bit sizes
// the engine works with can describe.
bool MeasureFile(std::FILE *fp, unsigned int *size)
{
    // A regular file says its length; seeking stdio to the end would read
    // the partial last block only to throw it away.
    struct stat info {};
    if (fstat(fileno(fp), &info) == 0 && S_ISREG(info.st_mode)) {
        if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > UINT32_MAX) {
            return false;
        }
        *size = static_cast<unsigned int>(info.st_size);
        return true;
    }
    if (fseeko(fp, 0, SEEK_END) != 0) {
        return false;
    }
    const off_t end = ftello(fp);
    if (end < 0 || static_cast<std::uint64_t>(end) > UINT32_MAX) {
        return false;
    }
    if (fseeko(fp, 0, SEEK_SET) != 0) {
        return false;
    }
    *size = static_cast<unsigned int>(end);
    return true;
}

} // namespace

AURA_RESULT AURA_OS_File_Open(const void *name, const char *mode, bool unicode,
                              unsigned int *filesize, void **handle)
{
    if (!handle) {
        return AURA_ERR_INVALID_PARAM;
    }
    *handle = nullptr;
    if (!name) {
        return AURA_ERR_INVALID_PARAM;
    }

    const char *path = static_cast<const char *>(name);
    char converted[kMaxNameBytes + 1];
    if (unicode) {
        if (!Utf16ToUtf8(static_cast<const char16_t *>(name), converted)) {
            return AURA_ERR_FILE_NOTFOUND;
        }
        path = converted;
    }

    std::FILE *fp = std::fopen(path, mode ? mode : "rb");
    if (!fp) {
        return AURA_ERR_FILE_NOTFOUND;
    }

    if (filesize) {
        if (!MeasureFile(fp, filesize)) {
            std::fclose(fp);
            return AURA_ERR_FILE_NOTFOUND;
        }
    }

    *handle = fp;
    return AURA_OK;
}

AURA_RESULT AURA_OS_File_Close(void *handle)
{
    if (handle) {
        std::fclose(static_cast<std::FILE *>(handle));
    }
    return AURA_OK;
}

AURA_RESULT AURA_OS_File_Read(void *handle, void *buffer, unsigned int size, unsigned int *read)
{
    if (read) {
        *read = 0;
    }
    if (!handle || (!buffer && size > 0)) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (size == 0) {
        return AURA_OK;
    }

    std::FILE *fp = static_cast<std::FILE *>(handle);
    const std::size_t got = std::fread(buffer, 1, size, fp);
    if (read) {
        *read = static_cast<unsigned int>(got);
    }
    if (got < size) {
        if (std::ferror(fp)) {
            std::clearerr(fp);
            return AURA_ERR_FILE_BAD;
        }
        return AURA_ERR_FILE_EOF;
    }
    return AURA_OK;
}

AURA_RESULT AURA_OS_File_ReadAt(void *handle, unsigned int offset, void *buffer, unsigned int size,
                                unsigned int *read)
{
    if (read) {
        *read = 0;
    }
    if (!handle || (!buffer && size > 0)) {
        return AURA_ERR_INVALID_PARAM;
    }
    // pread leaves the descriptor's offset, and so stdio's view of it, alone.
    const int fd = fileno(static_cast<std::FILE *>(handle));
    auto *out = static_cast<unsigned char *>(buffer);
    unsigned int done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, out + done, size - done, static_cast<off_t>(offset) + done);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return AURA_ERR_FILE_BAD;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<unsigned int>(got);
    }
    if (read) {
        *read = done;
    }
    return done < size ? AURA_ERR_FILE_EOF : AURA_OK;
}

AURA_RESULT AURA_OS_File_Seek(void *handle, unsigned int offset)
{
    if (!handle) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (fseeko(static_cast<std::FILE *>(handle), static_cast<off_t>(offset), SEEK_SET) != 0) {
        return AURA_ERR_FILE_BAD;
    }
    return AURA_OK;
}

AURA_RESULT AURA_OS_File_Cancel(void * /*handle*/, void * /*userdata*/)
{
    return AURA_OK;
}
