// A file whose name is a URL: a small HTTP/1.1 client for internet radio and
// files on web servers. It follows redirects, reads Shoutcast and Icecast
// headers into tags, undoes chunked transfer coding, takes the in-band ICY
// metadata blocks out of the audio bytes and turns their titles into tags.
// It reads forward only: a forward seek skips bytes, a backward one fails.
#ifndef AURA_FILE_NET_H
#define AURA_FILE_NET_H

#include "aura_codec.h"
#include "file/aura_file.h"

#include <atomic>
#include <cstdint>
#include <cstddef>
#include <mutex>

extern "C" {
// Process-wide proxy settings, written by the system's network settings.
// NetFile reads them under AURA_Net_LockSettings; writers take the same lock.
extern char *AURA_Net_ProxyHostname;    // null: no proxy
extern unsigned short AURA_Net_ProxyPort;
extern char *AURA_Net_ProxyAuth;        // Base64 of "user:password", null: none

// line/length: a status line; receives the protocol (0 "HTTP/1.0", 1
// "HTTP/1.1", 2 "ICY") and the status code. 37 when either word is missing.
AURA_RESULT AURA_Net_ParseHTTPStatus(char *line, int length, int *protocol, int *status);
// Base64 (RFC 4648, padded) of a NUL-terminated text, NUL-terminated; 37 for
// null pointers or when the result and its terminator do not fit.
AURA_RESULT AURA_Net_EncodeBase64(char *text, char *output, int capacity);
}

namespace AURA {

class Metadata;

// Guards the proxy globals above.
std::mutex &AURA_Net_SettingsLock();

class NetFile : public File {
public:
    static constexpr int DEVICE_TYPE = 3;
    static constexpr int URL_LENGTH = 256;
    static constexpr int HOST_LENGTH = 255;
    static constexpr int PATH_LENGTH = 255;
    static constexpr int AUTH_LENGTH = 4096;
    static constexpr int LINE_LENGTH = 8192;
    static constexpr int MAX_REDIRECTS = 16;
    static constexpr unsigned int MAX_READ = 4096;
    static constexpr unsigned int SKIP_BUFFER = 16384;
    static constexpr unsigned int METADATA_BUFFER = 255 * 16 + 1;
    static constexpr unsigned int RECEIVE_BUFFER = 65536;

    enum class ServerKind : int { Unknown = -1, HTTP = 1, Shoutcast = 2, Icecast = 3 };
    enum class StreamFormat : int { Unknown = 0, Ogg = 3, Icy = 4 };

    NetFile();
    ~NetFile() override;

    using File::init;
    // Start and stop the platform network layer. Every successful open
    // holds one use of it until its close.
    static AURA_RESULT init();
    static AURA_RESULT shutDown();

    // The proxy of every net file: "[user:password@]host[:port]", null or
    // empty for none. 37 when it does not parse or does not fit.
    static AURA_RESULT setProxy(const char *proxy);
    static AURA_RESULT getProxy(char *proxy, int capacity);

    // Replaces the connect of every net file (null: the OS layer's), so a
    // fuzzer can hand it the server's bytes without a network.
    using ConnectHook = AURA_RESULT (*)(const char *host, unsigned short port, int *sock);
    static void setConnectHook(ConnectHook hook);

    // True when the name is a URL of a scheme this class serves.
    [[nodiscard]] static bool isURL(const char *name);

    AURA_RESULT reallyOpen(const char *name, unsigned int *filesize) override;
    AURA_RESULT reallyClose() override;
    AURA_RESULT reallyRead(void *buffer, unsigned int size, unsigned int *read) override;
    AURA_RESULT reallySeek(unsigned int position) override;
    AURA_RESULT reallyCancel() override;
    AURA_RESULT getMetadata(Metadata **metadata) override;
    AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker) override;

    // Splits a URL into host, Base64 credentials (when the URL carries
    // user information and auth is given), port and path. 37 for an unknown
    // scheme, parts too long for their buffers or a port outside 1..65535.
    static AURA_RESULT parseUrl(const char *url, char *host, int hostlen, char *auth, int authlen,
                                unsigned short *port, char *path, int pathlen, bool *mms);
    AURA_RESULT openAsHTTP(const char *url, char *host, char *path, char *auth, unsigned short port,
                           unsigned int *filesize);
    AURA_RESULT openAsMMS(const char *url, char *host, char *path, char *auth, unsigned short port,
                          unsigned int *filesize);

    // Read-only views for tests and tools.
    [[nodiscard]] ServerKind serverKind() const { return mServerKind; }
    [[nodiscard]] int httpStatus() const { return mHTTPStatus; }
    [[nodiscard]] unsigned int metadataInterval() const { return mMetadataInterval; }
    [[nodiscard]] StreamFormat streamFormat() const { return mStreamFormat; }

private:
    // Body bytes with the chunked coding undone: exactly size bytes unless
    // the body ends (22) or the socket fails.
    AURA_RESULT readBody(void *buffer, unsigned int size, unsigned int *read);
    // Reads a metadata block at a metadata point; tags are made when asked.
    AURA_RESULT readMetadataBlock(bool makeTags);
    void parseMetadata();
    AURA_RESULT addStreamTag(const char *name, const char *value, std::size_t length, bool replace,
                             AURA_TAGTYPE type);
    AURA_RESULT readHeaders(const char *url, unsigned int *filesize);
    AURA_RESULT readLine(char *line, unsigned int capacity);
    // The socket's bytes through the receive buffer: exactly size bytes
    // unless the peer closes (22) or the socket fails.
    AURA_RESULT receive(void *buffer, unsigned int size, unsigned int *got);
    // One recv of what has come (at least a byte), waiting at most the
    // time-out.
    AURA_RESULT receiveSome(void *buffer, unsigned int size, unsigned int *got);
    AURA_RESULT nextChunk();
    void closeSocket();

    std::atomic<int> mSocket{-1};
    std::atomic<bool> mCancelled{false};
    ServerKind mServerKind = ServerKind::Unknown;
    unsigned int mPosition = 0;
    int mHTTPStatus = 0;
    unsigned int mMetadataInterval = 0;
    unsigned int mBytesToMetadata = 0;
    char *mMetadataBuffer = nullptr;
    StreamFormat mStreamFormat = StreamFormat::Unknown;
    bool mChunked = false;
    bool mChunkEnded = false;
    bool mChunkDataEnded = false; // the line after a chunk's data is still to come
    unsigned int mChunkRemaining = 0;
    bool mNetStarted = false;

    // Bytes received ahead of the reader: a recv takes whatever has come, so
    // a body is read in few system calls whatever the callers' pieces.
    uint8_t *mReceived = nullptr;
    unsigned int mReceivedStart = 0;
    unsigned int mReceivedEnd = 0;

    // Tags arrive on the file thread while the codec collects them on
    // another: new and changed tags wait in mPending under mTagLock, and
    // getMetadata moves them to mTags, which only the collector touches.
    std::mutex mTagLock;
    Metadata *mPending = nullptr;
    Metadata *mTags = nullptr;
};

} // namespace AURA

#endif // AURA_FILE_NET_H
