// The socket messenger's reassembly: 16 MiB of 128-byte messages (92-byte
// header, 36-byte payload) handed over in one call, against the same bytes
// in 4 KiB pieces with the queue drained after each call. A buffer that
// moved its remaining bytes for every message taken would make the one-call
// case quadratic.
#include "kwexnet/kwex_messenger.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

constexpr std::size_t kMessageBytes = 128;
constexpr std::size_t kStreamBytes = 16u << 20;

const std::string &stream()
{
    static const std::string bytes = [] {
        const std::string payload(kMessageBytes - KwexNet::TCPHeader::kSize, 'p');
        const KwexNet::TCPHeader header(static_cast<unsigned int>(payload.size()), KwexNet::kMessageRoutingRoom,
                                        KwexNet::kMessageEncryptionNone, 0x1A2B, "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d",
                                        "11111111-2222-3333-4444-555555555555", 28, 1);
        std::string one(KwexNet::TCPHeader::kSize, '\0');
        unsigned long size = 0;
        header.serialize(one.data(), size);
        one += payload;
        std::string all;
        all.reserve(kStreamBytes);
        while (all.size() < kStreamBytes) {
            all += one;
        }
        return all;
    }();
    return bytes;
}

std::size_t drain(KwexNet::KwexMessenger &m)
{
    std::size_t count = 0;
    KwexNet::NetworkMessage message;
    while (m.getNextMessage(message)) {
        ++count;
    }
    return count;
}

void finish(benchmark::State &state, std::size_t messages)
{
    if (messages != kStreamBytes / kMessageBytes) {
        state.SkipWithError("messages lost");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBytes));
}

void BM_KwexFramingOneCall(benchmark::State &state)
{
    const std::string &bytes = stream();
    std::size_t messages = 0;
    for (auto _ : state) {
        KwexNet::KwexMessenger m;
        if (!m.appendData(bytes.data(), bytes.size())) {
            state.SkipWithError("appendData failed");
        }
        messages = drain(m);
    }
    finish(state, messages);
}
BENCHMARK(BM_KwexFramingOneCall)->Unit(benchmark::kMillisecond);

void BM_KwexFramingPieces4K(benchmark::State &state)
{
    const std::string &bytes = stream();
    std::size_t messages = 0;
    for (auto _ : state) {
        KwexNet::KwexMessenger m;
        messages = 0;
        for (std::size_t at = 0; at < bytes.size(); at += 4096) {
            if (!m.appendData(bytes.data() + at, std::min<std::size_t>(4096, bytes.size() - at))) {
                state.SkipWithError("appendData failed");
            }
            messages += drain(m);
        }
    }
    finish(state, messages);
}
BENCHMARK(BM_KwexFramingPieces4K)->Unit(benchmark::kMillisecond);

} // namespace
