// Text encodings of the publisher network's values.
#ifndef KWEXNET_ENCODE_H
#define KWEXNET_ENCODE_H

#include <cstdint>
#include <string>
#include <string_view>

namespace KwexNet {
namespace Encode {

// Reads hexadecimal text (either case) as a 64-bit number, as the login
// service writes session ids. Characters that are no hexadecimal digit
// count as 0 in their place; only the last 16 characters count. False
// (value untouched) for a null text; "" gives 0.
[[nodiscard]] bool hexStringToLong(const char *text, std::uint64_t &value);

// Server text made safe for a terminal and for one-line-per-value output:
// the backslash becomes \\, line feed, carriage return and tab \n, \r and \t,
// every other control character (below 0x20, and 0x7f) \xHH.
[[nodiscard]] std::string escapeControlCharacters(std::string_view text);

} // namespace Encode
} // namespace KwexNet

#endif // KWEXNET_ENCODE_H
