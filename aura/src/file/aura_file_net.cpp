#include "file/aura_file_net.h"

#include "base/aura_memory.h"
#include "base/aura_memorytracker.h"
#include "base/aura_metadata.h"
#include "os/aura_os.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

extern "C" {
char *AURA_Net_ProxyHostname = nullptr;
unsigned short AURA_Net_ProxyPort = 0;
char *AURA_Net_ProxyAuth = nullptr;
}

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_file_net";

constexpr std::string_view kSchemes[] = {"http://", "http:\\\\", "https://", "https:\\\\", "mms://", "mms:\\\\"};

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// The scheme's length, 0 when the text names none of ours.
std::size_t schemeLength(std::string_view url, bool *mms, bool *secure)
{
    for (std::string_view scheme : kSchemes) {
        if (startsWith(url, scheme)) {
            *mms = scheme[0] == 'm';
            *secure = scheme.size() == 8;
            return scheme.size();
        }
    }
    return 0;
}

// A decimal number of at most 10 digits and at most max, nothing after it
// but blanks; false otherwise. atoi would wrap or take "-1".
bool parseDecimal(const char *text, unsigned long long max, unsigned long long *value)
{
    unsigned long long v = 0;
    int digits = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (++digits > 10) {
            return false;
        }
        v = v * 10 + static_cast<unsigned>(*text - '0');
    }
    while (*text == ' ' || *text == '\t') {
        ++text;
    }
    if (digits == 0 || *text != '\0' || v > max) {
        return false;
    }
    *value = v;
    return true;
}

const char *skipBlanks(const char *text)
{
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r') {
        ++text;
    }
    return text;
}

bool endsWithNoCase(std::string_view text, std::string_view suffix)
{
    if (text.size() < 5 || text.size() < suffix.size()) {
        return false;
    }
    text = text.substr(text.size() - suffix.size());
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != suffix[i]) {
            return false;
        }
    }
    return true;
}

// Socket results in terms of an HTTP exchange: a read that waited out the
// time-out is a time-out.
AURA_RESULT netResult(AURA_RESULT result)
{
    return result == AURA_ERR_NET_WOULD_BLOCK ? AURA_ERR_HTTP_TIMEOUT : result;
}

struct HeaderTag {
    std::string_view prefix;
    AURA::NetFile::ServerKind kind;
};

constexpr HeaderTag kHeaderTags[] = {
    {"icy-br:", AURA::NetFile::ServerKind::Shoutcast},          {"icy-pub:", AURA::NetFile::ServerKind::Shoutcast},
    {"icy-notice1:", AURA::NetFile::ServerKind::Shoutcast},     {"icy-notice2:", AURA::NetFile::ServerKind::Shoutcast},
    {"icy-name:", AURA::NetFile::ServerKind::Shoutcast},        {"icy-genre:", AURA::NetFile::ServerKind::Shoutcast},
    {"icy-url:", AURA::NetFile::ServerKind::Shoutcast},         {"icy-irc:", AURA::NetFile::ServerKind::Shoutcast},
    {"icy-icq:", AURA::NetFile::ServerKind::Shoutcast},         {"icy-aim:", AURA::NetFile::ServerKind::Shoutcast},
    {"ice-bitrate: ", AURA::NetFile::ServerKind::Icecast},      {"ice-description: ", AURA::NetFile::ServerKind::Icecast},
    {"ice-public: ", AURA::NetFile::ServerKind::Icecast},       {"ice-name: ", AURA::NetFile::ServerKind::Icecast},
    {"ice-genre: ", AURA::NetFile::ServerKind::Icecast},        {"ice-url: ", AURA::NetFile::ServerKind::Icecast},
    {"ice-irc: ", AURA::NetFile::ServerKind::Icecast},          {"ice-icq: ", AURA::NetFile::ServerKind::Icecast},
    {"ice-aim: ", AURA::NetFile::ServerKind::Icecast},          {"ice-audio-info: ", AURA::NetFile::ServerKind::Icecast},
    {"ice-private: ", AURA::NetFile::ServerKind::Icecast},
};

// A URL's parts while a request is made and redirected.
struct Target {
    char host[AURA::NetFile::HOST_LENGTH + 1] = {};
    char path[AURA::NetFile::PATH_LENGTH + 1] = {};
    char auth[AURA::NetFile::AUTH_LENGTH] = {};
    unsigned short port = 80;
};

// Copies out the proxy settings so that a writer cannot change them under a
// request.
struct ProxySettings {
    char host[AURA::NetFile::HOST_LENGTH + 1] = {};
    char auth[AURA::NetFile::AUTH_LENGTH] = {};
    unsigned short port = 0;
    bool set = false;
};

ProxySettings snapshotProxy()
{
    ProxySettings proxy;
    std::lock_guard<std::mutex> lock(AURA::AURA_Net_SettingsLock());
    if (AURA_Net_ProxyHostname && AURA_Net_ProxyHostname[0]) {
        std::snprintf(proxy.host, sizeof(proxy.host), "%s", AURA_Net_ProxyHostname);
        proxy.port = AURA_Net_ProxyPort ? AURA_Net_ProxyPort : 80;
        proxy.set = true;
    }
    if (AURA_Net_ProxyAuth) {
        std::snprintf(proxy.auth, sizeof(proxy.auth), "%s", AURA_Net_ProxyAuth);
    }
    return proxy;
}

} // namespace

extern "C" AURA_RESULT AURA_Net_ParseHTTPStatus(char *line, int length, int *protocol, int *status)
{
    if (!line || length <= 0 || !protocol || !status) {
        return AURA_ERR_INVALID_PARAM;
    }
    const std::string_view text(line, strnlen(line, static_cast<std::size_t>(length)));
    const std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos) {
        return AURA_ERR_INVALID_PARAM;
    }
    constexpr std::string_view kProtocols[] = {"HTTP/1.0", "HTTP/1.1", "ICY"};
    const std::string_view word = text.substr(0, blank);
    int index = -1;
    for (int i = 0; i < 3; ++i) {
        if (word == kProtocols[i]) {
            index = i;
        }
    }
    if (index < 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    std::string_view code = text.substr(blank + 1);
    code = code.substr(0, code.find(' '));
    if (code.empty() || code.size() > 3) {
        return AURA_ERR_INVALID_PARAM;
    }
    int value = 0;
    for (char c : code) {
        if (c < '0' || c > '9') {
            return AURA_ERR_INVALID_PARAM;
        }
        value = value * 10 + (c - '0');
    }
    *protocol = index;
    *status = value;
    return AURA_OK;
}

extern "C" AURA_RESULT AURA_Net_EncodeBase64(char *text, char *output, int capacity)
{
    if (!text || !output || capacity <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::size_t length = std::strlen(text);
    const std::size_t needed = (length + 2) / 3 * 4 + 1;
    if (needed > static_cast<std::size_t>(capacity)) {
        return AURA_ERR_INVALID_PARAM;
    }
    const auto *in = reinterpret_cast<const unsigned char *>(text);
    char *out = output;
    for (std::size_t i = 0; i < length; i += 3) {
        const unsigned int b0 = in[i];
        const unsigned int b1 = i + 1 < length ? in[i + 1] : 0;
        const unsigned int b2 = i + 2 < length ? in[i + 2] : 0;
        const unsigned int triple = (b0 << 16) | (b1 << 8) | b2;
        *out++ = kAlphabet[(triple >> 18) & 63];
        *out++ = kAlphabet[(triple >> 12) & 63];
        *out++ = i + 1 < length ? kAlphabet[(triple >> 6) & 63] : '=';
        *out++ = i + 2 < length ? kAlphabet[triple & 63] : '=';
    }
    *out = '\0';
    return AURA_OK;
}

namespace AURA {

std::mutex &AURA_Net_SettingsLock()
{
    static std::mutex lock;
    return lock;
}

NetFile::NetFile()
{
    removeFlags(FLAG_SEEKABLE);
    mDeviceType = DEVICE_TYPE;
}

NetFile::~NetFile()
{
    closeSocket();
    if (mMetadataBuffer) {
        AURA_Memory_Free(mMetadataBuffer);
    }
    if (mReceived) {
        AURA_Memory_Free(mReceived);
    }
    if (mPending) {
        (void)mPending->release();
    }
    if (mTags) {
        (void)mTags->release();
    }
    if (mNetStarted) {
        (void)AURA_OS_Net_Shutdown();
    }
}

AURA_RESULT NetFile::init()
{
    return AURA_OS_Net_Init();
}

AURA_RESULT NetFile::shutDown()
{
    // Each open holds its own use of the network layer and gives it back at
    // its close, so nothing is left to stop here.
    return AURA_OK;
}

namespace {
// The storage behind the proxy globals, and the setting as it was given.
char gProxyText[NetFile::URL_LENGTH];
char gProxyHost[NetFile::HOST_LENGTH + 1];
char gProxyAuth[NetFile::AUTH_LENGTH];
} // namespace

AURA_RESULT NetFile::setProxy(const char *proxy)
{
    Target parsed;
    char text[URL_LENGTH] = {};
    if (proxy && proxy[0]) {
        char url[URL_LENGTH + 8];
        if (strnlen(proxy, URL_LENGTH) >= URL_LENGTH) {
            return AURA_ERR_INVALID_PARAM;
        }
        std::snprintf(url, sizeof(url), "http://%s", proxy);
        if (parseUrl(url, parsed.host, HOST_LENGTH, parsed.auth, AUTH_LENGTH, &parsed.port, parsed.path,
                     PATH_LENGTH, nullptr) != AURA_OK ||
            parsed.host[0] == '\0' || std::strcmp(parsed.path, "/") != 0) {
            return AURA_ERR_INVALID_PARAM;
        }
        std::strcpy(text, proxy);
    }
    std::lock_guard<std::mutex> lock(AURA_Net_SettingsLock());
    std::memcpy(gProxyText, text, sizeof(gProxyText));
    if (!text[0]) {
        AURA_Net_ProxyHostname = nullptr;
        AURA_Net_ProxyAuth = nullptr;
        AURA_Net_ProxyPort = 0;
        return AURA_OK;
    }
    std::memcpy(gProxyHost, parsed.host, sizeof(gProxyHost));
    std::memcpy(gProxyAuth, parsed.auth, sizeof(gProxyAuth));
    AURA_Net_ProxyHostname = gProxyHost;
    AURA_Net_ProxyPort = parsed.port;
    AURA_Net_ProxyAuth = gProxyAuth[0] ? gProxyAuth : nullptr;
    return AURA_OK;
}

AURA_RESULT NetFile::getProxy(char *proxy, int capacity)
{
    if (!proxy || capacity <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    std::lock_guard<std::mutex> lock(AURA_Net_SettingsLock());
    if (strnlen(gProxyText, sizeof(gProxyText)) >= static_cast<std::size_t>(capacity)) {
        return AURA_ERR_INVALID_PARAM;
    }
    std::strcpy(proxy, gProxyText);
    return AURA_OK;
}

namespace {
std::atomic<NetFile::ConnectHook> gConnectHook{nullptr};
} // namespace

void NetFile::setConnectHook(ConnectHook hook)
{
    gConnectHook = hook;
}

bool NetFile::isURL(const char *name)
{
    bool mms = false;
    bool secure = false;
    return name && schemeLength(name, &mms, &secure) != 0;
}

AURA_RESULT NetFile::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (tracker) {
        tracker->add(false, MEMBITS_FILE,
                     sizeof(*this) + (mMetadataBuffer ? METADATA_BUFFER : 0) + (mReceived ? RECEIVE_BUFFER : 0));
    }
    return File::getMemoryUsedImpl(tracker);
}

AURA_RESULT NetFile::parseUrl(const char *url, char *host, int hostlen, char *auth, int authlen,
                              unsigned short *port, char *path, int pathlen, bool *mms)
{
    if (!url || !host || hostlen <= 0 || !port || !path || pathlen <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    bool isMMS = false;
    bool secure = false;
    const std::size_t skip = schemeLength(url, &isMMS, &secure);
    if (skip == 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mms) {
        *mms = isMMS;
    }
    std::string_view rest(url + skip);

    // User information stands before an "@" that comes before the path.
    std::string_view user;
    const std::size_t slash = rest.find('/');
    const std::size_t at = rest.substr(0, slash).find('@');
    if (at != std::string_view::npos) {
        user = rest.substr(0, at);
        rest = rest.substr(at + 1);
    }
    if (rest.size() >= static_cast<std::size_t>(hostlen)) {
        return AURA_ERR_INVALID_PARAM;
    }

    const std::size_t hostEnd = std::min(rest.find(':'), rest.find('/'));
    const std::string_view hostPart = rest.substr(0, hostEnd);
    std::memcpy(host, hostPart.data(), hostPart.size());
    host[hostPart.size()] = '\0';
    rest = rest.substr(hostPart.size());

    *port = 80;
    if (!rest.empty() && rest[0] == ':') {
        rest = rest.substr(1);
        const std::size_t digitsEnd = std::min(rest.find('/'), rest.size());
        char digits[16] = {};
        if (digitsEnd == 0 || digitsEnd >= sizeof(digits)) {
            return AURA_ERR_INVALID_PARAM;
        }
        std::memcpy(digits, rest.data(), digitsEnd);
        unsigned long long value = 0;
        if (!parseDecimal(digits, 65535, &value) || value == 0) {
            return AURA_ERR_INVALID_PARAM;
        }
        *port = static_cast<unsigned short>(value);
        rest = rest.substr(digitsEnd);
    }

    // Trailing blanks, tabs and line ends are not part of the path.
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t' || rest.back() == '\n' ||
                             rest.back() == '\r')) {
        rest.remove_suffix(1);
    }
    if (rest.empty()) {
        rest = "/";
    }
    if (rest.size() >= static_cast<std::size_t>(pathlen)) {
        return AURA_ERR_INVALID_PARAM;
    }
    std::memcpy(path, rest.data(), rest.size());
    path[rest.size()] = '\0';

    if (auth && authlen > 0) {
        auth[0] = '\0';
        if (!user.empty()) {
            char plain[AUTH_LENGTH];
            if (user.size() >= sizeof(plain)) {
                return AURA_ERR_INVALID_PARAM;
            }
            std::memcpy(plain, user.data(), user.size());
            plain[user.size()] = '\0';
            return AURA_Net_EncodeBase64(plain, auth, authlen);
        }
    }
    return AURA_OK;
}

AURA_RESULT NetFile::reallyOpen(const char *name, unsigned int *filesize)
{
    if (!name || !filesize) {
        return AURA_ERR_INVALID_PARAM;
    }
    *filesize = LENGTH_UNKNOWN;

    // A URL that does not fit is refused rather than cut: a cut URL names
    // another resource.
    char url[URL_LENGTH] = {};
    if (hasFlag(FLAG_UNICODE)) {
        const auto *wide = reinterpret_cast<const char16_t *>(name);
        int i = 0;
        for (; wide[i]; ++i) {
            if (i >= 128 || wide[i] >= 0x80) {
                return AURA_ERR_INVALID_PARAM;
            }
            url[i] = static_cast<char>(wide[i]);
        }
        url[i] = '\0';
    } else {
        if (strnlen(name, URL_LENGTH) >= URL_LENGTH) {
            return AURA_ERR_INVALID_PARAM;
        }
        std::strcpy(url, name);
    }

    Target target;
    bool mms = false;
    AURA_RESULT result = parseUrl(url, target.host, HOST_LENGTH, target.auth, AUTH_LENGTH, &target.port,
                                  target.path, PATH_LENGTH, &mms);
    if (result != AURA_OK) {
        return result;
    }
    bool secure = false;
    (void)schemeLength(url, &mms, &secure);
    if (mms) {
        return openAsMMS(url, target.host, target.path, target.auth, target.port, filesize);
    }
    if (secure) {
        // There is no TLS here; sending an https request in clear is worse
        // than refusing it.
        return AURA_ERR_UNSUPPORTED;
    }
    if (!mNetStarted) {
        result = init();
        if (result != AURA_OK) {
            return result;
        }
        mNetStarted = true;
    }
    mCancelled = false;
    // Binding the file to its system cleared the kind; it chooses a file
    // thread of the file's own.
    mDeviceType = DEVICE_TYPE;
    return openAsHTTP(url, target.host, target.path, target.auth, target.port, filesize);
}

AURA_RESULT NetFile::openAsMMS(const char *, char *, char *, char *, unsigned short, unsigned int *)
{
    return AURA_ERR_UNSUPPORTED;
}

AURA_RESULT NetFile::receiveSome(void *buffer, unsigned int size, unsigned int *got)
{
    *got = 0;
    const int sock = mSocket.load();
    if (sock < 0) {
        return AURA_ERR_NET_SOCKET_ERROR;
    }
    for (;;) {
        const ssize_t n = ::recv(sock, buffer, size, 0);
        if (n > 0) {
            *got = static_cast<unsigned int>(n);
            return AURA_OK;
        }
        if (n == 0) {
            return AURA_ERR_FILE_EOF;
        }
        if (errno != EINTR) {
            // The receive time-out runs out as a would-block.
            return errno == EAGAIN || errno == EWOULDBLOCK ? AURA_ERR_HTTP_TIMEOUT : AURA_ERR_NET_SOCKET_ERROR;
        }
    }
}

AURA_RESULT NetFile::receive(void *buffer, unsigned int size, unsigned int *got)
{
    *got = 0;
    auto *out = static_cast<uint8_t *>(buffer);
    while (*got < size) {
        const unsigned int wanted = size - *got;
        if (mReceivedStart < mReceivedEnd) {
            const unsigned int taken = std::min(wanted, mReceivedEnd - mReceivedStart);
            std::memcpy(out + *got, mReceived + mReceivedStart, taken);
            mReceivedStart += taken;
            *got += taken;
            continue;
        }
        unsigned int n = 0;
        AURA_RESULT result = AURA_OK;
        if (wanted >= RECEIVE_BUFFER || !mReceived) {
            // A large read goes straight to the caller.
            result = receiveSome(out + *got, wanted, &n);
            *got += n;
        } else {
            result = receiveSome(mReceived, RECEIVE_BUFFER, &n);
            mReceivedStart = 0;
            mReceivedEnd = n;
        }
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT NetFile::readLine(char *line, unsigned int capacity)
{
    // Characters past the buffer are read and dropped, so the tail of a long
    // line never reads as a line of its own. CRs are dropped; a peer that
    // closes ends the line.
    unsigned int kept = 0;
    AURA_RESULT result = AURA_OK;
    for (;;) {
        char c = 0;
        unsigned int got = 0;
        result = receive(&c, 1, &got);
        if (result != AURA_OK) {
            if (result == AURA_ERR_FILE_EOF) {
                result = AURA_OK;
            }
            break;
        }
        if (c == '\n') {
            break;
        }
        if (c != '\r' && kept < capacity - 1) {
            line[kept++] = c;
        }
    }
    line[kept] = '\0';
    return result;
}

AURA_RESULT NetFile::openAsHTTP(const char *url, char *host, char *path, char *auth, unsigned short port,
                                unsigned int *filesize)
{
    Target target;
    std::snprintf(target.host, sizeof(target.host), "%s", host);
    std::snprintf(target.path, sizeof(target.path), "%s", path);
    std::snprintf(target.auth, sizeof(target.auth), "%s", auth ? auth : "");
    target.port = port;

    char agent[32];
    std::snprintf(agent, sizeof(agent), "Aura/%x.%02x.%02x", 4, 0x32, 0);
    const ProxySettings proxy = snapshotProxy();
    int timeout = std::atomic_ref<int>(AURA_Net_Timeout).load();
    timeout = std::max(timeout, 1);

    if (!mReceived) {
        mReceived = static_cast<uint8_t *>(AURA_Memory_Alloc(RECEIVE_BUFFER));
        if (!mReceived) {
            return AURA_ERR_MEMORY;
        }
    }
    int redirects = 0;
    bool triedWinamp = false;
    auto line = std::make_unique<char[]>(LINE_LENGTH);
    auto request = std::make_unique<char[]>(3 * AUTH_LENGTH);

    for (;;) {
        closeSocket();
        if (mCancelled) {
            return AURA_ERR_FILE_COULDNOTSEEK;
        }
        int sock = -1;
        const ConnectHook connect = gConnectHook.load();
        AURA_RESULT result = connect ? connect(proxy.set ? proxy.host : target.host,
                                               proxy.set ? proxy.port : target.port, &sock)
                         : proxy.set ? AURA_OS_Net_Connect(proxy.host, proxy.port, &sock)
                                     : AURA_OS_Net_Connect(target.host, target.port, &sock);
        if (result != AURA_OK) {
            return result;
        }
        // Status, headers and body all wait at most the time-out for bytes.
        timeval tv{};
        tv.tv_sec = timeout / 1000;
        tv.tv_usec = (timeout % 1000) * 1000;
        (void)setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        (void)setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        mSocket = sock;

        // Through a proxy the request names the whole URL of the current
        // target, rebuilt after every redirect.
        char absolute[HOST_LENGTH + PATH_LENGTH + 32];
        if (target.port == 80) {
            std::snprintf(absolute, sizeof(absolute), "http://%s%s", target.host, target.path);
        } else {
            std::snprintf(absolute, sizeof(absolute), "http://%s:%u%s", target.host, target.port, target.path);
        }
        int length = std::snprintf(request.get(), 3 * AUTH_LENGTH,
                                   "GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: %s\r\nIcy-MetaData:1\r\n",
                                   proxy.set ? absolute : target.path, target.host,
                                   triedWinamp ? "Winamp" : agent);
        if (proxy.set && proxy.auth[0]) {
            length += std::snprintf(request.get() + length, 3 * AUTH_LENGTH - length,
                                    "Proxy-Authorization: Basic %s\r\n", proxy.auth);
        }
        if (target.auth[0]) {
            length += std::snprintf(request.get() + length, 3 * AUTH_LENGTH - length,
                                    "Authorization: Basic %s\r\n", target.auth);
        }
        length += std::snprintf(request.get() + length, 3 * AUTH_LENGTH - length, "Connection: close\r\n\r\n");
        result = AURA_OS_Net_Write(mSocket.load(), request.get(), static_cast<unsigned int>(length), nullptr);
        if (result != AURA_OK) {
            return netResult(result);
        }

        result = readLine(line.get(), LINE_LENGTH);
        if (result != AURA_OK) {
            return result;
        }
        int protocol = 0;
        int status = 0;
        if (AURA_Net_ParseHTTPStatus(line.get(), LINE_LENGTH, &protocol, &status) != AURA_OK) {
            return AURA_ERR_HTTP;
        }
        mHTTPStatus = status;

        if (status == 200) {
            return readHeaders(url, filesize);
        }
        if (status == 301 || status == 302 || status == 303 || status == 305 || status == 307) {
            if (redirects >= MAX_REDIRECTS) {
                return AURA_ERR_HTTP;
            }
            char location[LINE_LENGTH];
            location[0] = '\0';
            for (;;) {
                if (readLine(line.get(), LINE_LENGTH) != AURA_OK || line[0] == '\0') {
                    return AURA_ERR_HTTP;
                }
                if (startsWith(line.get(), "Location: ")) {
                    std::snprintf(location, sizeof(location), "%s", skipBlanks(line.get() + 10));
                    break;
                }
            }
            Target next;
            next.port = target.port;
            std::snprintf(next.host, sizeof(next.host), "%s", target.host);
            if (location[0] == '/') {
                // A path on the same server.
                const std::size_t length = std::strlen(location);
                if (length > PATH_LENGTH - 1) {
                    return AURA_ERR_HTTP;
                }
                std::memcpy(next.path, location, length + 1);
            } else {
                char full[URL_LENGTH];
                bool dummy = false;
                bool isSecure = false;
                const bool hasScheme = schemeLength(location, &dummy, &isSecure) != 0;
                // "http://" goes in front of a location without a scheme, and
                // the whole must fit a URL.
                const std::string_view prefix = hasScheme ? "" : "http://";
                const std::size_t length = std::strlen(location);
                if (prefix.size() + length >= sizeof(full)) {
                    return AURA_ERR_HTTP;
                }
                std::memcpy(full, prefix.data(), prefix.size());
                std::memcpy(full + prefix.size(), location, length + 1);
                if (hasScheme && (dummy || isSecure)) {
                    return AURA_ERR_UNSUPPORTED;
                }
                if (parseUrl(full, next.host, HOST_LENGTH, next.auth, AUTH_LENGTH, &next.port, next.path,
                             PATH_LENGTH, nullptr) != AURA_OK || next.host[0] == '\0') {
                    return AURA_ERR_HTTP;
                }
            }
            // Credentials go only to the server they were given for.
            if (!next.auth[0] && std::strcmp(next.host, target.host) == 0 && next.port == target.port) {
                std::snprintf(next.auth, sizeof(next.auth), "%s", target.auth);
            }
            target = next;
            ++redirects;
            continue;
        }
        if (status == 403 && !triedWinamp) {
            triedWinamp = true;
            continue;
        }
        switch (status) {
        case 407: return AURA_ERR_HTTP_PROXY_AUTH;
        case 404: return AURA_ERR_FILE_NOTFOUND;
        case 401:
        case 403: return AURA_ERR_HTTP_ACCESS;
        case 408: return AURA_ERR_HTTP_TIMEOUT;
        default: return status >= 500 && status <= 505 ? AURA_ERR_HTTP_SERVER_ERROR : AURA_ERR_HTTP;
        }
    }
}

AURA_RESULT NetFile::readHeaders(const char *url, unsigned int *filesize)
{
    auto line = std::make_unique<char[]>(LINE_LENGTH);
    auto claim = [this](ServerKind kind) {
        if (mServerKind == ServerKind::Unknown) {
            mServerKind = kind;
        }
    };
    for (;;) {
        const AURA_RESULT result = readLine(line.get(), LINE_LENGTH);
        if (result == AURA_ERR_HTTP_TIMEOUT) {
            return result;
        }
        if (result != AURA_OK || line[0] == '\0') {
            break;
        }
        const std::string_view text(line.get());
        unsigned long long value = 0;
        if (startsWith(text, "Content-Length:")) {
            // A length the file layer cannot count is a bad answer.
            if (!parseDecimal(skipBlanks(line.get() + 15), 0xFFFFFFFEull, &value)) {
                return AURA_ERR_HTTP;
            }
            *filesize = static_cast<unsigned int>(value);
            claim(ServerKind::HTTP);
        } else if (startsWith(text, "Transfer-Encoding: chunked")) {
            mChunked = true;
            claim(ServerKind::HTTP);
        } else if (startsWith(text, "icy-metaint:")) {
            if (!parseDecimal(skipBlanks(line.get() + 12), 0x7FFFFFFFull, &value)) {
                return AURA_ERR_HTTP;
            }
            mMetadataInterval = static_cast<unsigned int>(value);
            claim(ServerKind::Shoutcast);
        } else {
            for (const HeaderTag &tag : kHeaderTags) {
                if (!startsWith(text, tag.prefix)) {
                    continue;
                }
                // The tag's name is the prefix without its colon and blank.
                char name[32];
                const std::size_t colon = tag.prefix.find(':');
                std::memcpy(name, tag.prefix.data(), colon);
                name[colon] = '\0';
                const char *value = skipBlanks(line.get() + tag.prefix.size());
                const AURA_RESULT added =
                    addStreamTag(name, value, std::strlen(value), false,
                                 tag.kind == ServerKind::Shoutcast ? AURA_TAGTYPE_SHOUTCAST : AURA_TAGTYPE_ICECAST);
                if (added != AURA_OK) {
                    return added;
                }
                claim(tag.kind);
                break;
            }
        }
    }

    if (mServerKind == ServerKind::HTTP || mServerKind == ServerKind::Icecast) {
        const std::string_view name(url);
        if (endsWithNoCase(name, ".ogg")) {
            mStreamFormat = StreamFormat::Ogg;
        } else if (endsWithNoCase(name, ".mp3")) {
            mStreamFormat = StreamFormat::Icy;
        } else {
            mStreamFormat = StreamFormat::Unknown;
        }
    } else {
        mStreamFormat = StreamFormat::Icy;
    }

    if (mMetadataInterval > 0) {
        mBytesToMetadata = mMetadataInterval;
        if (!mMetadataBuffer) {
            mMetadataBuffer = static_cast<char *>(AURA_Memory_Calloc(METADATA_BUFFER));
            if (!mMetadataBuffer) {
                closeSocket();
                return AURA_ERR_MEMORY;
            }
        }
    }
    return AURA_OK;
}

AURA_RESULT NetFile::addStreamTag(const char *name, const char *value, std::size_t length, bool replace,
                                  AURA_TAGTYPE type)
{
    std::lock_guard<std::mutex> lock(mTagLock);
    if (!mPending) {
        mPending = AURA_New(Metadata);
        if (!mPending) {
            return AURA_ERR_MEMORY;
        }
    }
    // String tags carry their terminator; the list adds terminator room
    // after the counted bytes, so the copy ends in a NUL either way.
    char text[METADATA_BUFFER + 1];
    length = std::min(length, sizeof(text) - 1);
    std::memcpy(text, value, length);
    text[length] = '\0';
    return mPending->addTag(type, name, text, static_cast<unsigned int>(length + 1), AURA_TAGDATATYPE_STRING,
                            replace);
}

AURA_RESULT NetFile::getMetadata(Metadata **metadata)
{
    if (!metadata) {
        return AURA_ERR_INVALID_PARAM;
    }
    std::lock_guard<std::mutex> lock(mTagLock);
    if (!mTags) {
        mTags = AURA_New(Metadata);
        if (!mTags) {
            return AURA_ERR_MEMORY;
        }
    }
    if (mPending && mPending->firstTag() != mPending->end()) {
        const AURA_RESULT result = mTags->add(mPending);
        if (result != AURA_OK) {
            return result;
        }
    }
    *metadata = mTags;
    return AURA_OK;
}

void NetFile::parseMetadata()
{
    const std::string_view block(mMetadataBuffer, strnlen(mMetadataBuffer, METADATA_BUFFER - 1));
    // A value runs from after its opening quote to the closing "';", else
    // to the next ";", else to the end of the block.
    auto valueOf = [&block](std::string_view key, std::string_view *value) {
        const std::size_t at = block.find(key);
        if (at == std::string_view::npos) {
            return false;
        }
        std::string_view rest = block.substr(at + key.size());
        std::size_t end = rest.find("';");
        if (end == std::string_view::npos) {
            end = std::min(rest.find(';'), rest.size());
            if (end > 0 && rest[end - 1] == '\'') {
                --end;
            }
        }
        *value = rest.substr(0, end);
        return true;
    };
    std::string_view title;
    if (valueOf("StreamTitle='", &title)) {
        const std::size_t dash = title.find(" - ");
        if (dash != std::string_view::npos) {
            (void)addStreamTag("ARTIST", title.data(), dash, true, AURA_TAGTYPE_SHOUTCAST);
            (void)addStreamTag("TITLE", title.data() + dash + 3, title.size() - dash - 3, true,
                               AURA_TAGTYPE_SHOUTCAST);
        } else {
            (void)addStreamTag("ARTIST", title.data(), title.size(), true, AURA_TAGTYPE_SHOUTCAST);
        }
    }
    std::string_view address;
    if (valueOf("StreamUrl='", &address)) {
        (void)addStreamTag("StreamUrl", address.data(), address.size(), true, AURA_TAGTYPE_SHOUTCAST);
    }
}

AURA_RESULT NetFile::nextChunk()
{
    char line[256];
    // The line that ends the previous chunk's data comes first.
    AURA_RESULT result = readLine(line, sizeof(line));
    if (result == AURA_OK && line[0] == '\0' && mChunkDataEnded) {
        result = readLine(line, sizeof(line));
    }
    if (result != AURA_OK) {
        return result;
    }
    unsigned long long size = 0;
    int digits = 0;
    for (const char *c = line; std::isxdigit(static_cast<unsigned char>(*c)); ++c) {
        if (++digits > 8) {
            return AURA_ERR_HTTP;
        }
        size = size * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(*c))
                                                      ? *c - '0'
                                                      : std::tolower(static_cast<unsigned char>(*c)) - 'a' + 10);
    }
    if (digits == 0) {
        return AURA_ERR_HTTP;
    }
    if (size == 0) {
        mChunkEnded = true;
        return AURA_ERR_FILE_EOF;
    }
    mChunkRemaining = static_cast<unsigned int>(size);
    return AURA_OK;
}

AURA_RESULT NetFile::readBody(void *buffer, unsigned int size, unsigned int *read)
{
    *read = 0;
    auto *out = static_cast<uint8_t *>(buffer);
    while (*read < size) {
        unsigned int wanted = size - *read;
        if (mChunked) {
            if (mChunkEnded) {
                return AURA_ERR_FILE_EOF;
            }
            if (mChunkRemaining == 0) {
                const AURA_RESULT result = nextChunk();
                if (result != AURA_OK) {
                    return result;
                }
            }
            wanted = std::min(wanted, mChunkRemaining);
        }
        unsigned int got = 0;
        const AURA_RESULT result = receive(out + *read, wanted, &got);
        *read += got;
        if (mChunked) {
            mChunkRemaining -= got;
            mChunkDataEnded = mChunkRemaining == 0;
        }
        if (result != AURA_OK) {
            return mCancelled ? AURA_ERR_FILE_EOF : netResult(result);
        }
    }
    return AURA_OK;
}

AURA_RESULT NetFile::readMetadataBlock(bool makeTags)
{
    uint8_t blocks = 0;
    unsigned int got = 0;
    AURA_RESULT result = readBody(&blocks, 1, &got);
    if (got < 1) {
        return result == AURA_ERR_FILE_EOF ? result : AURA_ERR_NET_SOCKET_ERROR;
    }
    const unsigned int length = blocks * 16u;
    std::memset(mMetadataBuffer, 0, METADATA_BUFFER);
    result = readBody(mMetadataBuffer, length, &got);
    if (result != AURA_OK) {
        return result;
    }
    if (makeTags && length > 0) {
        parseMetadata();
    }
    mBytesToMetadata = mMetadataInterval;
    return AURA_OK;
}

AURA_RESULT NetFile::reallyRead(void *buffer, unsigned int size, unsigned int *read)
{
    if (!buffer || !read) {
        return AURA_ERR_INVALID_PARAM;
    }
    *read = 0;
    if (mSocket.load() < 0 || mCancelled) {
        return AURA_ERR_FILE_EOF;
    }
    if (mChunked && size == 0) {
        return AURA_ERR_FILE_EOF;
    }
    // Metadata blocks come out of the audio bytes whatever the stream's
    // format: an announced interval means the server sends them.
    if (mMetadataInterval > 0 && mBytesToMetadata == 0) {
        const AURA_RESULT result = readMetadataBlock(true);
        if (result != AURA_OK) {
            return result;
        }
    }
    unsigned int wanted = std::min(size, MAX_READ);
    if (mMetadataInterval > 0) {
        wanted = std::min(wanted, mBytesToMetadata);
    }
    // The body's length bounds the medium's position, which counts from
    // the body's first byte whatever start offset the reader set.
    if (mFileSize != LENGTH_UNKNOWN && mFileSize != 0) {
        if (mPosition >= mFileSize) {
            return AURA_ERR_FILE_EOF;
        }
        wanted = std::min(wanted, mFileSize - mPosition);
    }
    const AURA_RESULT result = readBody(buffer, wanted, read);
    mPosition += *read;
    if (mMetadataInterval > 0) {
        mBytesToMetadata -= *read;
    }
    return result;
}

AURA_RESULT NetFile::reallySeek(unsigned int position)
{
    if (position < mPosition) {
        return AURA_ERR_FILE_COULDNOTSEEK;
    }
    if (position == mPosition) {
        return AURA_OK;
    }
    const unsigned int scratchSize = std::min(position - mPosition, SKIP_BUFFER);
    auto *scratch = static_cast<uint8_t *>(AURA_Memory_Alloc(scratchSize));
    if (!scratch) {
        return AURA_ERR_MEMORY;
    }
    AURA_RESULT result = AURA_OK;
    while (mPosition < position) {
        if (mMetadataInterval > 0 && mBytesToMetadata == 0) {
            result = readMetadataBlock(false);
            if (result != AURA_OK) {
                break;
            }
        }
        unsigned int wanted = std::min(position - mPosition, scratchSize);
        if (mMetadataInterval > 0) {
            wanted = std::min(wanted, mBytesToMetadata);
        }
        unsigned int got = 0;
        result = readBody(scratch, wanted, &got);
        mPosition += got;
        if (mMetadataInterval > 0) {
            mBytesToMetadata -= got;
        }
        if (result != AURA_OK || got == 0) {
            result = AURA_ERR_FILE_COULDNOTSEEK;
            break;
        }
    }
    AURA_Memory_Free(scratch);
    return result;
}

AURA_RESULT NetFile::reallyCancel()
{
    // Closing would not wake a recv blocked on Linux, and would free the
    // descriptor for reuse under it; shutting the socket down does both
    // right. The descriptor is closed once, by reallyClose.
    mCancelled = true;
    const int sock = mSocket.load();
    if (sock >= 0) {
        (void)::shutdown(sock, SHUT_RDWR);
    }
    return AURA_OK;
}

void NetFile::closeSocket()
{
    mReceivedStart = 0;
    mReceivedEnd = 0;
    const int sock = mSocket.exchange(-1);
    if (sock >= 0) {
        (void)AURA_OS_Net_Close(sock);
    }
}

AURA_RESULT NetFile::reallyClose()
{
    closeSocket();
    if (mMetadataBuffer) {
        AURA_Memory_Free(mMetadataBuffer);
        mMetadataBuffer = nullptr;
    }
    if (mReceived) {
        AURA_Memory_Free(mReceived);
        mReceived = nullptr;
    }
    if (mNetStarted) {
        (void)AURA_OS_Net_Shutdown();
        mNetStarted = false;
    }
    return AURA_OK;
}

} // namespace AURA
