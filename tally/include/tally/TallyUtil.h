// The analytics library's debug mode and log file, its exception sink, the
// scrambling of log lines, the canvas orientation helpers and number parsing.
#ifndef TALLY_TALLY_UTIL_H
#define TALLY_TALLY_UTIL_H

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tally {

struct TallyRect {
    double x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const TallyRect &, const TallyRect &) = default;
};

class TallyUtil {
public:
    TallyUtil() = delete;

    [[nodiscard]] static bool isDebugModeUnlocked();
    // Debug mode goes on only when `code` is the unlock code of `apiKey` for
    // today or one of the seven following days; any other call turns it off.
    static void unlockDebugMode(const std::optional<std::string> &code, const std::string &apiKey);
    // The unlock code of `apiKey` for the local day `dayOffset` days from today.
    [[nodiscard]] static std::string unlockCode(const std::string &apiKey, int dayOffset);
    // Appends the message to "tally.logfile.txt" in Documents, one scrambled
    // line per piece between control characters, each with the date.
    static void logToFile(const std::string &message);
    [[nodiscard]] static std::string logFilePath();
    [[nodiscard]] static std::string transposeEncode(const std::string &text);
    [[nodiscard]] static std::string transposeDecode(const std::string &text);
    static void setShowErrorInLogEnabled(bool enabled);
    // Logs what was caught (in debug mode) and returns normally.
    static void handleException(std::exception_ptr error) noexcept;

    [[nodiscard]] static bool canvasInLandscapeRight(const std::optional<std::string> &orientation);
    [[nodiscard]] static bool canvasInLandscapeLeft(const std::optional<std::string> &orientation);
    [[nodiscard]] static bool canvasInLandscape(const std::optional<std::string> &orientation);
    [[nodiscard]] static TallyRect screenBounds(const std::optional<std::string> &orientation);
    // A decimal number in the C locale, whatever the user's locale says;
    // nullopt unless the whole text (blanks aside) is one number.
    [[nodiscard]] static std::optional<double> convertStrToNum(const std::string &text);
};

// Writes a debug line, built only when debug mode is on.
template <typename MakeMessage> void tallyDebug(MakeMessage &&makeMessage)
{
    if (TallyUtil::isDebugModeUnlocked()) TallyUtil::logToFile(std::forward<MakeMessage>(makeMessage)());
}

// Runs `body`; anything it throws goes to TallyUtil::handleException.
template <typename Body> void tallyGuarded(Body &&body) noexcept
{
    try {
        std::forward<Body>(body)();
    } catch (...) {
        TallyUtil::handleException(std::current_exception());
    }
}

// Joins text pieces and integers without the locale's help.
namespace detail {
inline void appendPiece(std::string &out, std::string_view piece) { out.append(piece); }
inline void appendPiece(std::string &out, const char *piece) { out.append(piece != nullptr ? piece : "(null)"); }
inline void appendPiece(std::string &out, const std::string &piece) { out.append(piece); }
template <typename T>
    requires std::is_integral_v<T>
void appendPiece(std::string &out, T value)
{
    if constexpr (std::is_same_v<T, bool>) {
        out.append(value ? "1" : "0");
    } else {
        out.append(std::to_string(value));
    }
}
} // namespace detail

template <typename... Pieces> [[nodiscard]] std::string cat(const Pieces &...pieces)
{
    std::string out;
    (detail::appendPiece(out, pieces), ...);
    return out;
}

} // namespace tally

#endif // TALLY_TALLY_UTIL_H
