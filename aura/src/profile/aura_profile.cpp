#include "profile/aura_profile.h"

#include "base/aura_memory.h"
#include "base/aura_memorytracker.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_profile";

// Pending bytes a client may hold before packets for it are dropped: a tool
// that stops reading costs the game no more than this.
constexpr unsigned int MAX_PENDING = 4u << 20;

std::mutex gProfileLock; // guards the server and module slots below
AURA::Profile *gProfile = nullptr;
AURA::ProfileModule *gModules[AURA::PROFILE_MODULE_KINDS] = {};

uint32_t readLE32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

unsigned int nowMs()
{
    unsigned int ms = 0;
    (void)AURA_OS_Time_GetMs(&ms);
    return ms;
}

} // namespace

namespace AURA {

// ---------------------------------------------------------------------------
// Modules

ProfileModule::ProfileModule()
{
    mNode.initNode();
    mNode.mData = this;
}

AURA_RESULT ProfileModule::update(SystemI *, unsigned int)
{
    return AURA_OK;
}

AURA_RESULT ProfileModule::getMemoryUsedImpl(MemoryTracker *)
{
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Clients

ProfileClient::ProfileClient()
{
    mNode.initNode();
    mNode.mData = this;
}

ProfileClient::~ProfileClient()
{
    (void)release();
}

AURA_RESULT ProfileClient::init(AURA_OS_SOCKET socket)
{
    mBuffer = static_cast<uint8_t *>(AURA_Memory_Alloc(BUFFER_SIZE));
    if (!mBuffer) {
        return AURA_ERR_MEMORY;
    }
    mBufferSize = BUFFER_SIZE;
    mSocket = socket;
    // The game's update must never wait for a tool.
    const int flags = fcntl(socket, F_GETFL, 0);
    if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) {
        markDead();
    }
    return AURA_OK;
}

AURA_RESULT ProfileClient::release()
{
    if (mSocket != AURA_OS_INVALID_SOCKET) {
        (void)AURA_OS_Net_Close(mSocket);
        mSocket = AURA_OS_INVALID_SOCKET;
    }
    if (mBuffer) {
        AURA_Memory_Free(mBuffer);
        mBuffer = nullptr;
    }
    return AURA_OK;
}

const ProfileClient::Request *ProfileClient::findRequest(uint8_t type, uint8_t subtype) const
{
    for (const Request &request : mRequests) {
        if (request.type == type && request.subtype == subtype) {
            return &request;
        }
    }
    return nullptr;
}

AURA_RESULT ProfileClient::requestDataType(unsigned char type, unsigned char subtype, unsigned int interval)
{
    if (auto *existing = const_cast<Request *>(findRequest(type, subtype))) {
        if (interval) {
            existing->interval = interval;
        } else {
            *existing = Request{};
        }
        return AURA_OK;
    }
    for (Request &request : mRequests) {
        if (request.type == 0xFF) {
            request = Request{type, subtype, interval, 0};
            return AURA_OK;
        }
    }
    return AURA_OK; // no room: ignored
}

bool ProfileClient::wantsData(const ProfilePacketHeader *packet) const
{
    if (isDead()) {
        return false;
    }
    const Request *request = findRequest(packet->type, packet->subtype);
    // Interval 0 takes every packet, also two published in one millisecond.
    return request && (request->interval == 0 || request->interval < packet->timestamp - request->lastTimestamp);
}

AURA_RESULT ProfileClient::addPacket(const ProfilePacketHeader *packet)
{
    if (isDead()) {
        return AURA_OK;
    }
    const unsigned int size = packet->size;
    // Pending bytes move to the front, so the room behind them is whole.
    if (mBufferSendPos > 0) {
        std::memmove(mBuffer, mBuffer + mBufferSendPos, mBufferWritePos - mBufferSendPos);
        mBufferWritePos -= mBufferSendPos;
        mBufferSendPos = 0;
    }
    if (mBufferWritePos + size > mBufferSize) {
        const AURA_RESULT flushed = sendData();
        if (flushed != AURA_OK && flushed != AURA_ERR_NET_WOULD_BLOCK) {
            markDead();
            return AURA_OK;
        }
        if (mBufferSendPos > 0) {
            std::memmove(mBuffer, mBuffer + mBufferSendPos, mBufferWritePos - mBufferSendPos);
            mBufferWritePos -= mBufferSendPos;
            mBufferSendPos = 0;
        }
    }
    if (mBufferWritePos + size > mBufferSize) {
        if (mBufferWritePos + size > MAX_PENDING) {
            return AURA_OK; // the tool is not reading: this packet is dropped
        }
        const unsigned int capacity = ((mBufferWritePos + size) / BUFFER_SIZE + 1) * BUFFER_SIZE;
        auto *grown = static_cast<uint8_t *>(AURA_Memory_Alloc(capacity));
        if (!grown) {
            return AURA_ERR_MEMORY;
        }
        std::memcpy(grown, mBuffer, mBufferWritePos);
        AURA_Memory_Free(mBuffer);
        mBuffer = grown;
        mBufferSize = capacity;
    }
    if (auto *request = const_cast<Request *>(findRequest(packet->type, packet->subtype))) {
        request->lastTimestamp = packet->timestamp;
    }
    std::memcpy(mBuffer + mBufferWritePos, packet, size);
    mBufferWritePos += size;
    return AURA_OK;
}

AURA_RESULT ProfileClient::sendData()
{
    while (mBufferSendPos < mBufferWritePos) {
        const unsigned int piece = std::min(mBufferWritePos - mBufferSendPos, BUFFER_SIZE);
        unsigned int sent = 0;
        const AURA_RESULT result = AURA_OS_Net_Write(mSocket, mBuffer + mBufferSendPos, piece, &sent);
        // What went out stays out, also when the socket would block midway.
        mBufferSendPos += sent;
        if (result != AURA_OK) {
            return result;
        }
    }
    mBufferSendPos = 0;
    mBufferWritePos = 0;
    return AURA_OK;
}

AURA_RESULT ProfileClient::readData()
{
    for (;;) {
        // The header first, then the rest of the packet; either may come in
        // pieces over several ticks.
        unsigned int needed = sizeof(ProfilePacketHeader);
        if (mReceived >= sizeof(ProfilePacketHeader)) {
            needed = readLE32(mReceive);
        }
        unsigned int got = 0;
        const AURA_RESULT result = AURA_OS_Net_Read(mSocket, mReceive + mReceived, needed - mReceived, &got);
        mReceived += got;
        if (result == AURA_ERR_NET_WOULD_BLOCK) {
            return AURA_OK;
        }
        if (result != AURA_OK) {
            markDead(); // closed by the tool, or broken
            return AURA_OK;
        }
        if (mReceived == sizeof(ProfilePacketHeader)) {
            const uint32_t size = readLE32(mReceive);
            if (size < sizeof(ProfilePacketHeader) || size > sizeof(mReceive)) {
                markDead();
                return AURA_OK;
            }
            if (size > sizeof(ProfilePacketHeader)) {
                continue;
            }
        }
        const auto *header = reinterpret_cast<const ProfilePacketHeader *>(mReceive);
        if (header->type == PROFILE_PACKET_REQUEST && header->subtype == 0 &&
            mReceived >= sizeof(ProfilePacketDataRequest)) {
            (void)requestDataType(mReceive[12], mReceive[13], readLE32(mReceive + 14));
        }
        mReceived = 0;
    }
}

AURA_RESULT ProfileClient::update(unsigned int)
{
    if (isDead()) {
        return AURA_OK;
    }
    (void)readData();
    if (isDead()) {
        return AURA_OK;
    }
    const AURA_RESULT result = sendData();
    return result == AURA_ERR_NET_WOULD_BLOCK ? AURA_OK : result;
}

// ---------------------------------------------------------------------------
// Server

Profile::Profile()
{
    mClientHead.initNode();
    mModuleHead.initNode();
}

Profile::~Profile()
{
    (void)release();
}

AURA_RESULT Profile::init(unsigned short port)
{
    AURA_RESULT result = AURA_OS_Net_Init();
    if (result != AURA_OK) {
        return result;
    }
    mNetStarted = true;
    // Its packets carry heap addresses: only this machine may connect.
    result = AURA_OS_Net_Listen(port ? port : PROFILE_DEFAULT_PORT, &mListenSocket, true);
    if (result == AURA_OK) {
        result = AURA_OS_Net_GetPort(mListenSocket, &mPort);
    }
    if (result == AURA_OK) {
        result = AURA_OS_CriticalSection_Create(&mCrit);
    }
    if (result != AURA_OK) {
        (void)release();
        return result;
    }
    mStartTime = nowMs();
    return AURA_OK;
}

AURA_RESULT Profile::release()
{
    while (!mClientHead.isEmpty()) {
        auto *client = static_cast<ProfileClient *>(mClientHead.mNext->mData);
        client->mNode.removeNode();
        AURA_Delete(client);
    }
    while (!mModuleHead.isEmpty()) {
        auto *module = static_cast<ProfileModule *>(mModuleHead.mNext->mData);
        module->mNode.removeNode();
        (void)module->release();
        AURA_Delete(module);
    }
    if (mListenSocket != AURA_OS_INVALID_SOCKET) {
        (void)AURA_OS_Net_Close(mListenSocket);
        mListenSocket = AURA_OS_INVALID_SOCKET;
    }
    if (mCrit) {
        (void)AURA_OS_CriticalSection_Free(mCrit);
        mCrit = nullptr;
    }
    if (mNetStarted) {
        (void)AURA_OS_Net_Shutdown();
        mNetStarted = false;
    }
    return AURA_OK;
}

AURA_RESULT Profile::registerModule(ProfileModule *module)
{
    if (!module) {
        return AURA_ERR_INVALID_PARAM;
    }
    module->mNode.addBefore(mModuleHead);
    return AURA_OK;
}

AURA_RESULT Profile::unRegisterModule(ProfileModule *module)
{
    if (!module) {
        return AURA_ERR_INVALID_PARAM;
    }
    module->mNode.removeNode();
    return AURA_OK;
}

int Profile::clientCount() const
{
    CriticalSectionGuard guard(mCrit);
    int count = 0;
    for (const LinkedListNode *node = mClientHead.mNext; node != &mClientHead; node = node->mNext) {
        ++count;
    }
    return count;
}

AURA_RESULT Profile::update(SystemI *system, unsigned int delta)
{
    mTimeSinceLastUpdate += delta;
    if (mTimeSinceLastUpdate < PROFILE_TICK_MS) {
        return AURA_OK;
    }
    const unsigned int elapsed = mTimeSinceLastUpdate;
    mTimeSinceLastUpdate = 0;

    AURA_OS_SOCKET accepted = AURA_OS_INVALID_SOCKET;
    if (AURA_OS_Net_Accept(mListenSocket, &accepted) == AURA_OK) {
        auto *client = AURA_New(ProfileClient);
        if (!client) {
            (void)AURA_OS_Net_Close(accepted);
            return AURA_ERR_MEMORY;
        }
        if (client->init(accepted) != AURA_OK) {
            AURA_Delete(client);
            return AURA_ERR_MEMORY;
        }
        CriticalSectionGuard guard(mCrit);
        client->mNode.addBefore(mClientHead);
    }

    for (LinkedListNode *node = mModuleHead.mNext; node != &mModuleHead; node = node->mNext) {
        auto *module = static_cast<ProfileModule *>(node->mData);
        AURA_RESULT result = AURA_OK;
        if (module->mUpdateInterval == 0) {
            result = module->update(system, elapsed);
            module->mTimeSinceLastUpdate = 0;
        } else {
            module->mTimeSinceLastUpdate += elapsed;
            if (module->mTimeSinceLastUpdate > module->mUpdateInterval) {
                result = module->update(system, module->mTimeSinceLastUpdate);
                module->mTimeSinceLastUpdate = 0;
            }
        }
        if (result != AURA_OK) {
            return result;
        }
    }

    // A client whose socket failed is dead and goes; the others go on.
    CriticalSectionGuard guard(mCrit);
    for (LinkedListNode *node = mClientHead.mNext; node != &mClientHead;) {
        auto *client = static_cast<ProfileClient *>(node->mData);
        node = node->mNext;
        if (client->update(elapsed) != AURA_OK || client->isDead()) {
            client->mNode.removeNode();
            AURA_Delete(client);
        }
    }
    return AURA_OK;
}

AURA_RESULT Profile::addPacket(ProfilePacketHeader *packet)
{
    if (!packet || packet->size < sizeof(ProfilePacketHeader)) {
        return AURA_ERR_INVALID_PARAM;
    }
    CriticalSectionGuard guard(mCrit);
    packet->timestamp = nowMs() - mStartTime;
    for (LinkedListNode *node = mClientHead.mNext; node != &mClientHead; node = node->mNext) {
        auto *client = static_cast<ProfileClient *>(node->mData);
        if (client->wantsData(packet)) {
            const AURA_RESULT result = client->addPacket(packet);
            if (result != AURA_OK) {
                return result;
            }
        }
    }
    return AURA_OK;
}

AURA_RESULT Profile::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (!tracker) {
        return AURA_OK;
    }
    tracker->add(false, MEMBITS_PROFILE, sizeof(*this));
    CriticalSectionGuard guard(mCrit);
    for (LinkedListNode *node = mClientHead.mNext; node != &mClientHead; node = node->mNext) {
        auto *client = static_cast<ProfileClient *>(node->mData);
        tracker->add(false, MEMBITS_PROFILE, sizeof(*client) + client->capacity());
    }
    for (LinkedListNode *node = mModuleHead.mNext; node != &mModuleHead; node = node->mNext) {
        (void)static_cast<ProfileModule *>(node->mData)->getMemoryUsedImpl(tracker);
    }
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// The process's server

AURA_RESULT AURA_Profile_Create(unsigned short port)
{
    std::lock_guard<std::mutex> lock(gProfileLock);
    if (gProfile) {
        return AURA_OK;
    }
    auto *profile = AURA_New(Profile);
    if (!profile) {
        return AURA_ERR_MEMORY;
    }
    const AURA_RESULT result = profile->init(port);
    if (result != AURA_OK) {
        AURA_Delete(profile);
        return result;
    }
    gProfile = profile;
    gGlobal->mProfiler = profile;
    return AURA_OK;
}

AURA_RESULT AURA_Profile_AddModule(int kind, ProfileModule *module)
{
    if (!module || kind < 0 || kind >= PROFILE_MODULE_KINDS) {
        return AURA_ERR_INVALID_PARAM;
    }
    std::lock_guard<std::mutex> lock(gProfileLock);
    if (!gProfile || gModules[kind]) {
        (void)module->release();
        AURA_Delete(module);
        return gProfile ? AURA_OK : AURA_ERR_UNINITIALIZED;
    }
    const AURA_RESULT result = module->init();
    if (result != AURA_OK) {
        (void)module->release();
        AURA_Delete(module);
        return result;
    }
    gModules[kind] = module;
    return gProfile->registerModule(module);
}

bool AURA_Profile_HasModule(int kind)
{
    std::lock_guard<std::mutex> lock(gProfileLock);
    return kind >= 0 && kind < PROFILE_MODULE_KINDS && gModules[kind];
}

Profile *AURA_Profile_Get()
{
    std::lock_guard<std::mutex> lock(gProfileLock);
    return gProfile;
}

AURA_RESULT AURA_Profile_Update(SystemI *system, unsigned int delta)
{
    Profile *profile = AURA_Profile_Get();
    return profile ? profile->update(system, delta) : AURA_ERR_UNINITIALIZED;
}

AURA_RESULT AURA_Profile_Release()
{
    Profile *profile = nullptr;
    {
        std::lock_guard<std::mutex> lock(gProfileLock);
        profile = gProfile;
        gProfile = nullptr;
        gGlobal->mProfiler = nullptr;
        std::fill(std::begin(gModules), std::end(gModules), nullptr);
    }
    if (profile) {
        AURA_Delete(profile);
    }
    return AURA_OK;
}

} // namespace AURA
