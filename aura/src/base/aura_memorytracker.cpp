#include "base/aura_memorytracker.h"

#include <bit>

namespace AURA {

int MemoryTracker::indexOf(int category)
{
    const auto bits = static_cast<uint32_t>(category);
    if (!std::has_single_bit(bits)) {
        return -1;
    }
    return std::countr_zero(bits);
}

void MemoryTracker::add(bool eventObject, int category, unsigned int size)
{
    const int index = indexOf(category);
    if (index < 0) {
        return;
    }
    Table &table = eventObject ? mEvent : mCore;
    table.mCategory[static_cast<std::size_t>(index)] += size;
    table.mTotal += size;
}

void MemoryTracker::clear()
{
    mCore = Table{};
    mEvent = Table{};
}

uint64_t MemoryTracker::getCategory(bool eventObject, int category) const
{
    const int index = indexOf(category);
    if (index < 0) {
        return 0;
    }
    return (eventObject ? mEvent : mCore).mCategory[static_cast<std::size_t>(index)];
}

uint64_t MemoryTracker::getTotal(bool eventObject) const
{
    return (eventObject ? mEvent : mCore).mTotal;
}

} // namespace AURA
