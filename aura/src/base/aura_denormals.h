// Denormal floats flushed to zero for the length of a scope, on the calling
// thread. A recursive unit whose feedback is above one half keeps the
// smallest denormals alive for ever (x * 0.8 rounds back to x), and each
// operation on one costs a hundred cycles or more on x86; with the flush the
// state reaches zero and stays there. Only values below the smallest normal
// float change. The mode is set once per block, never per sample, and put
// back as it was, so that code outside the scope computes as before.
#ifndef AURA_DENORMALS_H
#define AURA_DENORMALS_H

#include <cstdint>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace AURA {

class ScopedDenormalFlush {
public:
#if defined(__SSE__) || defined(__x86_64__)
    // Flush-to-zero (results) and denormals-are-zero (operands).
    static constexpr unsigned int kBits = 0x8040u;
    ScopedDenormalFlush()
        : mSaved(_mm_getcsr())
    {
        if ((mSaved & kBits) != kBits) {
            _mm_setcsr(mSaved | kBits);
        }
    }
    ~ScopedDenormalFlush()
    {
        if ((mSaved & kBits) != kBits) {
            _mm_setcsr(mSaved);
        }
    }

private:
    unsigned int mSaved;
#elif defined(__aarch64__)
    static constexpr uint64_t kBits = uint64_t{1} << 24; // FPCR.FZ
    ScopedDenormalFlush()
        : mSaved(read())
    {
        if (!(mSaved & kBits)) {
            write(mSaved | kBits);
        }
    }
    ~ScopedDenormalFlush()
    {
        if (!(mSaved & kBits)) {
            write(mSaved);
        }
    }

private:
    static uint64_t read()
    {
        uint64_t v = 0;
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(v));
        return v;
    }
    static void write(uint64_t v) { __asm__ __volatile__("msr fpcr, %0" : : "r"(v)); }
    uint64_t mSaved;
#else
    // No mode to set: the units' own offsets and flushes are all there is.
    ScopedDenormalFlush() = default;
#endif

public:
    ScopedDenormalFlush(const ScopedDenormalFlush &) = delete;
    ScopedDenormalFlush &operator=(const ScopedDenormalFlush &) = delete;
};

} // namespace AURA

#endif // AURA_DENORMALS_H
