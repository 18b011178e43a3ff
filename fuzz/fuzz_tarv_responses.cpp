// Parses the input as every login-service reply. Traps when a reply that
// holds no closing appserver tag is reported complete.
#include "kwexnet/tarv_responses.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace KwexNet::Tarv;
    if (size > 1 << 20) {
        return 0;
    }
    const auto *text = reinterpret_cast<const char *>(data);
    const auto length = static_cast<unsigned int>(size);
    const bool closed = std::string_view(text, size).find("</appserver") != std::string_view::npos;

    LoginResponse login;
    FindServerResponse find;
    LobbyResponse lobby;
    UpdatePreferencesResponse prefs;
    const bool complete[] = {
        login.ParseFromResponseXML(text, length),
        find.ParseFromResponseXML(text, length),
        lobby.ParseFromResponseXML(text, length),
        prefs.ParseFromResponseXML(text, length),
    };
    for (const bool c : complete) {
        require(!c || closed);
    }
    // A reused structure gives the same verdict on the same reply.
    require(login.ParseFromResponseXML(text, length) == complete[0]);
    return 0;
}
