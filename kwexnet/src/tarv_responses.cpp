#include "kwexnet/tarv_responses.h"

#include <limits>
#include <utility>

#include "kwexnet/xml_reader.h"

namespace KwexNet {
namespace Tarv {

namespace {

using String::XmlReader;

constexpr bool isCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi without its undefined overflow: saturates at the int32 range.
std::int32_t toInt32(const char *text)
{
    while (isCSpace(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > kLimit) {
            value = kLimit;
        }
    }
    if (negative) {
        return static_cast<std::int32_t>(-value);
    }
    return static_cast<std::int32_t>(value > kLimit - 1 ? kLimit - 1 : value);
}

// Attribute values are read in place: a copy of a large value would be a
// second one on top of the reader's own.
std::string attributeText(const XmlReader &reader, const char *name)
{
    const auto *value = reader.findAttribute(name);
    return value ? std::string(value->c_str()) : std::string();
}

std::int32_t attributeNumber(const XmlReader &reader, const char *name)
{
    const auto *value = reader.findAttribute(name);
    return value ? toInt32(value->c_str()) : 0;
}

bool attributeIs(const XmlReader &reader, const char *name, const char *text)
{
    const auto *value = reader.findAttribute(name);
    return value ? *value == text : *text == '\0';
}

// The text of the element just started: the value of the very next node,
// whatever it is. An empty-element tag has none and reads nothing. False
// when the document ends there.
bool readText(XmlReader &reader, std::string &text)
{
    if (reader.isEmptyElement()) {
        text.clear();
        return true;
    }
    if (!reader.Read()) {
        text.clear();
        return false;
    }
    text = reader.getValue().c_str();
    return true;
}

void readError(const XmlReader &reader, std::int32_t &id, std::string &message)
{
    id = attributeNumber(reader, "id");
    message = attributeText(reader, "message");
}

// Walks the reply and hands every start tag to `onElement`, which returns
// false to stop. True when a closing </appserver> was read.
template <typename OnElement>
bool walkReply(const char *document, unsigned int length, OnElement &&onElement)
{
    XmlReader reader(document, length);
    bool closed = false;
    while (reader.Read()) {
        const int type = reader.getNodeType();
        if (type == XmlReader::kNodeElement) {
            if (!onElement(reader)) {
                break;
            }
        } else if (type == XmlReader::kNodeEndElement && reader.getName() == "appserver") {
            closed = true;
        }
    }
    return closed;
}

} // namespace

bool ResultStatusResponse::ParseFromResponseXML(const char *document, unsigned int length)
{
    result = 0;
    error_id = 0;
    bool answered = false;
    const bool closed = walkReply(document, length, [&](XmlReader &reader) {
        const auto &name = reader.getName();
        if (name == "result") {
            result = attributeNumber(reader, "id");
            answered = true;
        } else if (name == "error") {
            readError(reader, error_id, error_message);
            answered = true;
        }
        return true;
    });
    return closed && answered;
}

bool SuccessStatusResponse::ParseFromResponseXML(const char *document, unsigned int length)
{
    error_id = 0;
    bool answered = false;
    const bool closed = walkReply(document, length, [&](XmlReader &reader) {
        const auto &name = reader.getName();
        if (name == "success") {
            answered = true;
        } else if (name == "error") {
            readError(reader, error_id, error_message);
            answered = true;
        }
        return true;
    });
    return closed && answered;
}

bool FindServerResponse::ParseFromResponseXML(const char *document, unsigned int length)
{
    error_id = 0;
    return walkReply(document, length, [&](XmlReader &reader) {
        const auto &name = reader.getName();
        if (name == "server") {
            if (attributeIs(reader, "type", "http")) {
                http_host = attributeText(reader, "host");
            } else if (attributeIs(reader, "type", "https")) {
                https_host = attributeText(reader, "host");
            } else if (attributeIs(reader, "type", "socket")) {
                socket_host = attributeText(reader, "host");
                // Kept in 16 bits, as the wire has it: 70000 becomes 4464.
                socket_port = static_cast<std::uint16_t>(
                    static_cast<std::uint32_t>(attributeNumber(reader, "port")));
            }
        } else if (name == "version") {
            if (attributeIs(reader, "platform", "IPhone")) {
                iphone_version = attributeText(reader, "number");
            } else if (attributeIs(reader, "platform", "IPad")) {
                ipad_version = attributeText(reader, "number");
            }
        } else if (name == "error") {
            readError(reader, error_id, error_message);
        }
        return true;
    });
}

bool LoginResponse::ParseFromResponseXML(const char *document, unsigned int length)
{
    result = 0;
    error_id = 0;
    profiles.clear();
    games.clear();

    bool seenResult = false;
    bool seenSession = false;
    bool seenUserId = false;
    bool seenUserName = false;
    bool seenError = false;
    bool refused = false;

    struct TextField {
        const char *element;
        std::string LoginResponse::*field;
        bool *seen;
    };
    const TextField textFields[] = {
        {"session_id", &LoginResponse::session_id, &seenSession},
        {"user_id", &LoginResponse::user_id, &seenUserId},
        {"user_email", &LoginResponse::user_email, nullptr},
        {"user_name", &LoginResponse::user_name, &seenUserName},
        {"user_firstname", &LoginResponse::user_firstname, nullptr},
        {"user_lastname", &LoginResponse::user_lastname, nullptr},
        {"pid_cdn", &LoginResponse::pid_cdn, nullptr},
        {"leaderboard_cdn", &LoginResponse::leaderboard_cdn, nullptr},
        {"avatar_cdn", &LoginResponse::avatar_cdn, nullptr},
    };

    const bool closed = walkReply(document, length, [&](XmlReader &reader) {
        const auto &name = reader.getName();
        if (name == "result") {
            result = attributeNumber(reader, "id");
            seenResult = true;
            return true;
        }
        if (name == "error") {
            readError(reader, error_id, error_message);
            seenError = true;
            return true;
        }
        if (name == "profile" || name == "game") {
            auto &map = name == "profile" ? profiles : games;
            const auto *value = reader.findAttribute("value");
            if (map.size() >= kMaxLoginEntries ||
                (value && String::stringbase<char>::length(value->c_str()) > kMaxLoginValueBytes)) {
                refused = true;
                return false;
            }
            // "name" is sent too and not kept. emplace keeps the first value.
            map.emplace(static_cast<unsigned int>(attributeNumber(reader, "id")),
                        value ? std::string(value->c_str()) : std::string());
            return true;
        }
        for (const auto &text : textFields) {
            if (name == text.element) {
                if (text.seen) {
                    *text.seen = true;
                }
                return readText(reader, this->*text.field);
            }
        }
        return true;
    });
    return closed && !refused && (seenError || (seenResult && seenSession && seenUserId && seenUserName));
}

namespace {

// Characters [first, first + count) of `text` as a decimal number.
std::int32_t digitsAt(const std::string &text, std::size_t first, std::size_t count)
{
    return toInt32(text.substr(first, count).c_str());
}

void sortRelations(GetRelationsResponse &reply)
{
    for (std::size_t i = 0; i < reply.entries.size(); ++i) {
        RelationEntry &entry = reply.entries[i];
        const int own = entry.own_status;
        const int other = entry.other_status;
        entry.blocked = own == 'B' || other == 'B';
        if (entry.blocked) {
            reply.blocked_names[entry.target_user_name] = true;
        }
        if (own == 'F' && other == 'F') {
            entry.category = 0;
            reply.friends.push_back(i);
        } else if (own == 'F' && other == 'N') {
            entry.category = 1;
            reply.pending_sent.push_back(i);
        } else if (own == 'N' && other == 'F') {
            entry.category = 2;
            reply.pending_received.push_back(i);
        } else if (own == 'B' && (other == 'F' || other == 'N')) {
            entry.category = 3;
            reply.blocked.push_back(i);
        } else if (own == 'B' && (other == 'B' || other == 'I')) {
            entry.category = 3;
            entry.target_user_online_status = 0;
            reply.blocked.push_back(i);
        }
    }
}

} // namespace

bool GetRelationsResponse::ParseFromResponseXML(const char *document, unsigned int length)
{
    error_id = 0;
    entries.clear();
    friends.clear();
    blocked.clear();
    pending_sent.clear();
    pending_received.clear();
    blocked_names.clear();
    bool refused = false;
    const bool closed = walkReply(document, length, [&](XmlReader &reader) {
        const auto &name = reader.getName();
        if (name == "relation") {
            const std::string status = attributeText(reader, "relation_status");
            if (status.size() != 3) {
                return true;
            }
            if (entries.size() >= kMaxRelations) {
                refused = true;
                return false;
            }
            RelationEntry entry;
            entry.game_id = attributeNumber(reader, "game_id");
            entry.user_id = attributeText(reader, "user_id");
            entry.target_user_id = attributeText(reader, "target_user_id");
            entry.target_user_name = attributeText(reader, "target_user_name");
            entry.target_user_online_status = attributeNumber(reader, "target_user_online_status");
            const std::string mode = attributeText(reader, "game_mode");
            if (mode.size() == 8) {
                entry.mode_major = digitsAt(mode, 0, 4);
                entry.mode_minor = digitsAt(mode, 4, 3);
                entry.mode_flag = digitsAt(mode, 7, 1) != 0;
            }
            entry.game_mode_text = attributeText(reader, "game_mode_text");
            entry.own_status = static_cast<unsigned char>(status[0]);
            entry.other_status = static_cast<unsigned char>(status[2]);
            entries.push_back(std::move(entry));
        } else if (name == "error") {
            readError(reader, error_id, error_message);
        }
        return true;
    });
    sortRelations(*this);
    return closed && !refused;
}

bool GetLeaderboardResponse::ParseFromResponseXML(const char *document, unsigned int length)
{
    current_rank = -1;
    last_rank = -1;
    error_id = 0;

    enum Needed : unsigned { kCurrentCdn = 1, kCurrentLength = 2, kLastCdn = 4, kLastLength = 8, kAll = 15 };
    unsigned seen = 0;
    bool seenError = false;
    struct TextField {
        const char *element;
        std::string GetLeaderboardResponse::*field;
        unsigned needed;
    };
    struct NumberField {
        const char *element;
        std::int32_t GetLeaderboardResponse::*field;
        unsigned needed;
    };
    static constexpr TextField kTexts[] = {
        {"current_cdn", &GetLeaderboardResponse::current_cdn, kCurrentCdn},
        {"last_cdn", &GetLeaderboardResponse::last_cdn, kLastCdn},
    };
    static constexpr NumberField kNumbers[] = {
        {"current_rank", &GetLeaderboardResponse::current_rank, 0},
        {"current_record_length", &GetLeaderboardResponse::current_record_length, kCurrentLength},
        {"current_total_records", &GetLeaderboardResponse::current_total_records, 0},
        {"last_rank", &GetLeaderboardResponse::last_rank, 0},
        {"last_record_length", &GetLeaderboardResponse::last_record_length, kLastLength},
        {"last_total_records", &GetLeaderboardResponse::last_total_records, 0},
    };
    const bool closed = walkReply(document, length, [&](XmlReader &reader) {
        const auto &name = reader.getName();
        if (name == "error") {
            readError(reader, error_id, error_message);
            seenError = true;
            return true;
        }
        for (const auto &text : kTexts) {
            if (name == text.element) {
                seen |= text.needed;
                return readText(reader, this->*text.field);
            }
        }
        for (const auto &number : kNumbers) {
            if (name == number.element) {
                seen |= number.needed;
                std::string value;
                const bool more = readText(reader, value);
                this->*number.field = toInt32(value.c_str());
                return more;
            }
        }
        return true;
    });
    return closed && (seenError || seen == kAll);
}

bool CDNLeaderboard::ParseFromResponseXML(const char *document, unsigned int length, unsigned int firstRank)
{
    const std::size_t before = entries.size();
    cdn_leaderboard_entry row;
    std::uint32_t nextRank = firstRank;
    std::size_t rows = 0;
    bool refused = false;
    struct TextField {
        const char *element;
        std::string cdn_leaderboard_entry::*field;
    };
    struct NumberField {
        const char *element;
        std::int32_t cdn_leaderboard_entry::*field;
    };
    static constexpr TextField kTexts[] = {
        {"score", &cdn_leaderboard_entry::score},
        {"user_name", &cdn_leaderboard_entry::user_name},
        {"user_id", &cdn_leaderboard_entry::user_id},
    };
    static constexpr NumberField kNumbers[] = {
        {"wins", &cdn_leaderboard_entry::wins},
        {"losses", &cdn_leaderboard_entry::losses},
        {"avatar_id", &cdn_leaderboard_entry::avatar_id},
    };
    // False stops the walk: the document ends inside a row, or a field is
    // longer than a row may hold.
    const auto readField = [&](XmlReader &reader, std::string &field) {
        if (!readText(reader, field)) {
            return false;
        }
        if (field.size() > kMaxFieldBytes) {
            refused = true;
            return false;
        }
        return true;
    };
    walkReply(document, length, [&](XmlReader &reader) {
        const auto &name = reader.getName();
        for (const auto &text : kTexts) {
            if (name == text.element) {
                return readField(reader, row.*text.field);
            }
        }
        for (const auto &number : kNumbers) {
            if (name == number.element) {
                std::string value;
                const bool more = readField(reader, value);
                row.*number.field = toInt32(value.c_str());
                return more;
            }
        }
        const bool isMetadata = name == "metadata";
        if (isMetadata || name == "gamedata") {
            // An empty-element tag leaves the field empty.
            if (!reader.isEmptyElement() && !readField(reader, isMetadata ? row.metadata : row.gamedata)) {
                return false; // cut inside the row: it makes no row
            }
            if (!isMetadata) {
                if (++rows > kMaxPageRows) {
                    refused = true;
                    return false;
                }
                row.rank = nextRank++;
                // Each row holds only its own fields.
                entries.push_back(std::exchange(row, cdn_leaderboard_entry{}));
            }
        }
        return true;
    });
    if (refused) {
        entries.resize(before);
        return false;
    }
    return true;
}

bool JoinGroupByTopicResponse::ParseFromResponseXML(const char *document, unsigned int length)
{
    error_id = 0;
    bool seenResult = false;
    bool seenGroup = false;
    bool seenError = false;
    const bool closed = walkReply(document, length, [&](XmlReader &reader) {
        const auto &name = reader.getName();
        if (name == "result") {
            seenResult = true;
        } else if (name == "group_info") {
            server_id = attributeNumber(reader, "server_id");
            address = attributeText(reader, "address");
            group_id = attributeNumber(reader, "group_id");
            seenGroup = true;
        } else if (name == "error") {
            readError(reader, error_id, error_message);
            seenError = true;
        }
        return true;
    });
    return closed && (seenError || (seenResult && seenGroup));
}

} // namespace Tarv
} // namespace KwexNet
