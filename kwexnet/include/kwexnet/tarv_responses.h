// Login-service replies. Every reply is an XML document under an
// "appserver" root; each structure below fills itself from one with
// ParseFromResponseXML(document, length), which returns true when the reply
// is complete. A reply is complete only once its closing </appserver> has
// been read, and only when it carries what the structure needs (below) or
// an <error id=".." message=".."/> element. A reply cut anywhere before
// </appserver> is incomplete: false. The document need not be
// zero-terminated; nothing past `length` is read.
//
// Numbers are read like atoi (leading whitespace, a sign, the leading
// digits; no digits give 0), saturating at the int32 range. Element names
// are compared exactly, case included. Fields a parse does not reset keep
// what they held.
#ifndef KWEXNET_TARV_RESPONSES_H
#define KWEXNET_TARV_RESPONSES_H

#include <cstdint>
#include <map>
#include <string>

namespace KwexNet {
namespace Tarv {

// Replies that answer with <result id=".."/> or an error. `result` and
// `error_id` are reset to 0 by each parse.
struct ResultStatusResponse {
    std::int32_t result = 0;
    std::int32_t error_id = 0;
    std::string error_message;

    [[nodiscard]] bool ParseFromResponseXML(const char *document, unsigned int length);
};

struct RegisterUserResponse : ResultStatusResponse {};
struct ForgotPasswordResponse : ResultStatusResponse {};
struct ModifyAccountResponse : ResultStatusResponse {};
struct LobbyResponse : ResultStatusResponse {};

// Replies that answer with <success/> or an error. `error_id` is reset to 0
// by each parse.
struct SuccessStatusResponse {
    std::int32_t error_id = 0;
    std::string error_message;

    [[nodiscard]] bool ParseFromResponseXML(const char *document, unsigned int length);
};

struct UpdatePreferencesResponse : SuccessStatusResponse {};
struct AddRelationResponse : SuccessStatusResponse {};

// Server discovery. <server type="http|https|socket" host=".." port=".."/>
// fills the matching host (and the port, kept in 16 bits, for "socket");
// <version platform="IPhone|IPad" number=".."/> the matching version. Other
// types and platforms are ignored. Complete once </appserver> is read.
struct FindServerResponse {
    std::string http_host;
    std::string https_host;
    std::string socket_host;
    std::uint16_t socket_port = 0;
    std::string iphone_version;
    std::string ipad_version;
    std::int32_t error_id = 0; // reset by each parse
    std::string error_message;

    [[nodiscard]] bool ParseFromResponseXML(const char *document, unsigned int length);
};

// Login. Each text is the value of the node that follows the start tag of
// the element of the same name, as it stands (not trimmed, entities not
// decoded, so a line break before the text is the text); an empty-element
// tag gives "". <profile id=".." value=".."/> and <game id=".." value=".."/>
// fill the maps, the first value of a repeated id winning. Complete with
// <result>, <session_id>, <user_id> and <user_name>, or with an error.
struct LoginResponse {
    std::int32_t result = 0;
    std::string session_id;
    std::string user_id;
    std::string user_email;
    std::string user_name;
    std::string user_firstname;
    std::string user_lastname;
    std::string pid_cdn;
    std::string leaderboard_cdn;
    std::string avatar_cdn;
    std::map<unsigned int, std::string> profiles;
    std::map<unsigned int, std::string> games;
    std::int32_t error_id = 0;
    std::string error_message;

    // Resets result, error_id and both maps.
    [[nodiscard]] bool ParseFromResponseXML(const char *document, unsigned int length);
};

} // namespace Tarv
} // namespace KwexNet

#endif // KWEXNET_TARV_RESPONSES_H
