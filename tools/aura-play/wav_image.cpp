#include "wav_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace auraplay {
namespace {

void put16(std::vector<uint8_t> &out, uint32_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put32(std::vector<uint8_t> &out, uint32_t value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void putId(std::vector<uint8_t> &out, const char *id)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(id[i]));
    }
}

uint32_t get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void set32(uint8_t *p, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};

} // namespace

std::vector<uint8_t> makeWavImage(const std::vector<int16_t> &samples, int channels, int rate)
{
    const auto dataBytes = static_cast<uint32_t>(samples.size() * 2);
    const auto blockAlign = static_cast<uint32_t>(channels * 2);
    std::vector<uint8_t> out;
    out.reserve(44 + dataBytes);
    putId(out, "RIFF");
    put32(out, 36 + dataBytes);
    putId(out, "WAVE");
    putId(out, "fmt ");
    put32(out, 16);
    put16(out, 1);
    put16(out, static_cast<uint32_t>(channels));
    put32(out, static_cast<uint32_t>(rate));
    put32(out, static_cast<uint32_t>(rate) * blockAlign);
    put16(out, blockAlign);
    put16(out, 16);
    putId(out, "data");
    put32(out, dataBytes);
    for (int16_t sample : samples) {
        put16(out, static_cast<uint16_t>(sample));
    }
    return out;
}

bool trimWavFrames(const std::string &path, uint64_t frames)
{
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "r+b"));
    if (!file) {
        return false;
    }
    // The writer puts its fmt and data chunks at the front; a few kilobytes
    // hold every header it writes.
    uint8_t head[4096];
    const size_t got = std::fread(head, 1, sizeof(head), file.get());
    if (got < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) {
        return false;
    }
    uint32_t blockAlign = 0;
    for (size_t at = 12; at + 8 <= got;) {
        const uint32_t size = get32(head + at + 4);
        if (std::memcmp(head + at, "fmt ", 4) == 0 && at + 8 + 14 <= got) {
            blockAlign = static_cast<uint32_t>(head[at + 8 + 12] | head[at + 8 + 13] << 8);
        } else if (std::memcmp(head + at, "data", 4) == 0) {
            if (blockAlign == 0) {
                return false;
            }
            const uint64_t wanted = frames * blockAlign;
            if (wanted >= size) {
                return true;
            }
            const auto dataBytes = static_cast<uint32_t>(wanted);
            set32(head + at + 4, dataBytes);
            set32(head + 4, static_cast<uint32_t>(at + dataBytes));
            if (std::fseek(file.get(), 0, SEEK_SET) != 0 || std::fwrite(head, 1, at + 8, file.get()) != at + 8) {
                return false;
            }
            file.reset();
            std::error_code error;
            std::filesystem::resize_file(path, at + 8 + dataBytes, error);
            return !error;
        }
        const uint64_t next = static_cast<uint64_t>(at) + 8 + size + (size & 1);
        if (next <= at) {
            return false;
        }
        at = static_cast<size_t>(std::min<uint64_t>(next, got));
    }
    return false;
}

} // namespace auraplay
