// Tallies of memory by report category, filled by the objects' own
// get-memory-used walks.
#ifndef AURA_MEMORYTRACKER_H
#define AURA_MEMORYTRACKER_H

#include <array>
#include <cstdint>

namespace AURA {

// Report categories (one bit each).
inline constexpr int MEMBITS_CHANNELGROUP = 0x40;
inline constexpr int MEMBITS_CODEC = 0x80;
inline constexpr int MEMBITS_FILE = 0x100;
inline constexpr int MEMBITS_DSPCONNECTION = 0x2000;
inline constexpr int MEMBITS_DSPUNIT = 0x4000;
inline constexpr int MEMBITS_PROFILE = 0x10000;
inline constexpr int MEMBITS_GEOMETRY = 0x00100000;

class MemoryTracker {
public:
    // Adds size bytes to one category's counter and to the total. Memory of
    // event-layer objects (eventObject) is tallied apart from the core's. A
    // category that is not exactly one bit has no counter and adds nothing.
    void add(bool eventObject, int category, unsigned int size);
    void clear();

    [[nodiscard]] uint64_t getCategory(bool eventObject, int category) const;
    [[nodiscard]] uint64_t getTotal(bool eventObject) const;

private:
    struct Table {
        std::array<uint64_t, 32> mCategory{};
        uint64_t mTotal = 0;
    };
    static int indexOf(int category);

    Table mCore;
    Table mEvent;
};

} // namespace AURA

#endif // AURA_MEMORYTRACKER_H
