// Text encodings of the publisher network's values.
#ifndef KWEXNET_ENCODE_H
#define KWEXNET_ENCODE_H

#include <cstdint>

namespace KwexNet {
namespace Encode {

// Reads hexadecimal text (either case) as a 64-bit number, as the login
// service writes session ids. Characters that are no hexadecimal digit
// count as 0 in their place; only the last 16 characters count. False
// (value untouched) for a null text; "" gives 0.
[[nodiscard]] bool hexStringToLong(const char *text, std::uint64_t &value);

} // namespace Encode
} // namespace KwexNet

#endif // KWEXNET_ENCODE_H
