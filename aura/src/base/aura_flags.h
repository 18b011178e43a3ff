// A set of bits of one enum: flags of one object never mix with the bits
// of another kind of object that happen to share values. The bits are
// atomic: a voice's state is read by the stream thread while the caller's
// thread changes it.
#ifndef AURA_FLAGS_H
#define AURA_FLAGS_H

#include <atomic>
#include <type_traits>

namespace AURA {

template <class E>
class FlagSet {
    static_assert(std::is_enum_v<E>, "flags are enumerators");
    using Bits = std::underlying_type_t<E>;

public:
    FlagSet() = default;
    FlagSet(const FlagSet &other) : mBits(other.bits()) {}
    FlagSet &operator=(const FlagSet &other)
    {
        mBits.store(other.bits(), std::memory_order_relaxed);
        return *this;
    }
    ~FlagSet() = default;

    [[nodiscard]] bool has(E flag) const { return (bits() & static_cast<Bits>(flag)) != 0; }
    void set(E flag) { mBits.fetch_or(static_cast<Bits>(flag), std::memory_order_acq_rel); }
    void clear(E flag) { mBits.fetch_and(static_cast<Bits>(~static_cast<Bits>(flag)), std::memory_order_acq_rel); }
    void set(E flag, bool on) { on ? set(flag) : clear(flag); }
    void reset() { mBits.store(0, std::memory_order_release); }
    [[nodiscard]] Bits bits() const { return mBits.load(std::memory_order_acquire); }

private:
    std::atomic<Bits> mBits{0};
};

} // namespace AURA

#endif // AURA_FLAGS_H
