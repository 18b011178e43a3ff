// A set of bits of one enum: flags of one object never mix with the bits
// of another kind of object that happen to share values.
#ifndef AURA_FLAGS_H
#define AURA_FLAGS_H

#include <type_traits>

namespace AURA {

template <class E>
class FlagSet {
    static_assert(std::is_enum_v<E>, "flags are enumerators");
    using Bits = std::underlying_type_t<E>;

public:
    constexpr FlagSet() = default;
    [[nodiscard]] constexpr bool has(E flag) const { return (mBits & static_cast<Bits>(flag)) != 0; }
    constexpr void set(E flag) { mBits = static_cast<Bits>(mBits | static_cast<Bits>(flag)); }
    constexpr void clear(E flag) { mBits = static_cast<Bits>(mBits & ~static_cast<Bits>(flag)); }
    constexpr void set(E flag, bool on) { on ? set(flag) : clear(flag); }
    constexpr void reset() { mBits = 0; }
    [[nodiscard]] constexpr Bits bits() const { return mBits; }

private:
    Bits mBits = 0;
};

} // namespace AURA

#endif // AURA_FLAGS_H
