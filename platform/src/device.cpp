#include "platform/device.h"

#include "platform/files.h"

#include <openssl/rand.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

namespace platform {
namespace {

std::mutex &deviceMutex()
{
    static std::mutex m;
    return m;
}

DeviceFacts &storedFacts()
{
    static DeviceFacts facts;
    return facts;
}

std::optional<AlertRecord> &storedAlert()
{
    static std::optional<AlertRecord> alert;
    return alert;
}

std::string defaultLocale()
{
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *v = std::getenv(name);
        if (v == nullptr || *v == '\0') continue;
        std::string s(v);
        s = s.substr(0, s.find_first_of(".@"));
        if (s == "C" || s == "POSIX" || s.empty()) break;
        return s;
    }
    return "en_US";
}

std::string defaultTimeZone()
{
    if (const char *tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') {
        return tz[0] == ':' ? std::string(tz + 1) : std::string(tz);
    }
    std::ifstream in("/etc/timezone");
    std::string line;
    if (in && std::getline(in, line) && !line.empty()) return line;
    return "UTC";
}

// Identifiers made in this process, by file: the one to give again when
// the file could not keep it.
struct MadeIdentifier {
    std::string id;
    bool failureSaid = false;
};
std::map<std::string, MadeIdentifier> &madeIdentifiers()
{
    static auto *made = new std::map<std::string, MadeIdentifier>();
    return *made;
}

bool isIdentifier(const std::string &s)
{
    if (s.size() != 40) return false;
    for (const char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

} // namespace

DeviceFacts deviceFacts()
{
    std::lock_guard lock(deviceMutex());
    DeviceFacts facts = storedFacts();
    if (facts.localeIdentifier.empty()) facts.localeIdentifier = defaultLocale();
    if (facts.timeZoneName.empty()) facts.timeZoneName = defaultTimeZone();
    return facts;
}

void setDeviceFacts(DeviceFacts facts)
{
    std::lock_guard lock(deviceMutex());
    storedFacts() = std::move(facts);
}

std::string deviceUniqueIdentifier()
{
    std::lock_guard lock(deviceMutex());
    const std::string path = libraryDirectory() + "/.deviceIdentifier";
    if (auto bytes = readWholeFile(path, 1024)) {
        std::string text(bytes->begin(), bytes->end());
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (isIdentifier(text)) return text;
    }
    MadeIdentifier &made = madeIdentifiers()[path];
    if (!made.id.empty()) return made.id;
    unsigned char raw[20];
    if (RAND_bytes(raw, sizeof raw) != 1) {
        // No entropy source: fall back to the kernel's directly.
        std::ifstream urandom("/dev/urandom", std::ios::binary);
        urandom.read(reinterpret_cast<char *>(raw), sizeof raw);
    }
    static const char hex[] = "0123456789abcdef";
    std::string id;
    for (const unsigned char b : raw) {
        id.push_back(hex[b >> 4]);
        id.push_back(hex[b & 15]);
    }
    const std::string line = id + "\n";
    made.id = id;
    if (!writeFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t *>(line.data()), line.size())) &&
        !made.failureSaid) {
        made.failureSaid = true;
        consoleLog("device: could not save the device identifier to " + path +
                   "; this run keeps the one it made, the next run makes another");
    }
    return id;
}

void showAlert(const std::string &title, const std::string &message, const std::string &button)
{
    std::fprintf(stderr, "[alert] %s%s%s [%s]\n", title.c_str(), title.empty() ? "" : ": ", message.c_str(),
                 button.c_str());
    std::lock_guard lock(deviceMutex());
    storedAlert() = AlertRecord{title, message, button};
}

std::optional<AlertRecord> lastAlert()
{
    std::lock_guard lock(deviceMutex());
    return storedAlert();
}

void clearLastAlert()
{
    std::lock_guard lock(deviceMutex());
    storedAlert().reset();
}

void consoleLog(const std::string &line) { std::fprintf(stderr, "%s\n", line.c_str()); }

namespace {

// The value after "name" and a colon on the first line that starts with it,
// within the first 256 lines of a small text file.
std::optional<std::string> fieldOf(const std::string &path, const std::string &name)
{
    std::ifstream in(path);
    std::string line;
    for (int n = 0; n < 256 && std::getline(in, line); ++n) {
        if (line.rfind(name, 0) != 0)
            continue;
        const std::size_t colon = line.find(':', name.size());
        if (colon == std::string::npos || line.find_first_not_of(" \t", name.size()) != colon)
            continue;
        return line.substr(colon + 1);
    }
    return std::nullopt;
}

// The decimal number at the start of `text` after blanks; nullopt for
// anything else or a value past `limit`.
std::optional<double> leadingNumber(const std::string &text, double limit)
{
    const std::size_t at = text.find_first_not_of(" \t");
    if (at == std::string::npos)
        return std::nullopt;
    double value = 0.0;
    const auto [end, ec] = std::from_chars(text.data() + at, text.data() + text.size(), value,
                                           std::chars_format::fixed);
    if (ec != std::errc() || !(value >= 0.0) || value > limit)
        return std::nullopt;
    return value;
}

constexpr double kMaxMemoryKiB = 1e12;  // a petabyte: anything beyond is a misread
constexpr double kMaxFrequencyHz = 1e12;

} // namespace

std::uint64_t physicalMemoryBytes(const std::string &meminfo)
{
    const auto field = fieldOf(meminfo, "MemTotal");
    if (!field)
        return 0;
    const auto kib = leadingNumber(*field, kMaxMemoryKiB);
    if (!kib || field->find("kB") == std::string::npos)
        return 0;
    return static_cast<std::uint64_t>(*kib) * 1024u;
}

std::uint64_t cpuFrequencyHz(const std::string &sysCpu, const std::string &cpuinfo)
{
    std::ifstream in(sysCpu + "/cpu0/cpufreq/cpuinfo_max_freq");
    std::string line;
    if (std::getline(in, line)) {
        if (const auto khz = leadingNumber(line, kMaxFrequencyHz / 1000.0); khz && *khz > 0.0)
            return static_cast<std::uint64_t>(*khz) * 1000u;
    }
    if (const auto field = fieldOf(cpuinfo, "cpu MHz")) {
        if (const auto mhz = leadingNumber(*field, kMaxFrequencyHz / 1e6); mhz && *mhz > 0.0)
            return static_cast<std::uint64_t>(*mhz * 1e6 + 0.5);
    }
    return 0;
}

} // namespace platform
