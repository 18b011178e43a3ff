// The network profiler: a small TCP server, ticked by the system's update,
// to which a profiling tool connects and asks for packets of the kinds it
// wants (CPU use, the DSP graph), each no more often than it says. Modules
// sample the engine and publish packets; the server hands each one to the
// clients that want it. Nothing of it exists unless a system asks for it.
#ifndef AURA_PROFILE_H
#define AURA_PROFILE_H

#include "aura.h"
#include "base/aura_globals.h"
#include "os/aura_os.h"

#include <cstdint>

namespace AURA {

class SystemI;
class MemoryTracker;

// Every packet, either way, starts with this header; all numbers are
// little-endian and records are packed.
#pragma pack(push, 1)
struct ProfilePacketHeader {
    uint32_t size;      // of the whole packet, header included
    uint32_t timestamp; // ms since the server started, set when published
    uint8_t type;
    uint8_t subtype;
    uint8_t version;
    uint8_t pad;
};
// A client's request: packets of (type, subtype) at most every interval ms
// (0: every tick); interval 0 for a kind already asked for stops it.
struct ProfilePacketDataRequest {
    ProfilePacketHeader hdr;
    uint8_t type;
    uint8_t subtype;
    uint32_t interval;
};
#pragma pack(pop)
static_assert(sizeof(ProfilePacketHeader) == 12);
static_assert(sizeof(ProfilePacketDataRequest) == 18);

inline constexpr uint8_t PROFILE_PACKET_REQUEST = 0;
inline constexpr uint8_t PROFILE_PACKET_DSP = 1;
inline constexpr uint8_t PROFILE_PACKET_CPU = 3;
inline constexpr unsigned short PROFILE_DEFAULT_PORT = 9264;
inline constexpr unsigned int PROFILE_TICK_MS = 50;

class ProfileModule {
public:
    ProfileModule();
    virtual ~ProfileModule() = default;
    ProfileModule(const ProfileModule &) = delete;
    ProfileModule &operator=(const ProfileModule &) = delete;

    virtual AURA_RESULT init() { return AURA_OK; }
    virtual AURA_RESULT release() { return AURA_OK; }
    virtual AURA_RESULT update(SystemI *system, unsigned int delta);
    virtual AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker);

    LinkedListNode mNode;
    unsigned int mUpdateInterval = 0;     // ms; 0: every tick
    unsigned int mTimeSinceLastUpdate = 0;
};

class ProfileClient {
public:
    static constexpr unsigned int FLAG_DEAD = 0x1;
    static constexpr unsigned int BUFFER_SIZE = 16384;
    static constexpr int MAX_REQUESTS = 32;

    ProfileClient();
    ~ProfileClient();
    ProfileClient(const ProfileClient &) = delete;
    ProfileClient &operator=(const ProfileClient &) = delete;

    AURA_RESULT init(AURA_OS_SOCKET socket);
    AURA_RESULT release();
    AURA_RESULT requestDataType(unsigned char type, unsigned char subtype, unsigned int interval);
    [[nodiscard]] bool wantsData(const ProfilePacketHeader *packet) const;
    AURA_RESULT addPacket(const ProfilePacketHeader *packet);
    AURA_RESULT sendData();
    AURA_RESULT readData();
    AURA_RESULT update(unsigned int delta);

    [[nodiscard]] bool isDead() const { return (mFlags & FLAG_DEAD) != 0; }
    [[nodiscard]] unsigned int capacity() const { return mBufferSize; }

    struct Request {
        uint8_t type = 0xFF; // 0xFF: free
        uint8_t subtype = 0;
        unsigned int interval = 0;
        unsigned int lastTimestamp = 0;
    };

    LinkedListNode mNode;

private:
    [[nodiscard]] const Request *findRequest(uint8_t type, uint8_t subtype) const;
    void markDead() { mFlags |= FLAG_DEAD; }

    unsigned int mFlags = 0;
    AURA_OS_SOCKET mSocket = AURA_OS_INVALID_SOCKET;
    uint8_t *mBuffer = nullptr;
    unsigned int mBufferWritePos = 0;
    unsigned int mBufferSendPos = 0;
    unsigned int mBufferSize = 0;
    Request mRequests[MAX_REQUESTS];
    // A request may arrive in pieces: what has come of the current one.
    uint8_t mReceive[sizeof(ProfilePacketHeader) + BUFFER_SIZE] = {};
    unsigned int mReceived = 0;
};

class Profile {
public:
    Profile();
    ~Profile();
    Profile(const Profile &) = delete;
    Profile &operator=(const Profile &) = delete;

    // Listens on 127.0.0.1 at port (0: 9264).
    AURA_RESULT init(unsigned short port);
    AURA_RESULT release();
    AURA_RESULT update(SystemI *system, unsigned int delta);
    AURA_RESULT registerModule(ProfileModule *module);
    AURA_RESULT unRegisterModule(ProfileModule *module);
    // Stamps the packet and hands it to every client that wants it.
    AURA_RESULT addPacket(ProfilePacketHeader *packet);
    AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker);

    [[nodiscard]] unsigned short port() const { return mPort; }
    [[nodiscard]] int clientCount() const;

private:
    AURA_OS_SOCKET mListenSocket = AURA_OS_INVALID_SOCKET;
    LinkedListNode mClientHead;
    LinkedListNode mModuleHead;
    AURA_OS_CRITICALSECTION *mCrit = nullptr;
    unsigned int mTimeSinceLastUpdate = PROFILE_TICK_MS; // the first update ticks
    unsigned int mStartTime = 0;
    unsigned short mPort = 0;
    bool mNetStarted = false;
};

// The one server of the process, and its modules' slots. Creating a server
// or a module kind that exists is a no-op.
AURA_RESULT AURA_Profile_Create(unsigned short port);
AURA_RESULT AURA_Profile_Update(SystemI *system, unsigned int delta);
AURA_RESULT AURA_Profile_Release();
// The server, or null.
Profile *AURA_Profile_Get();
// Registers a module made by its creator in the slot of its kind (0 CPU,
// 1 DSP, 2 channel, 3 codec); the server releases it. 44 without a module.
AURA_RESULT AURA_Profile_AddModule(int kind, ProfileModule *module);
inline constexpr int PROFILE_MODULE_CPU = 0;
inline constexpr int PROFILE_MODULE_DSP = 1;
inline constexpr int PROFILE_MODULE_KINDS = 4;
[[nodiscard]] bool AURA_Profile_HasModule(int kind);

} // namespace AURA

#endif // AURA_PROFILE_H
