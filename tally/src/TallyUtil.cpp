#include "tally/TallyUtil.h"

#include "platform/date.h"
#include "platform/device.h"
#include "platform/digest.h"
#include "platform/files.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <typeinfo>
#include <vector>

namespace tally {
namespace {

std::atomic<bool> gDebugModeUnlocked{false};
std::atomic<bool> gShowErrorInLog{false};

// Lines from the sending threads and the main thread are whole lines.
std::mutex &logMutex()
{
    static std::mutex m;
    return m;
}

// Nine characters between the key and the date in the unlock text.
constexpr const char *kUnlockSeparator = "+tallydbg";

// UTF-8 to UTF-16 code units and back. Lone surrogates (which the column
// scrambling produces from split pairs) are carried as three-byte sequences,
// so the round trip is exact; bytes that are not UTF-8 travel as U+DC80+byte.
std::u16string toUtf16(const std::string &text)
{
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        auto cont = [&](std::size_t k) -> int {
            if (i + k >= text.size()) return -1;
            const auto c = static_cast<unsigned char>(text[i + k]);
            return (c & 0xC0) == 0x80 ? (c & 0x3F) : -1;
        };
        char32_t cp = 0;
        std::size_t len = 0;
        if (b0 < 0x80) {
            cp = b0;
            len = 1;
        } else if (b0 >= 0xC2 && b0 < 0xE0 && cont(1) >= 0) {
            cp = ((b0 & 0x1Fu) << 6) | static_cast<unsigned>(cont(1));
            len = 2;
        } else if (b0 >= 0xE0 && b0 < 0xF0 && cont(1) >= 0 && cont(2) >= 0) {
            cp = ((b0 & 0x0Fu) << 12) | (static_cast<unsigned>(cont(1)) << 6) | static_cast<unsigned>(cont(2));
            len = cp >= 0x800 ? 3 : 0;
        } else if (b0 >= 0xF0 && b0 < 0xF5 && cont(1) >= 0 && cont(2) >= 0 && cont(3) >= 0) {
            cp = ((b0 & 0x07u) << 18) | (static_cast<unsigned>(cont(1)) << 12) |
                 (static_cast<unsigned>(cont(2)) << 6) | static_cast<unsigned>(cont(3));
            len = (cp >= 0x10000 && cp <= 0x10FFFF) ? 4 : 0;
        }
        if (len == 0) {
            out.push_back(static_cast<char16_t>(0xDC80 + b0));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

void appendUtf8(std::string &out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string toUtf8(const std::u16string &units)
{
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            appendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xDC80 && u < 0xDD00) {
            out.push_back(static_cast<char>(u - 0xDC80)); // a byte that was not UTF-8
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

bool equalsIgnoringCase(const std::optional<std::string> &a, std::string_view b)
{
    if (!a || a->size() != b.size()) return false;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>((*a)[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace

bool TallyUtil::isDebugModeUnlocked() { return gDebugModeUnlocked.load(std::memory_order_acquire); }

std::string TallyUtil::unlockCode(const std::string &apiKey, int dayOffset)
{
    const auto day = platform::localCalendarDay(platform::currentDate(), dayOffset);
    char date[32];
    std::snprintf(date, sizeof date, "%02d-%02d-%04d", day.month, day.day, day.year);
    const std::string text = cat(apiKey, kUnlockSeparator, date);
    return platform::toLowerHex(platform::sha1(text));
}

void TallyUtil::unlockDebugMode(const std::optional<std::string> &code, const std::string &apiKey)
{
    gDebugModeUnlocked.store(false, std::memory_order_release);
    if (!code) return;
    for (int offset = 0; offset <= 7; ++offset) {
        if (unlockCode(apiKey, offset) == *code) {
            gDebugModeUnlocked.store(true, std::memory_order_release);
            return;
        }
    }
}

std::string TallyUtil::logFilePath() { return platform::documentsDirectory() + "/tally.logfile.txt"; }

void TallyUtil::logToFile(const std::string &message)
{
    std::lock_guard lock(logMutex());
    std::FILE *file = std::fopen(logFilePath().c_str(), "a");
    if (file == nullptr) {
        platform::consoleLog("Tally: logToFile: Failed to open log file");
        return;
    }
    const std::string date = platform::describeDate(platform::currentDate());
    std::size_t start = 0;
    for (;;) {
        std::size_t end = start;
        while (end < message.size() && !std::iscntrl(static_cast<unsigned char>(message[end]))) ++end;
        const std::string line = transposeEncode(cat(date, " ", std::string_view(message).substr(start, end - start)));
        std::fwrite(line.data(), 1, line.size(), file);
        std::fputc('\n', file);
        if (end >= message.size()) break;
        start = end + 1;
    }
    std::fclose(file);
}

std::string TallyUtil::transposeEncode(const std::string &text)
{
    const std::u16string units = toUtf16(text);
    std::u16string out;
    out.reserve(units.size());
    for (std::size_t bucket = 0; bucket < 7; ++bucket) {
        for (std::size_t i = bucket; i < units.size(); i += 7) out.push_back(units[i]);
    }
    return toUtf8(out);
}

std::string TallyUtil::transposeDecode(const std::string &text)
{
    const std::u16string units = toUtf16(text);
    const std::size_t n = units.size();
    std::size_t starts[7];
    std::size_t pos = 0;
    for (std::size_t bucket = 0; bucket < 7; ++bucket) {
        starts[bucket] = pos;
        pos += n / 7 + (bucket < n % 7 ? 1 : 0);
    }
    std::u16string out(n, u'\0');
    for (std::size_t i = 0; i < n; ++i) out[i] = units[starts[i % 7] + i / 7];
    return toUtf8(out);
}

void TallyUtil::setShowErrorInLogEnabled(bool enabled) { gShowErrorInLog.store(enabled); }

void TallyUtil::handleException(std::exception_ptr error) noexcept
{
    if (!isDebugModeUnlocked() || !error) return;
    try {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception &e) {
            logToFile("Tally: Caught Exception in Tally Analytics Code");
            logToFile("Tally: -----------------------------------------");
            logToFile(cat("Tally: Name:", typeid(e).name(), " Reason:", e.what()));
            logToFile("Tally: (null)");
        } catch (...) {
            logToFile("Tally: Caught Error in Tally Analytics Code");
            logToFile("Tally: unknown exception");
        }
    } catch (...) {
        // The sink itself never throws.
    }
}

bool TallyUtil::canvasInLandscapeRight(const std::optional<std::string> &orientation)
{
    return equalsIgnoringCase(orientation, "landscapeRight");
}

bool TallyUtil::canvasInLandscapeLeft(const std::optional<std::string> &orientation)
{
    return equalsIgnoringCase(orientation, "landscapeLeft");
}

bool TallyUtil::canvasInLandscape(const std::optional<std::string> &orientation)
{
    return canvasInLandscapeRight(orientation) || canvasInLandscapeLeft(orientation);
}

TallyRect TallyUtil::screenBounds(const std::optional<std::string> &orientation)
{
    return canvasInLandscape(orientation) ? TallyRect{0, 0, 480, 320} : TallyRect{0, 0, 320, 480};
}

std::optional<double> TallyUtil::convertStrToNum(const std::string &text)
{
    std::size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    if (begin < end && text[begin] == '+') ++begin; // from_chars takes no plus sign
    if (begin == end) return std::nullopt;
    double value = 0;
    const auto result = std::from_chars(text.data() + begin, text.data() + end, value, std::chars_format::fixed);
    if (result.ec != std::errc() || result.ptr != text.data() + end) return std::nullopt;
    return value;
}

} // namespace tally
