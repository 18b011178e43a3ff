// The socket server's messages: a 92-byte header, then the payload.
//
// Serialization: big-endian primitive encoders. The writers write into room
// the caller provides; every reader is told how many bytes are left and
// consumes nothing (returns 0) when they are too few.
//
// KwexMessenger frames outgoing messages onto a TCPManager and reassembles
// incoming ones from the bytes its owner hands over. A header announcing a
// payload over kMaxPayloadBytes is a broken or hostile peer: appendData
// then fails and forgets everything buffered, and the owner drops the
// connection. The owner calls resetReceiveState() whenever it starts a new
// connection, so no byte of an old stream completes a message of the new one.
//
// Main thread only, like the TCPManager it sends through.
#ifndef KWEXNET_KWEX_MESSENGER_H
#define KWEXNET_KWEX_MESSENGER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kwexnet/network.h"

namespace KwexNet {

class TCPManager;

namespace Serialization {

unsigned long serialize_uint16(unsigned short value, char *out);
unsigned long serialize_uint32(unsigned int value, char *out);
unsigned long serialize_uint64(unsigned long long value, char *out);
// A 32-bit length, then the bytes; no terminator.
unsigned long serialize_string(const std::string &value, char *out);

// Each returns the bytes consumed, or 0 (value untouched) when `available`
// is too small.
unsigned long deserialize_uint16(unsigned short &value, const char *in, std::size_t available);
unsigned long deserialize_uint32(unsigned int &value, const char *in, std::size_t available);
unsigned long deserialize_uint64(unsigned long long &value, const char *in, std::size_t available);
unsigned long deserialize_string(std::string &value, const char *in, std::size_t available);

} // namespace Serialization

// Chosen by the sender; the socket server gives them their meaning.
enum eMessageRoutingType : unsigned char {
    kMessageRoutingRoom = 1, // messages to the players of a room
    kMessageRoutingRegister = 254, // the client's registration
};
enum eMessageEncryptionType : unsigned char {
    kMessageEncryptionNone = 0,
};

// The login service's user ids: 36 characters (8-4-4-4-12), no terminator.
inline constexpr std::size_t kUserIdBytes = 36;
using UserId = std::array<char, kUserIdBytes>;

// Copies at most 36 bytes of `text` (stopping at its terminator) and fills
// the rest with zeros; a null text gives 36 zeros.
[[nodiscard]] UserId makeUserId(const char *text);

struct TCPHeader {
    static constexpr std::size_t kSize = 92;

    std::uint32_t payloadLength = 0;
    std::uint8_t routingType = 0;
    std::uint8_t encryptionType = 0;
    std::uint64_t sessionId = 0;
    UserId senderId{};
    UserId recipientId{};
    std::uint16_t sessionCode = 0;
    std::uint8_t sessionTag = 0;
    std::uint8_t reservedByte = 0;
    std::uint16_t reservedWord = 0;

    TCPHeader() = default;
    TCPHeader(unsigned int payloadLength, eMessageRoutingType routing, eMessageEncryptionType encryption,
              unsigned long long sessionId, const char *senderId, const char *recipientId, unsigned short sessionCode,
              unsigned char sessionTag);

    // Writes the 92 wire bytes into `out` (room for kSize) and sets size.
    void serialize(char *out, unsigned long &size) const;
    // Reads the 92 wire bytes; false (nothing changed) when size is short.
    [[nodiscard]] bool deserialize(const char *in, std::size_t size);

    friend bool operator==(const TCPHeader &, const TCPHeader &) = default;
};

struct NetworkMessage {
    NetworkMessage() = default;
    ~NetworkMessage() = default;
    NetworkMessage(const NetworkMessage &other);
    NetworkMessage &operator=(const NetworkMessage &other);
    NetworkMessage(NetworkMessage &&) noexcept = default;
    NetworkMessage &operator=(NetworkMessage &&) noexcept = default;

    // Replaces the payload with a copy of `length` bytes (none when null).
    void setData(const char *bytes, unsigned long length);
    void reset();

    [[nodiscard]] const char *getData() const { return data.get(); }
    [[nodiscard]] unsigned long getLength() const { return length; }

    std::unique_ptr<char[]> data;
    unsigned long length = 0;
    NetworkAddress address;
    TCPHeader header;
};

class KwexMessenger {
public:
    // The largest payload a received header may announce.
    static constexpr std::uint32_t kMaxPayloadBytes = 1u << 20;

    KwexMessenger() = default;
    KwexMessenger(const KwexMessenger &) = delete;
    KwexMessenger &operator=(const KwexMessenger &) = delete;

    void setSessionProperties(unsigned long long sessionId, const char *userId, unsigned short sessionCode,
                              unsigned char sessionTag);

    // Sends one message (header and payload in one block) through
    // `manager`. False when the manager is null or not connected, when
    // data is null with a non-zero length, when the length does not fit the
    // header, or when the block cannot be allocated.
    [[nodiscard]] bool sendMessage(TCPManager *manager, const char *data, unsigned long length,
                                   eMessageRoutingType routing, eMessageEncryptionType encryption,
                                   const char *recipientId);

    // Feeds received bytes; complete messages join the queue. False when a
    // header announced more than kMaxPayloadBytes: everything buffered is
    // dropped and the owner should disconnect. Null or empty input is
    // ignored (true).
    [[nodiscard]] bool appendData(const char *data, unsigned long length);
    // Forgets partial headers and payloads (not the queued messages).
    void resetReceiveState();

    [[nodiscard]] bool hasMessages() const { return mReadyCount != 0; }
    [[nodiscard]] bool getNextMessage(NetworkMessage &out);

    [[nodiscard]] unsigned long long getSessionId() const { return mSessionId; }
    [[nodiscard]] const UserId &getUserId() const { return mUserId; }
    // Bytes of the incomplete message held back (its header included).
    [[nodiscard]] std::size_t bufferedBytes() const { return mBuffer.size(); }
    // Capacity of the receive buffer, for checks on its growth.
    [[nodiscard]] std::size_t bufferCapacity() const { return mBuffer.capacity(); }

private:
    // Decodes a header into mCurrentHeader; false (and the receive state
    // reset) when it announces more than kMaxPayloadBytes.
    bool acceptHeader(const char *bytes);

    unsigned long long mSessionId = 0;
    unsigned short mSessionCode = 0;
    unsigned char mSessionTag = 0;
    UserId mUserId{};

    // The incomplete message, from its first header byte; never more than
    // one header and kMaxPayloadBytes.
    std::string mBuffer;
    TCPHeader mCurrentHeader; // the buffered message's, once 92 bytes are in
    // The queue: whole messages as they came off the wire, oldest first,
    // decoded as they are taken. One large delivery of many small
    // messages is copied once and needs no allocation per message.
    std::string mReady;
    std::size_t mReadyAt = 0;
    std::size_t mReadyCount = 0;
};

} // namespace KwexNet

#endif // KWEXNET_KWEX_MESSENGER_H
