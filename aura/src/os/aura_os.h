// The engine's operating-system layer over POSIX: critical sections, thread
// ids, time, the C library's files and IPv4 TCP sockets. Every engine module
// reaches the platform through these functions only.
#ifndef AURA_OS_H
#define AURA_OS_H

#include "aura.h"

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Critical sections: recursive mutexes.

struct AURA_OS_CRITICALSECTION;

// Lock ranks. Ranked sections must be entered in increasing rank on any one
// thread (re-entering a section already held is always allowed). Builds with
// AURA_LOCK_RANK_CHECK report an out-of-order acquire through the handler
// below. Unranked sections (the default) take no part in the check.
enum class AURA_OS_LOCKRANK : int {
    NONE = 0,
    STREAM_UPDATE = 100,
    STREAM_VOICE = 110,
    STREAM_LIST = 120,
    DSP = 200,
    DSP_CONNECTION = 210,
    MEMPOOL = 1000,   // the pool's section comes last: nothing is locked under it
};

// Makes a recursive mutex. With memcrit false its storage comes from the
// memory pool; with true it is the one static section outside the pool that
// the pool itself uses. 37 for a null receiver, 44 when storage or
// initialisation fails.
[[nodiscard]] AURA_RESULT AURA_OS_CriticalSection_Create(AURA_OS_CRITICALSECTION **crit,
                                                         bool memcrit = false);
// Destroys a section the way it was made. Null is accepted and ignored.
AURA_RESULT AURA_OS_CriticalSection_Free(AURA_OS_CRITICALSECTION *crit, bool memcrit = false);
// Lock and unlock (recursive); 37 and nothing done for a null section, 44 when
// the mutex call fails.
AURA_RESULT AURA_OS_CriticalSection_Enter(AURA_OS_CRITICALSECTION *crit);
AURA_RESULT AURA_OS_CriticalSection_Leave(AURA_OS_CRITICALSECTION *crit);
// Gives a section its place in the lock order (37 for a null section).
AURA_RESULT AURA_OS_CriticalSection_SetRank(AURA_OS_CRITICALSECTION *crit, AURA_OS_LOCKRANK rank);

// Called with the rank held and the rank wanted when a thread breaks the lock
// order. The default handler prints both and aborts. Returns the old handler.
using AURA_OS_LOCKRANK_HANDLER = void (*)(AURA_OS_LOCKRANK held, AURA_OS_LOCKRANK wanted);
AURA_OS_LOCKRANK_HANDLER AURA_OS_CriticalSection_SetRankHandler(AURA_OS_LOCKRANK_HANDLER handler);
// True when this build checks lock ranks.
bool AURA_OS_CriticalSection_RankCheckEnabled();

namespace AURA {
// Holds a section for the life of the guard. A null section is not entered.
class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(AURA_OS_CRITICALSECTION *crit) : mCrit(crit)
    {
        if (mCrit) {
            (void)AURA_OS_CriticalSection_Enter(mCrit);
        }
    }
    ~CriticalSectionGuard()
    {
        if (mCrit) {
            (void)AURA_OS_CriticalSection_Leave(mCrit);
        }
    }
    CriticalSectionGuard(const CriticalSectionGuard &) = delete;
    CriticalSectionGuard &operator=(const CriticalSectionGuard &) = delete;

private:
    AURA_OS_CRITICALSECTION *mCrit;
};
} // namespace AURA

// ---------------------------------------------------------------------------
// Threads and time.

// The calling thread's OS id (its Linux tid). Returns 0.
AURA_RESULT AURA_OS_Thread_GetCurrentID(unsigned int *id);

// Milliseconds on a monotonic clock, wrapping at 2^32.
AURA_RESULT AURA_OS_Time_GetMs(unsigned int *ms);
// Microseconds on a monotonic clock, wrapping at 2^32 (CPU-time accounting).
AURA_RESULT AURA_OS_Time_GetNs(unsigned int *us);
// Sleeps that many milliseconds.
AURA_RESULT AURA_OS_Time_Sleep(unsigned int ms);

// ---------------------------------------------------------------------------
// Raw memory: the C library's allocator. The type argument is ignored.

void *AURA_OS_Memory_Alloc(unsigned int size, unsigned int type);
// Zeroed memory; the C library leaves pages it has just taken from the
// system untouched (they are zero already) instead of writing them.
void *AURA_OS_Memory_Calloc(unsigned int size, unsigned int type);
void *AURA_OS_Memory_Realloc(void *ptr, unsigned int size, unsigned int type);
void AURA_OS_Memory_Free(void *ptr, unsigned int type);
// Maps the whole pages of [ptr, ptr + bytes), memory about to be written
// in full, writable in one call instead of a fault or two for each page
// (a first read of a fresh page maps the shared zero page, and the write
// after it faults again). Contents are kept; nothing happens where the
// system cannot do it.
void AURA_OS_Memory_PrepareWrite(void *ptr, size_t bytes);
// The size to ask the allocator for so that a block of at least `bytes`
// fills whole large pages from the start of its mapping (`bytes` itself
// where the system has no large pages or the block is small).
size_t AURA_OS_Memory_LargeBlockSize(size_t bytes);
// Asks for large pages behind [ptr, ptr + bytes): memory that is filled
// once and never moved, where one fault maps 2 MiB instead of 4 KiB. Only
// advice: nothing happens where the system cannot do it.
void AURA_OS_Memory_PreferLargePages(void *ptr, size_t bytes);

// ---------------------------------------------------------------------------
// Files, over the C library's stdio.

// Opens a file. With unicode set the name is a NUL-terminated UTF-16 string
// (char16_t units), converted to UTF-8 of at most 512 bytes. With a size
// receiver the file is measured and the position returned to its start.
// 23 and a null handle on failure; 37 for a null name or handle receiver.
[[nodiscard]] AURA_RESULT AURA_OS_File_Open(const void *name, const char *mode, bool unicode,
                                            unsigned int *filesize, void **handle);
// Closes a non-null handle. Returns 0.
AURA_RESULT AURA_OS_File_Close(void *handle);
// Reads up to size bytes. 37 for a null handle, 22 at the end of the file
// with the bytes that were read, 19 on a stream error.
AURA_RESULT AURA_OS_File_Read(void *handle, void *buffer, unsigned int size, unsigned int *read);
// Reads up to size bytes at an absolute position without moving the file's
// position. Results as for AURA_OS_File_Read.
AURA_RESULT AURA_OS_File_ReadAt(void *handle, unsigned int offset, void *buffer, unsigned int size,
                                unsigned int *read);
// Seeks to an absolute position. 37 for a null handle, 19 when the seek fails.
AURA_RESULT AURA_OS_File_Seek(void *handle, unsigned int offset);
// Nothing to cancel with stdio. Returns 0.
AURA_RESULT AURA_OS_File_Cancel(void *handle, void *userdata);

// ---------------------------------------------------------------------------
// IPv4 TCP sockets. A socket is a file descriptor; -1 is no socket.

using AURA_OS_SOCKET = int;
inline constexpr AURA_OS_SOCKET AURA_OS_INVALID_SOCKET = -1;

extern "C" {
// Connect time-out in milliseconds (initially 5000). Written by the system's
// network settings, read by AURA_OS_Net_Connect; access it atomically.
extern int AURA_Net_Timeout;
}

// Use-counted start and stop of the network layer; the first start creates
// the global name-lookup lock.
AURA_RESULT AURA_OS_Net_Init();
AURA_RESULT AURA_OS_Net_Shutdown();
// Connects to host (dotted address or name) and port: 44 when no socket can
// be made, 54 when the name does not resolve, 52 when the connection fails or
// takes longer than AURA_Net_Timeout ms. The socket is left blocking.
[[nodiscard]] AURA_RESULT AURA_OS_Net_Connect(const char *host, unsigned short port,
                                              AURA_OS_SOCKET *sock);
// A non-blocking listening socket on all IPv4 addresses, or on 127.0.0.1
// alone (port 0: the kernel chooses; see AURA_OS_Net_GetPort).
[[nodiscard]] AURA_RESULT AURA_OS_Net_Listen(unsigned short port, AURA_OS_SOCKET *sock, bool loopbackOnly = false);
// The local port a socket is bound to.
AURA_RESULT AURA_OS_Net_GetPort(AURA_OS_SOCKET sock, unsigned short *port);
// Accepts one pending connection; non-zero (55) when none is pending. The
// accepted socket is blocking.
[[nodiscard]] AURA_RESULT AURA_OS_Net_Accept(AURA_OS_SOCKET listener, AURA_OS_SOCKET *sock);
// Reads until size bytes have arrived: 37 for bad arguments, 22 when the peer
// closes (the bytes so far are counted), 55 when the socket would block.
AURA_RESULT AURA_OS_Net_Read(AURA_OS_SOCKET sock, void *buffer, unsigned int size,
                             unsigned int *read);
// Reads one line, a byte at a time, to a line feed; carriage returns are
// dropped, at most capacity - 1 characters are kept, and the text is always
// NUL-terminated. 53 for socket -1, 55 when it would block; a read that
// delivers nothing ends the line with success.
AURA_RESULT AURA_OS_Net_ReadLine(AURA_OS_SOCKET sock, char *buffer, unsigned int capacity);
// Sends everything (never raising SIGPIPE); 55 when the socket would block,
// 53 on another socket error.
AURA_RESULT AURA_OS_Net_Write(AURA_OS_SOCKET sock, const void *data, unsigned int size,
                              unsigned int *sent);
// Closes unless the socket is -1. Returns 0.
AURA_RESULT AURA_OS_Net_Close(AURA_OS_SOCKET sock);

#endif // AURA_OS_H
