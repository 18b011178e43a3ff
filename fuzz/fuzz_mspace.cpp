// Drives a heap over a fixed 64 KiB block with the operations the input spells
// out, and traps as soon as a block loses its contents, lands outside the
// block or the heap's own records stop agreeing.
//
// Input: a sequence of 3-byte operations [op, lo, hi].
//   op & 3      0 malloc, 1 free, 2 realloc, 3 an oversized request
//   op >> 2     one of 64 slots
//   lo, hi      the size, (hi << 8 | lo) & 0x3fff (up to 16 KiB), except for
//               oversized requests, which ask for SIZE_MAX - lo
#include "os/aura_mspace.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kArenaSize = 64 * 1024;
constexpr std::size_t kSlots = 64;

alignas(16) unsigned char gArena[kArenaSize];

struct Slot {
    unsigned char *ptr;
    std::size_t size;
    unsigned char tag;
};

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

bool holds_tag(const Slot &s)
{
    return std::all_of(s.ptr, s.ptr + s.size, [&s](unsigned char c) { return c == s.tag; });
}

// A fresh block must be aligned, inside the arena and as large as asked.
void check_placement(mspace msp, const void *p, std::size_t size)
{
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    const auto lo = reinterpret_cast<std::uintptr_t>(gArena);
    const std::size_t usable = mspace_usable_size(msp, p);
    require(a % 16 == 0);
    require(usable >= size);
    require(a >= lo && a + usable <= lo + kArenaSize);
}

// Whether a request for `bytes` must succeed right now: some free run exists
// (a full heap reports 0 free bytes) and the largest one is big enough.
bool fits(mspace msp, std::size_t bytes)
{
    return mspace_free_bytes(msp) != 0 && bytes <= mspace_largest_free(msp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    mspace msp = create_mspace_with_base(gArena, kArenaSize, 0);
    require(msp != nullptr && mspace_check(msp));
    const std::size_t free0 = mspace_free_bytes(msp);
    const std::size_t largest0 = mspace_largest_free(msp);

    Slot slots[kSlots] = {};
    unsigned char tag = 0;

    for (std::size_t i = 0; i + 3 <= size; i += 3) {
        const unsigned op = data[i] & 3u;
        Slot &s = slots[(data[i] >> 2) % kSlots];
        const std::size_t bytes = (static_cast<std::size_t>(data[i + 2]) << 8 | data[i + 1]) & 0x3fff;
        ++tag;

        switch (op) {
        case 0:  // malloc, freeing whatever the slot held
        case 1:  // free
            if (s.ptr != nullptr) {
                require(holds_tag(s));
                mspace_free(msp, s.ptr);
                s = {};
            }
            if (op == 0) {
                const bool must_fit = fits(msp, bytes);
                auto *p = static_cast<unsigned char *>(mspace_malloc(msp, bytes));
                require((p != nullptr) == must_fit);
                if (p != nullptr) {
                    check_placement(msp, p, bytes);
                    s = {p, bytes, tag};
                    std::memset(p, tag, bytes);
                }
            }
            break;
        case 2: {  // realloc (a null slot allocates)
            if (s.ptr != nullptr) {
                require(holds_tag(s));
            }
            const bool must_fit = fits(msp, bytes);
            auto *p = static_cast<unsigned char *>(mspace_realloc(msp, s.ptr, bytes));
            if (p == nullptr) {
                // Moving would have worked had any free run been large enough.
                require(!must_fit);
                if (s.ptr != nullptr) {
                    require(holds_tag(s));
                }
            } else {
                check_placement(msp, p, bytes);
                require(holds_tag(Slot{p, std::min(s.size, bytes), s.tag}));
                s = {p, bytes, tag};
                std::memset(p, tag, bytes);
            }
            break;
        }
        default: {  // sizes near SIZE_MAX never wrap into a small block
            const std::size_t huge = SIZE_MAX - data[i + 1];
            const std::size_t free_before = mspace_free_bytes(msp);
            require(mspace_malloc(msp, huge) == nullptr);
            if (s.ptr != nullptr) {
                require(mspace_realloc(msp, s.ptr, huge) == nullptr);
                require(holds_tag(s));
            }
            require(mspace_free_bytes(msp) == free_before);
            break;
        }
        }
        require(mspace_check(msp));
    }

    // Everything freed must merge back into the one run the heap began with.
    std::size_t live = 0;
    for (Slot &s : slots) {
        if (s.ptr != nullptr) {
            require(holds_tag(s));
            live += mspace_usable_size(msp, s.ptr);
        }
    }
    require(live + mspace_free_bytes(msp) <= free0);
    for (Slot &s : slots) {
        mspace_free(msp, s.ptr);
    }
    require(mspace_check(msp));
    require(mspace_free_bytes(msp) == free0);
    require(mspace_largest_free(msp) == largest0);
    require(destroy_mspace(msp) == 0);
    return 0;
}
