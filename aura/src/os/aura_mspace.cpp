// A boundary-tag heap laid over one caller-supplied block.
//
// Layout of the block, after its base is aligned up to 16 bytes:
//
//   [ Heap control record ][ chunk ][ chunk ] ... [ chunk ][ end tag ]
//
// Every chunk starts on a 16-byte boundary with a 16-byte header:
//   prev_size  the size of the chunk just below (0 for the lowest chunk), kept
//              exact at all times so a chunk can always find its neighbour
//              below and the walk in mspace_check can cross-check it;
//   head       the chunk's own size (a multiple of 16, header included) with
//              bit 0 set while the chunk is handed out.
// The payload follows the header, so it is 16-byte aligned as well. A free
// chunk keeps its two free-list links in the first 16 payload bytes, which
// makes 32 bytes the smallest chunk. The end tag is a header of size 0 marked
// in use: the highest chunk always has an upper neighbour and never merges
// past the end.
//
// Free chunks sit on doubly linked lists, one per size class, with a bitmap of
// the non-empty classes. Classes below 1 KiB hold one exact size each (steps
// of 16); above that each power of two is cut into four classes. Allocation
// takes the first fitting chunk of the request's own class, else the head of
// the next non-empty class (found through the bitmap), and splits off the
// tail when it is large enough to be a chunk. Free merges a chunk with free
// neighbours on both sides in constant time, so two free chunks are never
// adjacent.
//
// The heap takes no lock: the caller serialises every call on one heap, which
// is why create_mspace_with_base ignores its `locked` argument.

#include "aura_mspace.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

constexpr std::size_t kAlign = 16;
constexpr std::size_t kHeader = 16;
constexpr std::size_t kMinChunk = 32;
constexpr std::size_t kInUse = 1;
constexpr std::size_t kFlagMask = kAlign - 1;
// Largest request whose rounded chunk size still fits in a size_t.
constexpr std::size_t kMaxRequest = SIZE_MAX - kHeader - (kAlign - 1);
constexpr std::uint64_t kMagic = 0x50414548'41525541ull;  // "AURAHEAP"

struct Chunk {
    std::size_t prev_size;
    std::size_t head;
    // Present only while the chunk is free.
    Chunk *next_free;
    Chunk *prev_free;
};
static_assert(sizeof(Chunk) == kMinChunk);
static_assert(offsetof(Chunk, next_free) == kHeader);

// Size classes.
constexpr std::size_t kSmallLimit = 1024;                       // first size of a log class
constexpr std::size_t kSmallBins = kSmallLimit / kAlign - 2;    // 32 .. 1008 bytes
constexpr unsigned kSmallLog = std::bit_width(kSmallLimit) - 1;  // 10
constexpr unsigned kSubBits = 2;                                // four classes per power of two
constexpr unsigned kTopLog = 47;  // chunks of 2^48 bytes and more share the last class
constexpr std::size_t kBinCount = kSmallBins + ((kTopLog - kSmallLog + 1) << kSubBits);
constexpr std::size_t kBitmapWords = (kBinCount + 63) / 64;

constexpr std::size_t bin_of(std::size_t size)
{
    if (size < kSmallLimit) {
        return size / kAlign - 2;
    }
    const unsigned lg = static_cast<unsigned>(std::bit_width(size)) - 1;
    if (lg > kTopLog) {
        return kBinCount - 1;
    }
    const std::size_t sub = (size >> (lg - kSubBits)) & ((std::size_t{1} << kSubBits) - 1);
    return kSmallBins + (static_cast<std::size_t>(lg - kSmallLog) << kSubBits) + sub;
}
static_assert(bin_of(kMinChunk) == 0);
static_assert(bin_of(kSmallLimit - kAlign) == kSmallBins - 1);
static_assert(bin_of(kSmallLimit) == kSmallBins);
static_assert(bin_of(kSmallLimit + 256) == kSmallBins + 1);
static_assert(bin_of(2 * kSmallLimit - kAlign) == kSmallBins + 3);
static_assert(bin_of(std::size_t{1} << 48) == kBinCount - 1);
static_assert(bin_of((std::size_t{1} << 48) - kAlign) == kBinCount - 1);
static_assert(bin_of(SIZE_MAX & ~kFlagMask) == kBinCount - 1);

struct Heap {
    std::uint64_t magic;
    Chunk *first;            // lowest chunk
    Chunk *end;              // the end tag
    std::size_t used;        // bytes of chunks handed out, headers included
    std::size_t used_count;  // number of chunks handed out
    std::uint64_t nonempty[kBitmapWords];
    Chunk *bins[kBinCount];
};

constexpr std::size_t round_up(std::size_t n, std::size_t a) { return (n + a - 1) & ~(a - 1); }
constexpr std::size_t kControlSize = round_up(sizeof(Heap), kAlign);
constexpr std::size_t kMinCapacity = kControlSize + kMinChunk + kHeader;

// Chunk size for a request, or 0 when the request cannot be represented.
constexpr std::size_t chunk_size_for(std::size_t bytes)
{
    if (bytes > kMaxRequest) {
        return 0;
    }
    const std::size_t n = round_up(bytes + kHeader, kAlign);
    return n < kMinChunk ? kMinChunk : n;
}
static_assert(chunk_size_for(0) == kMinChunk);
static_assert(chunk_size_for(16) == kMinChunk);
static_assert(chunk_size_for(17) == 48);
static_assert(chunk_size_for(kMaxRequest) == (SIZE_MAX & ~kFlagMask));
static_assert(chunk_size_for(kMaxRequest + 1) == 0);
static_assert(chunk_size_for(SIZE_MAX) == 0);

std::uintptr_t addr(const void *p) { return reinterpret_cast<std::uintptr_t>(p); }
std::size_t size_of(const Chunk *c) { return c->head & ~kFlagMask; }
bool in_use(const Chunk *c) { return (c->head & kInUse) != 0; }
Chunk *at(Chunk *c, std::size_t offset)
{
    return reinterpret_cast<Chunk *>(reinterpret_cast<std::byte *>(c) + offset);
}
Chunk *below(Chunk *c)
{
    return reinterpret_cast<Chunk *>(reinterpret_cast<std::byte *>(c) - c->prev_size);
}
void *payload(Chunk *c) { return reinterpret_cast<std::byte *>(c) + kHeader; }

Heap *heap_of(mspace msp)
{
    auto *h = static_cast<Heap *>(msp);
    return (h != nullptr && h->magic == kMagic) ? h : nullptr;
}

// The handed-out chunk behind `mem`, or null when `mem` cannot be one of this
// heap's payloads.
Chunk *owned_chunk(const Heap *h, const void *mem)
{
    const std::uintptr_t a = addr(mem);
    if ((a & kFlagMask) != 0 || a < addr(h->first) + kHeader || a >= addr(h->end)) {
        return nullptr;
    }
    auto *c = reinterpret_cast<Chunk *>(const_cast<std::byte *>(static_cast<const std::byte *>(mem)) - kHeader);
    return in_use(c) ? c : nullptr;
}

void set_bit(Heap *h, std::size_t bin) { h->nonempty[bin / 64] |= std::uint64_t{1} << (bin % 64); }
void clear_bit(Heap *h, std::size_t bin) { h->nonempty[bin / 64] &= ~(std::uint64_t{1} << (bin % 64)); }

// First non-empty class at or above `from`, or kBinCount.
std::size_t first_nonempty(const Heap *h, std::size_t from)
{
    if (from >= kBinCount) {
        return kBinCount;
    }
    std::size_t w = from / 64;
    std::uint64_t bits = h->nonempty[w] & (~std::uint64_t{0} << (from % 64));
    for (;;) {
        if (bits != 0) {
            return w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
        }
        if (++w == kBitmapWords) {
            return kBinCount;
        }
        bits = h->nonempty[w];
    }
}

void link(Heap *h, Chunk *c)
{
    const std::size_t bin = bin_of(size_of(c));
    Chunk *head = h->bins[bin];
    c->next_free = head;
    c->prev_free = nullptr;
    if (head != nullptr) {
        head->prev_free = c;
    }
    h->bins[bin] = c;
    set_bit(h, bin);
}

void unlink(Heap *h, Chunk *c)
{
    if (c->prev_free != nullptr) {
        c->prev_free->next_free = c->next_free;
    } else {
        const std::size_t bin = bin_of(size_of(c));
        h->bins[bin] = c->next_free;
        if (c->next_free == nullptr) {
            clear_bit(h, bin);
        }
    }
    if (c->next_free != nullptr) {
        c->next_free->prev_free = c->prev_free;
    }
}

// Makes [c, c + size) a free chunk, merged with any free neighbour, and files
// it. c->prev_size must already be right.
void release(Heap *h, Chunk *c, std::size_t size)
{
    Chunk *up = at(c, size);
    if (!in_use(up)) {
        unlink(h, up);
        size += size_of(up);
    }
    if (c->prev_size != 0) {
        Chunk *down = below(c);
        if (!in_use(down)) {
            unlink(h, down);
            size += size_of(down);
            c = down;
        }
    }
    c->head = size;
    at(c, size)->prev_size = size;
    link(h, c);
}

// Cuts a handed-out chunk down to `size` bytes when the rest can stand as a
// chunk of its own, and frees the rest.
void trim(Heap *h, Chunk *c, std::size_t size)
{
    const std::size_t have = size_of(c);
    if (have - size < kMinChunk) {
        return;
    }
    c->head = size | kInUse;
    Chunk *rest = at(c, size);
    rest->prev_size = size;
    h->used -= have - size;
    release(h, rest, have - size);
}

// A free chunk of at least `need` bytes, or null.
Chunk *find_fit(const Heap *h, std::size_t need)
{
    std::size_t bin = bin_of(need);
    // A small class holds one size, so its head fits; a log class may hold
    // smaller chunks than `need` and is searched first-fit.
    for (Chunk *c = h->bins[bin]; c != nullptr; c = c->next_free) {
        if (size_of(c) >= need) {
            return c;
        }
    }
    // Every chunk in a higher class is larger than `need`.
    bin = first_nonempty(h, bin + 1);
    return bin == kBinCount ? nullptr : h->bins[bin];
}

void *allocate(Heap *h, std::size_t need)
{
    Chunk *c = find_fit(h, need);
    if (c == nullptr) {
        return nullptr;
    }
    unlink(h, c);
    c->head |= kInUse;
    h->used += size_of(c);
    ++h->used_count;
    trim(h, c, need);
    return payload(c);
}

void deallocate(Heap *h, Chunk *c)
{
    const std::size_t size = size_of(c);
    h->used -= size;
    --h->used_count;
    release(h, c, size);
}

}  // namespace

mspace create_mspace_with_base(void *base, std::size_t capacity, int locked)
{
    (void)locked;  // the caller serialises access; see the top of this file
    if (base == nullptr) {
        return nullptr;
    }
    const std::uintptr_t start = addr(base);
    if (capacity > UINTPTR_MAX - start) {
        return nullptr;  // the block would wrap the address space
    }
    const std::size_t pad = round_up(start, kAlign) - start;
    if (capacity < pad || ((capacity - pad) & ~kFlagMask) < kMinCapacity) {
        return nullptr;
    }
    const std::size_t span = (capacity - pad) & ~kFlagMask;

    auto *mem = static_cast<std::byte *>(base) + pad;
    auto *h = new (mem) Heap{};
    h->first = reinterpret_cast<Chunk *>(mem + kControlSize);
    h->end = reinterpret_cast<Chunk *>(mem + span - kHeader);

    const std::size_t size = span - kControlSize - kHeader;
    h->first->prev_size = 0;
    h->first->head = size;
    h->end->prev_size = size;
    h->end->head = kInUse;
    link(h, h->first);
    h->magic = kMagic;
    return h;
}

std::size_t destroy_mspace(mspace msp)
{
    Heap *h = heap_of(msp);
    if (h == nullptr) {
        return 0;
    }
    const std::size_t live = h->used - h->used_count * kHeader;
    h->magic = 0;
    return live;
}

void *mspace_malloc(mspace msp, std::size_t bytes)
{
    Heap *h = heap_of(msp);
    const std::size_t need = chunk_size_for(bytes);
    if (h == nullptr || need == 0) {
        return nullptr;
    }
    return allocate(h, need);
}

void mspace_free(mspace msp, void *mem)
{
    Heap *h = heap_of(msp);
    if (h == nullptr || mem == nullptr) {
        return;
    }
    if (Chunk *c = owned_chunk(h, mem)) {
        deallocate(h, c);
    }
}

void *mspace_realloc(mspace msp, void *mem, std::size_t bytes)
{
    Heap *h = heap_of(msp);
    if (h == nullptr) {
        return nullptr;
    }
    if (mem == nullptr) {
        return mspace_malloc(msp, bytes);
    }
    Chunk *c = owned_chunk(h, mem);
    const std::size_t need = chunk_size_for(bytes);
    if (c == nullptr || need == 0) {
        return nullptr;
    }

    const std::size_t have = size_of(c);
    if (need <= have) {
        trim(h, c, need);
        return mem;
    }

    // Grow into a free chunk above.
    Chunk *up = at(c, have);
    const std::size_t up_free = in_use(up) ? 0 : size_of(up);
    if (up_free != 0 && have + up_free >= need) {
        unlink(h, up);
        const std::size_t size = have + up_free;
        c->head = size | kInUse;
        at(c, size)->prev_size = size;
        h->used += up_free;
        trim(h, c, need);
        return mem;
    }

    // Grow into a free chunk below (and the one above, if free): the data
    // slides down into the merged run.
    Chunk *down = c->prev_size != 0 ? below(c) : nullptr;
    if (down != nullptr && !in_use(down) && size_of(down) + have + up_free >= need) {
        const std::size_t down_free = size_of(down);
        unlink(h, down);
        if (up_free != 0) {
            unlink(h, up);
        }
        const std::size_t size = down_free + have + up_free;
        std::memmove(payload(down), mem, have - kHeader);
        down->head = size | kInUse;
        at(down, size)->prev_size = size;
        h->used += down_free + up_free;
        trim(h, down, need);
        return payload(down);
    }

    void *moved = allocate(h, need);
    if (moved == nullptr) {
        return nullptr;
    }
    std::memcpy(moved, mem, have - kHeader);
    deallocate(h, c);
    return moved;
}

std::size_t mspace_usable_size(mspace msp, const void *mem)
{
    const Heap *h = heap_of(msp);
    if (h == nullptr || mem == nullptr) {
        return 0;
    }
    const Chunk *c = owned_chunk(h, mem);
    return c == nullptr ? 0 : size_of(c) - kHeader;
}

std::size_t mspace_free_bytes(mspace msp)
{
    const Heap *h = heap_of(msp);
    if (h == nullptr) {
        return 0;
    }
    return static_cast<std::size_t>(addr(h->end) - addr(h->first)) - h->used;
}

std::size_t mspace_largest_free(mspace msp)
{
    const Heap *h = heap_of(msp);
    if (h == nullptr) {
        return 0;
    }
    for (std::size_t w = kBitmapWords; w-- > 0;) {
        if (h->nonempty[w] == 0) {
            continue;
        }
        const std::size_t bin = w * 64 + 63 - static_cast<std::size_t>(std::countl_zero(h->nonempty[w]));
        std::size_t largest = 0;
        for (const Chunk *c = h->bins[bin]; c != nullptr; c = c->next_free) {
            if (size_of(c) > largest) {
                largest = size_of(c);
            }
        }
        return largest - kHeader;
    }
    return 0;
}

bool mspace_check(mspace msp)
{
    Heap *h = heap_of(msp);
    if (h == nullptr) {
        return false;
    }
    const std::uintptr_t lo = addr(h->first);
    const std::uintptr_t hi = addr(h->end);
    if (lo != addr(h) + kControlSize || hi < lo || ((hi - lo) & kFlagMask) != 0) {
        return false;
    }

    // Walk the chunks in address order.
    std::size_t free_count = 0;
    std::size_t free_total = 0;
    std::size_t used_total = 0;
    std::size_t used_count = 0;
    std::size_t last_size = 0;
    bool last_free = false;
    Chunk *c = h->first;
    while (c != h->end) {
        const std::size_t size = size_of(c);
        if ((c->head & kFlagMask & ~kInUse) != 0 || size < kMinChunk || size > hi - addr(c) ||
            c->prev_size != last_size) {
            return false;
        }
        if (in_use(c)) {
            used_total += size;
            ++used_count;
            last_free = false;
        } else {
            if (last_free) {
                return false;  // two free neighbours left unmerged
            }
            free_total += size;
            ++free_count;
            last_free = true;
        }
        last_size = size;
        c = at(c, size);
    }
    if (h->end->head != kInUse || h->end->prev_size != last_size || used_total != h->used ||
        used_count != h->used_count) {
        return false;
    }

    // Walk the free lists: every entry must be a free chunk of its class whose
    // neighbours agree with its size, and together they must be exactly the
    // free chunks met above.
    std::size_t listed = 0;
    std::size_t listed_total = 0;
    for (std::size_t bin = 0; bin < kBinCount; ++bin) {
        const bool marked = ((h->nonempty[bin / 64] >> (bin % 64)) & 1) != 0;
        if (marked != (h->bins[bin] != nullptr)) {
            return false;
        }
        const Chunk *prev = nullptr;
        for (Chunk *e = h->bins[bin]; e != nullptr; e = e->next_free) {
            if (++listed > free_count) {
                return false;  // more entries than free chunks, or a cycle
            }
            const std::uintptr_t a = addr(e);
            if (a < lo || a > hi - kMinChunk || (a & kFlagMask) != 0 || e->head != size_of(e) ||
                e->prev_free != prev) {
                return false;
            }
            const std::size_t size = size_of(e);
            if (size < kMinChunk || size > hi - a || bin_of(size) != bin ||
                at(e, size)->prev_size != size || !in_use(at(e, size))) {
                return false;
            }
            if (e->prev_size != 0) {
                if (e->prev_size > a - lo) {
                    return false;
                }
                const Chunk *down = below(e);
                if (size_of(down) != e->prev_size || !in_use(down)) {
                    return false;
                }
            } else if (e != h->first) {
                return false;
            }
            listed_total += size;
            prev = e;
        }
    }
    for (std::size_t bin = kBinCount; bin < kBitmapWords * 64; ++bin) {
        if (((h->nonempty[bin / 64] >> (bin % 64)) & 1) != 0) {
            return false;
        }
    }
    return listed == free_count && listed_total == free_total;
}
