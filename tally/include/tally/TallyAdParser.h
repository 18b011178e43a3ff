// The two shared ad-parser instances: the current one, which takes this
// session's ads answer, and the old one, read back from the file cache
// under "adParser" where the previous session's parser archived itself.
//
// The ads answer itself is parsed by a later part of the library; here the
// parser holds its maps as archived values so that the archive survives
// from one session to the next unchanged.
#ifndef TALLY_TALLY_AD_PARSER_H
#define TALLY_TALLY_AD_PARSER_H

#include "platform/plist.h"

#include <atomic>
#include <memory>
#include <optional>

namespace tally {

class TallyAdParser {
public:
    static std::shared_ptr<TallyAdParser> instance();
    static std::shared_ptr<TallyAdParser> recreateInstance();
    // nullptr while the file cache holds no parser archive; asked again on
    // each call until one is found.
    static std::shared_ptr<TallyAdParser> oldInstance();
    static std::shared_ptr<TallyAdParser> recreateOldInstance();
    [[nodiscard]] static bool isAdParserFinished();

    TallyAdParser() = default;

    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    // Throws platform::ArchiveError for anything but an archived parser.
    [[nodiscard]] static std::shared_ptr<TallyAdParser> initWithCoder(const platform::PlistValue &archived);
    // Archives this parser in the shared file cache under "adParser".
    bool saveToFileCache() const;

    [[nodiscard]] bool internetAvailable() const { return mInternetAvailable.load(); }
    void setInternetAvailable(bool value) { mInternetAvailable.store(value); }
    [[nodiscard]] std::int32_t adParsingPhase() const { return mAdParsingPhase.load(); }
    void setAdParsingPhase(std::int32_t phase) { mAdParsingPhase.store(phase); }

    // The archived maps, as the ads answer filled them.
    platform::PlistValue versionId;
    platform::PlistValue adBlockMap;
    platform::PlistValue canvasMap;
    platform::PlistValue hookMap;
    platform::PlistValue themeMap;
    platform::PlistValue imageCodeMap;

private:
    std::atomic<std::int32_t> mAdParsingPhase{0};
    std::atomic<bool> mInternetAvailable{false};
};

} // namespace tally

#endif // TALLY_TALLY_AD_PARSER_H
