// A heap over one caller-supplied block of memory: the memory pool's heap
// mode. Nothing here calls the system allocator.
#ifndef AURA_MSPACE_H
#define AURA_MSPACE_H

#include <cstddef>

using mspace = void *;

// Lays a heap over [base, base + capacity). Null when the block is null,
// misaligned beyond repair or too small to hold the heap's own records.
// The heap does not lock: its caller serialises access.
mspace create_mspace_with_base(void *base, std::size_t capacity, int locked);
// Forgets the heap; the block is the caller's again. Returns the bytes that
// were still allocated (the usable sizes of the live blocks). Calls on a
// destroyed heap fail as on a null one.
std::size_t destroy_mspace(mspace msp);

// 16-byte aligned memory, or null when no free run is large enough.
void *mspace_malloc(mspace msp, std::size_t bytes);
// Resizes in place when it can, else moves; null on failure (the old block is
// then untouched). A null pointer allocates; size 0 gives a minimal block.
void *mspace_realloc(mspace msp, void *mem, std::size_t bytes);
// Frees a block of this heap; null is ignored, and so is a pointer that
// cannot be one of this heap's blocks (outside it or misaligned).
void mspace_free(mspace msp, void *mem);
// Bytes the live block at mem can hold (at least what was asked for); 0 for
// null or a pointer outside this heap.
std::size_t mspace_usable_size(mspace msp, const void *mem);

// Bytes of free memory and the largest allocation that would succeed now.
// A full heap reports 0 for both (and then even a zero-byte request fails).
std::size_t mspace_free_bytes(mspace msp);
std::size_t mspace_largest_free(mspace msp);
// Walks the heap's records; true when every boundary tag, free-list link and
// size agrees with the others (used by tests and the fuzzer).
bool mspace_check(mspace msp);

#endif // AURA_MSPACE_H
