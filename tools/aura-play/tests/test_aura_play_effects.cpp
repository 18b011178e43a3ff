// aura-play --dsp against sox's filters: impulse responses of the same
// settings, compared as magnitude responses; and the oscillator against
// sox's synth.
#include "files.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <map>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/wait.h>

namespace {

using auratest::quote;
using auratest::run;
namespace fs = std::filesystem;

constexpr double kPi = 3.14159265358979323846;
constexpr int kImpulseAt = 8192; // after any glide of the unit's parameters
constexpr int kResponse = 32768; // frames of the response analysed

// The magnitude response (dB) of n samples, bins 0 .. n/2.
std::vector<double> responseDb(const std::vector<double> &impulse)
{
    const size_t n = impulse.size();
    std::vector<std::complex<double>> x(impulse.begin(), impulse.end());
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(x[i], x[j]);
        }
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> w = std::polar(1.0, -2.0 * kPi / static_cast<double>(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> wk = 1.0;
            for (size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> t = wk * x[i + k + len / 2];
                x[i + k + len / 2] = x[i + k] - t;
                x[i + k] += t;
                wk *= w;
            }
        }
    }
    std::vector<double> db(n / 2 + 1);
    for (size_t k = 0; k <= n / 2; ++k) {
        db[k] = 20.0 * std::log10(std::max(std::abs(x[k]), 1e-12));
    }
    return db;
}

class PlayEffects : public ::testing::Test {
protected:
    // The impulse (0.2 at kImpulseAt) as a float WAV at `rate`.
    fs::path impulse(int rate)
    {
        const fs::path raw = mDir / "impulse.raw";
        const fs::path wav = mDir / ("impulse" + std::to_string(rate) + ".wav");
        if (!fs::exists(wav)) {
            std::vector<float> pcm(kImpulseAt + kResponse, 0.0f);
            pcm[kImpulseAt] = 0.2f;
            auratest::writeAll(raw, auratest::Bytes(reinterpret_cast<const uint8_t *>(pcm.data()),
                                                    reinterpret_cast<const uint8_t *>(pcm.data() + pcm.size())));
            EXPECT_TRUE(run("sox -D -t raw -r " + std::to_string(rate) + " -e floating-point -b 32 -c 1 " + quote(raw) +
                            " -e floating-point -b 32 " + quote(wav)));
        }
        return wav;
    }

    // The response of aura-play with `dsp` (relative to its dry output).
    std::vector<double> auraResponse(int rate, const std::string &dsp)
    {
        const fs::path out = mDir / "aura.wav";
        const std::string common = std::string(AURA_PLAY_PATH) + " -q --format float --rate " + std::to_string(rate) +
                                   " -o " + quote(out) + " " + quote(impulse(rate));
        if (mDryGain.count(rate) == 0) {
            EXPECT_TRUE(run(common));
            const auratest::Wav dry = auratest::readWav(out);
            double peak = 0.0;
            for (size_t f = 0; f < dry.frames(); ++f) {
                if (f != kImpulseAt) {
                    EXPECT_EQ(dry.at(f, 0), 0.0f) << "the dry path changes the impulse at " << f;
                }
                peak = std::max(peak, std::fabs(static_cast<double>(dry.at(f, 0))));
            }
            mDryGain[rate] = peak / 0.2;
        }
        EXPECT_TRUE(run(common + " --dsp " + dsp)) << dsp;
        const auratest::Wav wet = auratest::readWav(out);
        std::vector<double> ir(kResponse, 0.0);
        for (int i = 0; i < kResponse && kImpulseAt + static_cast<size_t>(i) < wet.frames(); ++i) {
            ir[static_cast<size_t>(i)] = wet.at(kImpulseAt + static_cast<size_t>(i), 0) / (0.2 * mDryGain[rate]);
        }
        return responseDb(ir);
    }

    // The response of sox with `effects`, written as 32-bit integers.
    std::vector<double> soxResponse(int rate, const std::string &effects)
    {
        const fs::path out = mDir / "sox.raw";
        EXPECT_TRUE(run("sox -D " + quote(impulse(rate)) + " -t raw -e signed -b 32 " + quote(out) + " " + effects))
            << effects;
        const auratest::Bytes bytes = auratest::readAll(out);
        std::vector<double> ir(kResponse, 0.0);
        for (int i = 0; i < kResponse; ++i) {
            const size_t at = (static_cast<size_t>(kImpulseAt) + static_cast<size_t>(i)) * 4;
            if (at + 4 <= bytes.size()) {
                int32_t v = 0;
                std::memcpy(&v, bytes.data() + at, 4);
                ir[static_cast<size_t>(i)] = v / 2147483648.0 / 0.2;
            }
        }
        return responseDb(ir);
    }

    // Within 0.1 dB where the reference is above -40 dB, 0.25 dB down to
    // -80 dB, from 20 Hz to 0.45 x rate.
    static void compare(const std::vector<double> &aura, const std::vector<double> &ref, int rate,
                        const std::string &what)
    {
        const double binHz = static_cast<double>(rate) / kResponse;
        int worstBin = -1;
        double worst = 0.0;
        for (size_t k = static_cast<size_t>(std::ceil(20.0 / binHz)); k * binHz <= 0.45 * rate; ++k) {
            if (ref[k] < -80.0) {
                continue;
            }
            const double error = std::fabs(aura[k] - ref[k]);
            const double allowed = ref[k] > -40.0 ? 0.1 : 0.25;
            if (error > allowed && error - allowed > worst) {
                worst = error - allowed;
                worstBin = static_cast<int>(k);
            }
        }
        EXPECT_LT(worstBin, 0) << what << ": at " << worstBin * binHz << " Hz aura "
                               << aura[static_cast<size_t>(worstBin)] << " dB, sox "
                               << ref[static_cast<size_t>(worstBin)] << " dB";
    }

    auratest::TempDir mDir;
    std::map<int, double> mDryGain;
};

std::string num(double v)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.9g", v);
    return text;
}

TEST_F(PlayEffects, FiltersMatchSoxImpulseResponses)
{
    for (int rate : {24000, 44100, 48000}) {
        for (double cutoff : {500.0, 1000.0, 5000.0, 0.4 * rate}) {
            const std::string f = num(cutoff);
            for (double r : {1.0, 4.0, 10.0}) {
                compare(auraResponse(rate, "lowpass:cutoff=" + f + ",resonance=" + num(r)),
                        soxResponse(rate, "lowpass " + f + " " + num(r / 0.765367) + "q lowpass " + f + " " +
                                              num(r / 1.847759) + "q"),
                        rate, "lowpass " + f + " r " + num(r) + " at " + std::to_string(rate));
                compare(auraResponse(rate, "highpass:cutoff=" + f + ",resonance=" + num(r)),
                        soxResponse(rate, "highpass " + f + " " + num(r) + "q"), rate,
                        "highpass " + f + " r " + num(r) + " at " + std::to_string(rate));
            }
            for (auto [range, gain] : {std::pair{1.0, 2.0}, std::pair{0.2, 0.5}, std::pair{3.0, 3.0}}) {
                compare(
                    auraResponse(rate, "parameq:center=" + f + ",octave=" + num(range) + ",gain=" + num(gain)),
                    soxResponse(rate, "equalizer " + f + " " + num(1.0 / range) + "q " + num(40.0 * std::log10(gain))),
                    rate, "parameq " + f + " range " + num(range) + " gain " + num(gain));
            }
            // The simple lowpass's coefficient, as the unit computes it.
            const float fs = static_cast<float>(rate);
            const float fc = static_cast<float>(cutoff);
            const float knee = fs / 3.14159274f;
            const float a = knee >= fc ? (1.0f / fs) / (1.0f / (6.28318548f * fc) + 1.0f / fs)
                                       : 0.6666667f + (fc - knee) / (3.0f * (22000.0f - knee));
            const std::string section = "biquad " + num(a) + " 0 0 1 " + num(-(1.0 - a)) + " 0";
            compare(auraResponse(rate, "lowpass-simple:cutoff=" + f), soxResponse(rate, section + " " + section), rate,
                    "lowpass-simple " + f + " at " + std::to_string(rate));
        }
    }
}

// The oscillator's sine against sox's synth over its first 100 ms.
TEST_F(PlayEffects, OscillatorSineMatchesSoxSynth)
{
    for (int rate : {44100, 48000}) {
        for (double frequency : {100.0, 1000.0, 10000.0}) {
            const fs::path ours = mDir / "osc.wav";
            const fs::path theirs = mDir / "synth.wav";
            ASSERT_TRUE(run(std::string(AURA_PLAY_PATH) + " -q --format float --rate " + std::to_string(rate) +
                            " --duration 100 -o " + quote(ours) +
                            " --dsp oscillator:type=sine,frequency=" + num(frequency)));
            ASSERT_TRUE(run("sox -D -r " + std::to_string(rate) + " -n -e floating-point -b 32 -c 1 " + quote(theirs) +
                            " synth 0.1 sine " + num(frequency)));
            const auratest::Wav a = auratest::readWav(ours);
            const auratest::Wav s = auratest::readWav(theirs);
            ASSERT_GE(a.frames(), s.frames() - 1);
            // The mono tone reaches both speakers at the same level.
            double scale = 0.0;
            for (size_t i = 0; i < s.frames(); ++i) {
                scale = std::max(scale, std::fabs(static_cast<double>(a.at(i, 0))));
            }
            double signal = 0.0, noise = 0.0;
            for (size_t i = 0; i < s.frames(); ++i) {
                const double ref = s.at(i, 0);
                const double got = a.at(i, 0) / scale;
                signal += ref * ref;
                noise += (got - ref) * (got - ref);
            }
            EXPECT_GT(10.0 * std::log10(signal / noise), 60.0) << frequency << " Hz at " << rate;
        }
    }
}

// Units go on the mix in command-line order: a lowpass before a hard
// clipper leaves a full-scale wave, after it a quiet one.
TEST_F(PlayEffects, UnitsProcessInTheOrderGiven)
{
    const fs::path tone = mDir / "tone.wav";
    ASSERT_TRUE(run("sox -D -n -r 48000 -c 1 -e floating-point -b 32 " + quote(tone) + " synth 0.5 sine 5000 vol 0.5"));
    double peaks[2] = {};
    const std::string orders[2] = {"--dsp lowpass-simple:cutoff=500 --dsp distortion:level=1",
                                   "--dsp distortion:level=1 --dsp lowpass-simple:cutoff=500"};
    for (int i = 0; i < 2; ++i) {
        const fs::path out = mDir / "order.wav";
        ASSERT_TRUE(run(std::string(AURA_PLAY_PATH) + " -q --format float -o " + quote(out) + " " + orders[i] + " " +
                        quote(tone)));
        const auratest::Wav wav = auratest::readWav(out);
        for (size_t f = wav.frames() / 2; f < wav.frames(); ++f) {
            peaks[i] = std::max(peaks[i], std::fabs(static_cast<double>(wav.at(f, 0))));
        }
    }
    EXPECT_GT(peaks[0], 0.6);
    EXPECT_LT(peaks[1], 0.3);
}

TEST_F(PlayEffects, UnknownUnitsAndValuesAreUsageErrors)
{
    for (const char *dsp :
         {"bogus", "lowpass:nothing=1", "lowpass:cutoff=abc", "lowpass:cutoff=5", "oscillator:type=wobble",
          "oscillator:type=saw-sideways", "lowpass:9=1", "lowpass:cutoff"}) {
        const int status = std::system(
            (std::string(AURA_PLAY_PATH) + " -q --dsp " + quote(dsp) + " --duration 10 -o /dev/null >/dev/null 2>&1")
                .c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << dsp;
    }
    EXPECT_TRUE(run(std::string(AURA_PLAY_PATH) + " -q --dsp oscillator:type=saw-up --duration 10 -o " +
                    quote(mDir / "saw.wav")));
    const std::string listing = auratest::capture(std::string(AURA_PLAY_PATH) + " --list-dsp");
    for (const char *name : {"oscillator", "lowpass", "lowpass-simple", "highpass", "distortion", "normalize",
                             "parameq", "compressor", "saw down"}) {
        EXPECT_NE(listing.find(name), std::string::npos) << name;
    }
}

} // namespace
