#include "kwexnet/encode.h"

#include <cstring>

namespace KwexNet {
namespace Encode {

bool hexStringToLong(const char *text, std::uint64_t &value)
{
    if (!text) {
        return false;
    }
    std::uint64_t result = 0;
    unsigned shift = 0;
    for (std::size_t i = std::strlen(text); i > 0 && shift < 64; --i, shift += 4) {
        const char c = text[i - 1];
        std::uint64_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint64_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint64_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint64_t>(c - 'A' + 10);
        }
        result |= digit << shift;
    }
    value = result;
    return true;
}

} // namespace Encode
} // namespace KwexNet

namespace KwexNet {
namespace Encode {

std::string escapeControlCharacters(std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                out += "\\x";
                out += kHex[c >> 4];
                out += kHex[c & 0x0f];
            } else {
                out += ch;
            }
        }
    }
    return out;
}

} // namespace Encode
} // namespace KwexNet
