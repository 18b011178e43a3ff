// Facts about the device and the application that the platform would give:
// idiom, model, locale, time zone, bundle version, a per-installation device
// identifier, alerts and the device console.
#ifndef PLATFORM_DEVICE_H
#define PLATFORM_DEVICE_H

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

enum class UserInterfaceIdiom { Phone = 0, Pad = 1 };

// What the device reports. Defaults: an iPhone that answers its idiom, the
// locale from LC_ALL/LC_MESSAGES/LANG ("en_US" when unset or "C"), the time
// zone from TZ or /etc/timezone ("UTC" when neither), bundle version "1.0",
// system version "4.3".
struct DeviceFacts {
    // nullopt: the device does not answer the idiom question at all.
    std::optional<UserInterfaceIdiom> idiom = UserInterfaceIdiom::Phone;
    std::string model = "iPhone";
    std::string localeIdentifier;
    std::string timeZoneName;
    std::string bundleVersion = "1.0";
    std::string systemVersion = "4.3";
};

[[nodiscard]] DeviceFacts deviceFacts();
void setDeviceFacts(DeviceFacts facts);

// A random identifier of 40 lower-case hexadecimal digits, made once per
// installation (per application root) and kept in Library/.deviceIdentifier.
// It never derives from the hardware. Read again whenever the file changes.
// When the file cannot be written (read-only or full folder, a folder in its
// place), the identifier made first stays for the life of the process, and
// the console says once that it could not be saved.
[[nodiscard]] std::string deviceUniqueIdentifier();

// A modal alert has no screen here: it is written to standard error and
// remembered, so that callers and tests can see it.
struct AlertRecord {
    std::string title;
    std::string message;
    std::string button;
};
void showAlert(const std::string &title, const std::string &message, const std::string &button);
[[nodiscard]] std::optional<AlertRecord> lastAlert();
void clearLastAlert();

// A line on the device console (standard error).
void consoleLog(const std::string &line);

// The machine's memory in bytes: "MemTotal" of a meminfo file
// (/proc/meminfo unless given); 0 when it cannot be read.
[[nodiscard]] std::uint64_t physicalMemoryBytes(const std::string &meminfo = "/proc/meminfo");
// The first processor's nominal clock in Hz: cpufreq's cpuinfo_max_freq
// under `sysCpu` (/sys/devices/system/cpu unless given), else the "cpu MHz"
// of `cpuinfo` (/proc/cpuinfo unless given); 0 when neither says.
[[nodiscard]] std::uint64_t cpuFrequencyHz(const std::string &sysCpu = "/sys/devices/system/cpu",
                                           const std::string &cpuinfo = "/proc/cpuinfo");

} // namespace platform

#endif // PLATFORM_DEVICE_H
