#include "kwexnet/kwex_messenger.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "kwexnet/tcp_manager.h"

namespace KwexNet {

namespace Serialization {

namespace {

template <typename T>
unsigned long writeBigEndian(T value, char *out)
{
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out[i] = static_cast<char>(static_cast<unsigned char>(value >> (8 * (sizeof(T) - 1 - i))));
    }
    return sizeof(T);
}

template <typename T>
unsigned long readBigEndian(T &value, const char *in, std::size_t available)
{
    if (!in || available < sizeof(T)) {
        return 0;
    }
    T result = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        result = static_cast<T>(result << 8 | static_cast<unsigned char>(in[i]));
    }
    value = result;
    return sizeof(T);
}

} // namespace

unsigned long serialize_uint16(unsigned short value, char *out)
{
    return writeBigEndian(value, out);
}
unsigned long serialize_uint32(unsigned int value, char *out)
{
    return writeBigEndian(value, out);
}
unsigned long serialize_uint64(unsigned long long value, char *out)
{
    return writeBigEndian(value, out);
}

unsigned long serialize_string(const std::string &value, char *out)
{
    const auto length = static_cast<unsigned int>(value.size());
    serialize_uint32(length, out);
    std::memcpy(out + 4, value.data(), length);
    return 4ul + length;
}

unsigned long deserialize_uint16(unsigned short &value, const char *in, std::size_t available)
{
    return readBigEndian(value, in, available);
}

unsigned long deserialize_uint32(unsigned int &value, const char *in, std::size_t available)
{
    return readBigEndian(value, in, available);
}

unsigned long deserialize_uint64(unsigned long long &value, const char *in, std::size_t available)
{
    return readBigEndian(value, in, available);
}

unsigned long deserialize_string(std::string &value, const char *in, std::size_t available)
{
    unsigned int length = 0;
    if (deserialize_uint32(length, in, available) == 0 || available - 4 < length) {
        return 0;
    }
    value.assign(in + 4, length);
    return 4ul + length;
}

} // namespace Serialization

UserId makeUserId(const char *text)
{
    UserId id{};
    if (text) {
        std::memcpy(id.data(), text, strnlen(text, kUserIdBytes));
    }
    return id;
}

TCPHeader::TCPHeader(unsigned int payloadLength, eMessageRoutingType routing, eMessageEncryptionType encryption,
                     unsigned long long sessionId, const char *senderId, const char *recipientId,
                     unsigned short sessionCode, unsigned char sessionTag)
    : payloadLength(payloadLength)
    , routingType(routing)
    , encryptionType(encryption)
    , sessionId(sessionId)
    , senderId(makeUserId(senderId))
    , recipientId(makeUserId(recipientId))
    , sessionCode(sessionCode)
    , sessionTag(sessionTag)
{
}

void TCPHeader::serialize(char *out, unsigned long &size) const
{
    using namespace Serialization;
    char *p = out;
    p += serialize_uint32(payloadLength, p);
    *p++ = static_cast<char>(routingType);
    *p++ = static_cast<char>(encryptionType);
    p += serialize_uint64(sessionId, p);
    std::memcpy(p, senderId.data(), kUserIdBytes);
    p += kUserIdBytes;
    std::memcpy(p, recipientId.data(), kUserIdBytes);
    p += kUserIdBytes;
    p += serialize_uint16(sessionCode, p);
    *p++ = static_cast<char>(sessionTag);
    *p++ = static_cast<char>(reservedByte);
    p += serialize_uint16(reservedWord, p);
    size = static_cast<unsigned long>(p - out);
}

bool TCPHeader::deserialize(const char *in, std::size_t size)
{
    using namespace Serialization;
    if (!in || size < kSize) {
        return false;
    }
    TCPHeader h;
    const char *p = in;
    p += deserialize_uint32(h.payloadLength, p, 4);
    h.routingType = static_cast<std::uint8_t>(*p++);
    h.encryptionType = static_cast<std::uint8_t>(*p++);
    unsigned long long session = 0;
    p += deserialize_uint64(session, p, 8);
    h.sessionId = session;
    std::memcpy(h.senderId.data(), p, kUserIdBytes);
    p += kUserIdBytes;
    std::memcpy(h.recipientId.data(), p, kUserIdBytes);
    p += kUserIdBytes;
    p += deserialize_uint16(h.sessionCode, p, 2);
    h.sessionTag = static_cast<std::uint8_t>(*p++);
    h.reservedByte = static_cast<std::uint8_t>(*p++);
    deserialize_uint16(h.reservedWord, p, 2);
    *this = h;
    return true;
}

NetworkMessage::NetworkMessage(const NetworkMessage &other)
    : address(other.address)
    , header(other.header)
{
    setData(other.data.get(), other.length);
}

NetworkMessage &NetworkMessage::operator=(const NetworkMessage &other)
{
    if (this != &other) {
        reset();
        address = other.address;
        header = other.header;
        setData(other.data.get(), other.length);
    }
    return *this;
}

void NetworkMessage::setData(const char *bytes, unsigned long count)
{
    data.reset();
    length = 0;
    if (!bytes || count == 0) {
        return;
    }
    data = std::make_unique<char[]>(count);
    std::memcpy(data.get(), bytes, count);
    length = count;
}

void NetworkMessage::reset()
{
    data.reset();
    length = 0;
}

void KwexMessenger::setSessionProperties(unsigned long long sessionId, const char *userId, unsigned short sessionCode,
                                         unsigned char sessionTag)
{
    mSessionId = sessionId;
    mUserId = makeUserId(userId);
    mSessionCode = sessionCode;
    mSessionTag = sessionTag;
}

bool KwexMessenger::sendMessage(TCPManager *manager, const char *data, unsigned long length,
                                eMessageRoutingType routing, eMessageEncryptionType encryption, const char *recipientId)
{
    if (!manager || (length != 0 && !data) || manager->getState() != TCPManager::kStateConnected ||
        length > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    // The user id is stored without a terminator: hand the header a copy
    // that has one.
    char sender[kUserIdBytes + 1] = {};
    std::memcpy(sender, mUserId.data(), kUserIdBytes);
    const TCPHeader header(static_cast<unsigned int>(length), routing, encryption, mSessionId, sender, recipientId,
                           mSessionCode, mSessionTag);
    std::unique_ptr<char[]> block(new (std::nothrow) char[TCPHeader::kSize + length]);
    if (!block) {
        return false;
    }
    unsigned long size = 0;
    header.serialize(block.get(), size);
    if (length != 0) {
        std::memcpy(block.get() + size, data, length);
    }
    unsigned long total = size + length;
    return manager->sendData(block.get(), total);
}

bool KwexMessenger::appendData(const char *data, unsigned long length)
{
    if (!data || length == 0) {
        return true;
    }
    // First complete the frame the buffer has begun, taking from the new
    // bytes only what it lacks.
    while (!mBuffer.empty() && length != 0) {
        const bool haveHeader = mBuffer.size() >= TCPHeader::kSize;
        const std::size_t target = TCPHeader::kSize + (haveHeader ? mCurrentHeader.payloadLength : 0);
        const std::size_t take = std::min<std::size_t>(target - mBuffer.size(), length);
        mBuffer.append(data, take);
        data += take;
        length -= take;
        if (!haveHeader && mBuffer.size() == TCPHeader::kSize && !acceptHeader(mBuffer.data())) {
            return false;
        }
        if (mBuffer.size() == TCPHeader::kSize + mCurrentHeader.payloadLength) {
            mReady.append(mBuffer);
            ++mReadyCount;
            mBuffer.clear();
        }
    }
    if (!mBuffer.empty()) {
        return true; // every new byte went into the begun message
    }
    // Then take whole frames straight from the caller's bytes, in one copy;
    // only an incomplete tail waits in the buffer.
    std::size_t at = 0;
    std::size_t frames = 0;
    bool accepted = true;
    while (length - at >= TCPHeader::kSize) {
        accepted = acceptHeader(data + at);
        if (!accepted) {
            break;
        }
        const std::size_t frame = TCPHeader::kSize + mCurrentHeader.payloadLength;
        if (length - at < frame) {
            break;
        }
        at += frame;
        ++frames;
    }
    // The messages before a refused header are whole: they stay queued.
    mReady.append(data, at);
    mReadyCount += frames;
    if (accepted) {
        mBuffer.assign(data + at, length - at);
    }
    return accepted;
}

bool KwexMessenger::acceptHeader(const char *bytes)
{
    TCPHeader header;
    (void)header.deserialize(bytes, TCPHeader::kSize);
    if (header.payloadLength > kMaxPayloadBytes) {
        resetReceiveState();
        return false;
    }
    mCurrentHeader = header;
    return true;
}

void KwexMessenger::resetReceiveState()
{
    // Release the memory too: nothing of a refused stream stays behind.
    std::string().swap(mBuffer);
    mCurrentHeader = TCPHeader();
}

bool KwexMessenger::getNextMessage(NetworkMessage &out)
{
    if (mReadyCount == 0) {
        return false;
    }
    const char *frame = mReady.data() + mReadyAt;
    TCPHeader header;
    (void)header.deserialize(frame, mReady.size() - mReadyAt);
    out.reset();
    out.address = NetworkAddress();
    out.header = header;
    out.setData(frame + TCPHeader::kSize, header.payloadLength);
    mReadyAt += TCPHeader::kSize + header.payloadLength;
    if (--mReadyCount == 0) {
        mReady.clear();
        mReadyAt = 0;
    }
    return true;
}

} // namespace KwexNet
