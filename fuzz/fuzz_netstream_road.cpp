// The stream road over HTTP: the input's file is served by a server in
// memory (the net file's connect reaches a socket whose peer holds the
// answer) behind a Content-Length, chunked, with ICY metadata blocks or
// ended by the close, and opened by URL as a stream, as an internet radio
// is; then played as the memory stream road plays it.
//
// Input: [framing, size, loops, name] then the file. framing % 4: length,
// chunked (chunks of 1 + size * 64 bytes), ICY (a block every 16 + size * 64
// bytes, each with a title), close-delimited; loops % 3 extra plays, and a
// seek to (loops * 64 / 65536) of the length; name % 3 ends the URL in
// ".mp3", ".ogg" or nothing.
#include "fuzz_net_answer.h"
#include "fuzz_stream_play.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

constexpr size_t HEADER = 4;

std::string answer(const uint8_t *data, size_t size)
{
    const std::string body(reinterpret_cast<const char *>(data + HEADER), size - HEADER);
    const size_t piece = 1 + static_cast<size_t>(data[1]) * 64;
    std::string out = "HTTP/1.1 200 OK\r\n";
    switch (data[0] % 4) {
    case 0:
        return out + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    case 1:
        out += "Transfer-Encoding: chunked\r\n\r\n";
        for (size_t at = 0; at < body.size(); at += piece) {
            const std::string chunk = body.substr(at, piece);
            char line[32];
            std::snprintf(line, sizeof(line), "%zx\r\n", chunk.size());
            out += line + chunk + "\r\n";
        }
        return out + "0\r\n\r\n";
    case 2: {
        const size_t interval = 15 + piece;
        out += "icy-metaint: " + std::to_string(interval) + "\r\nicy-name: Fuzz\r\n\r\n";
        const std::string block("\2StreamTitle='A - B';\0\0\0\0\0\0\0\0\0\0\0", 33);
        for (size_t at = 0; at < body.size(); at += interval) {
            out += body.substr(at, interval);
            if (at + interval <= body.size()) {
                out += block;
            }
        }
        return out;
    }
    default:
        return out + "\r\n" + body;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size <= HEADER || size > 128 * 1024) {
        return 0;
    }
    fuzznet::Answer::install();
    fuzznet::Answer::serve(answer(data, size));
    AURA::System *sys = fuzzplay::system();
    const int loops = data[2] % 3;
    static const char *const names[3] = {"http://fuzz/radio.mp3", "http://fuzz/radio.ogg", "http://fuzz/radio"};
    AURA::Sound *stream = nullptr;
    const AURA_MODE mode = AURA_CREATESTREAM | (loops ? AURA_LOOP_NORMAL : AURA_LOOP_OFF);
    const AURA_RESULT opened = sys->createStream(names[data[3] % 3], mode, nullptr, &stream);
    if (opened != AURA_OK) {
        fuzzplay::require(stream == nullptr);
    } else {
        fuzzplay::play(stream, loops, static_cast<unsigned int>(data[2]) * 64);
    }
    fuzznet::Answer::done();
    return 0;
}
