#include "aura_errors.h"

#include <array>

namespace {

constexpr std::array<const char *, AURA_RESULT_COUNT> kMessages = {
#include "aura_error_messages.inc"
};

} // namespace

extern "C" const char *AURA_ErrorString(AURA_RESULT errcode)
{
    // Compare as unsigned so that negative values fall through too.
    const auto index = static_cast<unsigned int>(errcode);
    if (index < kMessages.size()) {
        return kMessages[index];
    }
    return "Unknown error.";
}
