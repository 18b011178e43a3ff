#include "kwexnet/kwex_messenger.h"

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

unsigned long serialize_uint16(unsigned short value, char *out) { return writeBigEndian(value, out); }
unsigned long serialize_uint32(unsigned int value, char *out) { return writeBigEndian(value, out); }
unsigned long serialize_uint64(unsigned long long value, char *out) { return writeBigEndian(value, out); }

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
    : payloadLength(payloadLength), routingType(routing), encryptionType(encryption), sessionId(sessionId),
      senderId(makeUserId(senderId)), recipientId(makeUserId(recipientId)), sessionCode(sessionCode),
      sessionTag(sessionTag)
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

NetworkMessage::NetworkMessage(const NetworkMessage &other) : address(other.address), header(other.header)
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
                                eMessageRoutingType routing, eMessageEncryptionType encryption,
                                const char *recipientId)
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
    compact();
    mBuffer.append(data, length);
    for (;;) {
        const std::size_t left = mBuffer.size() - mRead;
        if (mAwaitingHeader) {
            if (!mCurrentHeader.deserialize(mBuffer.data() + mRead, left)) {
                break;
            }
            if (mCurrentHeader.payloadLength > kMaxPayloadBytes) {
                resetReceiveState();
                return false;
            }
            mRead += TCPHeader::kSize;
            mAwaitingHeader = false;
            continue;
        }
        if (left < mCurrentHeader.payloadLength) {
            break;
        }
        NetworkMessage message;
        message.header = mCurrentHeader;
        message.setData(mBuffer.data() + mRead, mCurrentHeader.payloadLength);
        mQueue.push_back(std::move(message));
        mRead += mCurrentHeader.payloadLength;
        mAwaitingHeader = true;
    }
    if (mRead == mBuffer.size()) {
        mBuffer.clear();
        mRead = 0;
    }
    return true;
}

void KwexMessenger::resetReceiveState()
{
    // Release the memory too: a refused giant header must not leave a
    // giant buffer behind.
    std::string().swap(mBuffer);
    mRead = 0;
    mAwaitingHeader = true;
    mCurrentHeader = TCPHeader();
}

void KwexMessenger::compact()
{
    // Drops consumed bytes once they are at least half the buffer, so each
    // byte moves a bounded number of times.
    if (mRead != 0 && mRead * 2 >= mBuffer.size()) {
        mBuffer.erase(0, mRead);
        mRead = 0;
    }
}

bool KwexMessenger::getNextMessage(NetworkMessage &out)
{
    if (mQueue.empty()) {
        return false;
    }
    out = std::move(mQueue.front());
    mQueue.pop_front();
    return true;
}

} // namespace KwexNet
