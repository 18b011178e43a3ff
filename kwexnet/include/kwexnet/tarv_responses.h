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

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

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
// A reply with more than kMaxLoginEntries profile (or game) elements, or a
// value longer than kMaxLoginValueBytes, is refused: false.
struct LoginResponse {
    static constexpr std::size_t kMaxLoginEntries = 256;
    static constexpr std::size_t kMaxLoginValueBytes = 16 * 1024;

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

// One relation of the player with another player.
struct RelationEntry {
    std::int32_t game_id = 0;
    std::string user_id;
    std::string target_user_id;
    std::string target_user_name;
    std::int32_t target_user_online_status = 0;
    std::int32_t mode_major = 0; // "game_mode" characters 1-4, when it has 8
    std::int32_t mode_minor = 0; // characters 5-7
    bool mode_flag = false; // character 8 is not 0
    std::string game_mode_text;
    std::int32_t own_status = 0; // the player's side: 'F', 'B', 'I' or 'N'
    std::int32_t other_status = 0; // the target's side
    std::int32_t category = -1; // 0 friend, 1 sent, 2 received, 3 blocked; -1 in no list
    bool blocked = false; // either side blocks

    friend bool operator==(const RelationEntry &, const RelationEntry &) = default;
};

// The relations list. <relation .../> elements whose "relation_status" is
// exactly three characters (first: the player's side, third: the target's)
// become entries, sorted into four lists of indices into `entries`:
// FF friends; FN sent; NF received; B with F or N blocked; B with B or I
// blocked and shown offline. Any other pair is in no list. Either side "B"
// marks the entry blocked and its name in blocked_names. Complete once
// </appserver> is read; an incomplete list keeps what was read, sorted.
// A list of more than kMaxRelations entries is refused: false, with the
// first kMaxRelations kept.
struct GetRelationsResponse {
    static constexpr std::size_t kMaxRelations = 10000;

    std::int32_t error_id = 0;
    std::string error_message;
    std::vector<RelationEntry> entries;
    std::vector<std::size_t> friends;
    std::vector<std::size_t> blocked;
    std::vector<std::size_t> pending_sent;
    std::vector<std::size_t> pending_received;
    std::map<std::string, bool> blocked_names;

    [[nodiscard]] bool ParseFromResponseXML(const char *document, unsigned int length);
};

// Where a leaderboard's files are. Text elements; numbers read like atoi.
// Complete with both URLs and both record lengths, or an error.
struct GetLeaderboardResponse {
    std::string current_cdn;
    std::int32_t current_rank = -1; // reset to -1 by each parse
    std::int32_t current_record_length = 0;
    std::int32_t current_total_records = 0;
    std::string last_cdn;
    std::int32_t last_rank = -1; // reset to -1 by each parse
    std::int32_t last_record_length = 0;
    std::int32_t last_total_records = 0;
    std::int32_t error_id = 0; // reset by each parse
    std::string error_message;

    [[nodiscard]] bool ParseFromResponseXML(const char *document, unsigned int length);
};

struct cdn_leaderboard_entry {
    std::uint32_t rank = 0;
    std::int32_t avatar_id = 0;
    std::int32_t wins = 0;
    std::int32_t losses = 0;
    std::string score;
    std::string user_name;
    std::string user_id;
    std::string metadata;
    std::string gamedata;

    friend bool operator==(const cdn_leaderboard_entry &, const cdn_leaderboard_entry &) = default;
};

// Rows of a leaderboard page. Each row ends at its <gamedata> element and
// holds only the fields given since the row before it (an element a row
// lacks, or an empty-element tag, leaves the field empty or 0). Rows are
// appended, ranked from `firstRank`; elements after the last <gamedata>
// make no row. A page has no completeness test, but a page of more than
// kMaxPageRows rows or with a field longer than kMaxFieldBytes is refused:
// false, and none of its rows is appended.
struct CDNLeaderboard {
    static constexpr std::size_t kMaxPageRows = 1000;
    static constexpr std::size_t kMaxFieldBytes = 4096;

    std::deque<cdn_leaderboard_entry> entries;

    [[nodiscard]] bool ParseFromResponseXML(const char *document, unsigned int length, unsigned int firstRank);
};

// A room. Complete with <result/> and <group_info/>, or an error.
struct JoinGroupByTopicResponse {
    std::int32_t error_id = 0; // reset by each parse
    std::string error_message;
    std::int32_t server_id = 0;
    std::string address;
    std::int32_t group_id = 0;

    [[nodiscard]] bool ParseFromResponseXML(const char *document, unsigned int length);
};

} // namespace Tarv
} // namespace KwexNet

#endif // KWEXNET_TARV_RESPONSES_H
