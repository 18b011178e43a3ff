// Reads the input as each of the analytics library's archives: a stored
// session, the stored-session list, the image cache index, the ad parser
// and its themes and hooks;
// and as any property list the platform reads (user defaults are XML).
// A bad archive must end in ArchiveError (or nullptr), never a crash; one
// that reads must archive again and read back to the same record. Lists
// nested past the scan depth, cyclic or expanding without bound are refused
// before libplist sees them. Stored records read back must pass their check.
#include "platform/keyed_archive.h"
#include "tally/TallyAdParser.h"
#include "tally/TallyAdValues.h"
#include "tally/TallyCaches.h"
#include "tally/TallySession.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace {

void require(bool ok)
{
    if (!ok) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    (void)platform::plistFromBytes(std::span(data, size));
    platform::PlistValue root;
    try {
        root = platform::unarchiveData(std::span(data, size));
    } catch (const platform::ArchiveError &) {
        return 0;
    }
    try {
        if (auto session = tally::TallySession::initWithCoder(root)) {
            // Archiving stamps the current version, so compare after it.
            const platform::PlistValue archived = session->encodeWithCoder();
            const tally::Bytes record = session->data();
            auto again = tally::TallySession::initWithCoder(archived);
            require(again != nullptr && again->data() == record);
            // Whatever strings the archive held, the record is one the
            // service can read.
            require(tally::TallyProtocolData::isValidSessionRecord(record));
        }
    } catch (const platform::ArchiveError &) {
    }
    if (const auto *list = root.get<platform::PlistArray>()) {
        for (const auto &item : *list) {
            if (const auto *record = item.get<platform::PlistData>()) {
                (void)tally::TallyProtocolData::isValidSessionRecord(*record);
            }
        }
    }
    try {
        (void)tally::TallyImageCache::initWithCoder(root);
    } catch (const platform::ArchiveError &) {
    }
    try {
        // A parser that reads must archive to what reads back the same.
        const auto parser = tally::TallyAdParser::initWithCoder(root);
        const platform::PlistValue archived = parser->encodeWithCoder();
        require(tally::TallyAdParser::initWithCoder(archived)->encodeWithCoder() == archived);
    } catch (const platform::ArchiveError &) {
    }
    try {
        const auto theme = tally::TallyAdTheme::initWithCoder(root);
        require(tally::TallyAdTheme::initWithCoder(theme.encodeWithCoder()).encodeWithCoder() ==
                theme.encodeWithCoder());
    } catch (const platform::ArchiveError &) {
    }
    try {
        const auto hook = tally::TallyAdHook::initWithCoder(root);
        require(tally::TallyAdHook::initWithCoder(hook.encodeWithCoder()).encodeWithCoder() == hook.encodeWithCoder());
    } catch (const platform::ArchiveError &) {
    }
    return 0;
}
