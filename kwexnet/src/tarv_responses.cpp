#include "kwexnet/tarv_responses.h"

#include <limits>

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

std::string attributeText(const XmlReader &reader, const char *name)
{
    return reader.GetAttribute(name).c_str();
}

std::int32_t attributeNumber(const XmlReader &reader, const char *name)
{
    return toInt32(reader.GetAttribute(name).c_str());
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
            const auto type = reader.GetAttribute("type");
            if (type == "http") {
                http_host = attributeText(reader, "host");
            } else if (type == "https") {
                https_host = attributeText(reader, "host");
            } else if (type == "socket") {
                socket_host = attributeText(reader, "host");
                // Kept in 16 bits, as the wire has it: 70000 becomes 4464.
                socket_port = static_cast<std::uint16_t>(
                    static_cast<std::uint32_t>(attributeNumber(reader, "port")));
            }
        } else if (name == "version") {
            const auto platform = reader.GetAttribute("platform");
            if (platform == "IPhone") {
                iphone_version = attributeText(reader, "number");
            } else if (platform == "IPad") {
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
            // "name" is sent too and not kept. emplace keeps the first value.
            map.emplace(static_cast<unsigned int>(attributeNumber(reader, "id")),
                        attributeText(reader, "value"));
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
    return closed && (seenError || (seenResult && seenSession && seenUserId && seenUserName));
}

} // namespace Tarv
} // namespace KwexNet
