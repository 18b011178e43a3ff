// Feeds the input to the socket messenger in pieces the input chooses and
// checks that the split changes nothing: the same messages come out as from
// one delivery, headers decode back to their bytes, and the buffer stays
// under its cap. Also decodes the primitives with the bytes that are left.
#include "kwexnet/kwex_messenger.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

struct Outcome {
    std::vector<std::string> messages;
    bool failed = false;
};

void drain(KwexNet::KwexMessenger &m, Outcome &outcome)
{
    KwexNet::NetworkMessage message;
    while (m.getNextMessage(message)) {
        require(message.header.payloadLength == message.getLength());
        require(message.getLength() <= KwexNet::KwexMessenger::kMaxPayloadBytes);
        char wire[KwexNet::TCPHeader::kSize];
        unsigned long size = 0;
        message.header.serialize(wire, size);
        KwexNet::TCPHeader again;
        require(size == KwexNet::TCPHeader::kSize && again.deserialize(wire, size) && again == message.header);
        outcome.messages.emplace_back(message.getData() ? message.getData() : "", message.getLength());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1 || size > 1 << 20) {
        return 0;
    }
    // Byte 0 seeds the piece sizes; the rest is the stream.
    std::uint32_t state = data[0] * 2654435761u + 1;
    const char *stream = reinterpret_cast<const char *>(data + 1);
    const std::size_t length = size - 1;

    Outcome whole;
    {
        KwexNet::KwexMessenger m;
        whole.failed = !m.appendData(stream, length);
        drain(m, whole);
        if (whole.failed) {
            require(m.bufferedBytes() == 0 && m.bufferCapacity() < 64);
        }
    }
    Outcome pieces;
    {
        KwexNet::KwexMessenger m;
        std::size_t at = 0;
        while (at < length && !pieces.failed) {
            state = state * 1103515245u + 12345u;
            const std::size_t piece = std::min<std::size_t>(length - at, 1 + (state >> 16) % 200);
            pieces.failed = !m.appendData(stream + at, piece);
            drain(m, pieces);
            at += piece;
        }
        if (pieces.failed) {
            require(m.bufferedBytes() == 0 && m.bufferCapacity() < 64);
        }
    }
    require(whole.failed == pieces.failed);
    require(whole.messages == pieces.messages);

    using namespace KwexNet::Serialization;
    std::string text;
    unsigned long long u64 = 0;
    const unsigned long used = deserialize_string(text, stream, length);
    require(used == 0 || (used == 4 + text.size() && used <= length));
    require(deserialize_uint64(u64, stream, length) == (length >= 8 ? 8u : 0u));
    return 0;
}
