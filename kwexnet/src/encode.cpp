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
