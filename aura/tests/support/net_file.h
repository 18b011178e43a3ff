// A net file opened on a URL for a test, and the network time-out set for
// the length of a test.
#ifndef AURA_TESTS_SUPPORT_NET_FILE_H
#define AURA_TESTS_SUPPORT_NET_FILE_H

#include "base/aura_metadata.h"
#include "file/aura_file_net.h"
#include "os/aura_os.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace auratest {

// A net file opened on a URL; closed and freed with the test.
struct OpenNet {
    AURA::NetFile file;
    AURA_RESULT result = AURA_OK;
    AURA_RESULT lastRead = AURA_OK;

    // fill: the file's buffer (0: unbuffered).
    explicit OpenNet(const std::string &url, int fill = 0)
    {
        result = file.init(nullptr, 0, fill);
        if (result == AURA_OK) {
            result = file.open(url.c_str(), 0, false, nullptr);
        }
    }
    ~OpenNet() { (void)file.close(); }
    OpenNet(const OpenNet &) = delete;
    OpenNet &operator=(const OpenNet &) = delete;

    // Reads in pieces until the body ends, a read fails or limit bytes came.
    std::string readAll(unsigned int piece = 3000, std::size_t limit = SIZE_MAX)
    {
        std::string out;
        std::vector<char> buffer(piece);
        while (out.size() < limit) {
            const auto wanted = static_cast<unsigned int>(std::min<std::size_t>(piece, limit - out.size()));
            unsigned int got = 0;
            const AURA_RESULT r = file.read(buffer.data(), 1, wanted, &got);
            out.append(buffer.data(), got);
            if (r != AURA_OK || got == 0) {
                lastRead = r;
                return out;
            }
        }
        return out;
    }

    std::map<std::string, std::string> tags()
    {
        std::map<std::string, std::string> found;
        AURA::Metadata *list = nullptr;
        if (file.getMetadata(&list) == AURA_OK && list) {
            for (AURA::TagNode *tag = list->firstTag(); tag != list->end(); tag = tag->nextTag()) {
                found[tag->mName] = static_cast<const char *>(tag->mValue);
            }
        }
        return found;
    }
};

struct TimeoutScope {
    int saved = std::atomic_ref<int>(AURA_Net_Timeout).load();
    explicit TimeoutScope(int ms) { std::atomic_ref<int>(AURA_Net_Timeout).store(ms); }
    ~TimeoutScope() { std::atomic_ref<int>(AURA_Net_Timeout).store(saved); }
    TimeoutScope(const TimeoutScope &) = delete;
    TimeoutScope &operator=(const TimeoutScope &) = delete;
};

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_NET_FILE_H
