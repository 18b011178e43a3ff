// The ads answer: a big-endian chunked message that the report upload hands
// over when the report asked for ads. The parser reads it in one pass into
// its maps (ad blocks, hooks, themes, images, image codes), applies the ad
// properties, stores new images in the image cache and, at the end of the
// message, archives itself so that the next launch can serve ads before its
// own answer arrives.
//
// Two shared instances exist: the current one, which takes this session's
// answer, and the old one, read back from the file cache under "adParser".
// Until the current one has parsed an answer, lookups go to the old one.
//
// Every count and length in the message is checked against its chunk and
// the body; an entry cut short is dropped, and a chunk header or payload
// running past the body ends the walk.
//
// What one answer may hold is capped, so that its archive is written in
// time linear in the answer and always reads back: an answer whose chunks
// declare more hooks, ads, images or image codes than the caps below is
// refused whole (as a failed exchange is), never cut short. Decoded
// pictures are bounded too: a parser holds at most kMaxDecodedImageBytes
// of pixels, whether they came with its answer or from the image cache;
// a picture past that bound is refused (logged) before it is decoded.
#ifndef TALLY_TALLY_AD_PARSER_H
#define TALLY_TALLY_AD_PARSER_H

#include "platform/plist.h"
#include "tally/TallyAdValues.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tally {

class TallyAdImpression;
struct TallyOffer;

// Told whether the last answer brought ad data. Called on the upload
// thread, after the parse, without the parser's lock held.
class TallyAdDelegate {
public:
    virtual ~TallyAdDelegate() = default;
    virtual void dataAvailable() {}
    virtual void dataUnavailable() {}
    // A full-screen canvas opens for the hook, and closes. Main thread.
    virtual void canvasWillDisplay(const std::string & /*hook*/) {}
    virtual void canvasWillClose() {}
};

class TallyAdParser {
public:
    // Image data beyond this is not decoded nor cached.
    static constexpr std::size_t kMaxImageDataSize = std::size_t{4} << 20;
    // Pixels (4 bytes each) a parser holds decoded, all pictures together.
    static constexpr std::uint64_t kMaxDecodedImageBytes = std::uint64_t{64} << 20;
    // Entries one answer may declare, summed over its chunks.
    static constexpr std::uint64_t kMaxHooks = 1024;
    static constexpr std::uint64_t kMaxAds = 4096;
    static constexpr std::uint64_t kMaxImages = 1024;
    static constexpr std::uint64_t kMaxImageCodes = 1024;
    static constexpr int kAdAttempts = 5;
    static constexpr std::uint16_t kClickActionKey = 0x0701;

    static std::shared_ptr<TallyAdParser> instance();
    static std::shared_ptr<TallyAdParser> recreateInstance();
    // nullptr while the file cache holds no parser archive; asked again on
    // each call until one is found.
    static std::shared_ptr<TallyAdParser> oldInstance();
    static std::shared_ptr<TallyAdParser> recreateOldInstance();
    [[nodiscard]] static bool isAdParserFinished();
    // Forgets both shared instances.
    static void resetForTesting();

    // Lookups on whichever parser serves now: the current one once it has
    // parsed an answer, else the old one. Ads answer nullptr while the last
    // exchange failed; hooks and image codes are served regardless.
    [[nodiscard]] static std::shared_ptr<TallyAdHook> fastHookWithName(const std::string &name);
    [[nodiscard]] static std::shared_ptr<TallyAd> fastAdWithHook(const std::string &hook,
                                                                 const std::optional<std::string> &parentName);
    [[nodiscard]] static std::shared_ptr<const platform::Image> fastImageWithCode(std::int16_t code);
    // Fills the offer from the hook's block (rotating it, without the
    // assignment bookkeeping) and tells the impression; false when the last
    // exchange failed or nothing serves the hook.
    [[nodiscard]] static bool fastOfferWithHook(const std::string &hook, TallyAdImpression &impression,
                                                TallyOffer &offer);

    TallyAdParser();

    // nullopt stands for no answer (a failed exchange).
    void parseData(std::optional<std::span<const std::uint8_t>> data);

    // The hook under the name (or the default hook ""), with its theme and
    // the theme's images attached; nullptr without theme or with a theme
    // image that cannot be found. The answer is a copy.
    [[nodiscard]] std::shared_ptr<TallyAdHook> hookWithName(const std::string &name) const;
    // The next ad of the hook's block that the parent does not show yet,
    // with its image; the block rotates by one for each ad tried.
    [[nodiscard]] std::shared_ptr<TallyAd> adWithHook(const std::string &hook,
                                                      const std::optional<std::string> &parentName);
    [[nodiscard]] bool offerWithHook(const std::string &hook, TallyAdImpression &impression, TallyOffer &offer);
    [[nodiscard]] std::shared_ptr<const platform::Image> getImageWithCode(std::int16_t code) const;
    [[nodiscard]] std::shared_ptr<const platform::Image> getImage(std::optional<std::int64_t> imageId) const;

    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    // Throws platform::ArchiveError for anything but an archived parser.
    [[nodiscard]] static std::shared_ptr<TallyAdParser> initWithCoder(const platform::PlistValue &archived);
    // Archives this parser in the shared file cache under "adParser".
    bool saveToFileCache() const;

    [[nodiscard]] bool internetAvailable() const { return mInternetAvailable.load(); }
    void setInternetAvailable(bool value) { mInternetAvailable.store(value); }
    // Published after the maps are filled: a reader that sees 1 sees them.
    [[nodiscard]] std::int32_t adParsingPhase() const { return mAdParsingPhase.load(std::memory_order_acquire); }
    void setAdParsingPhase(std::int32_t phase) { mAdParsingPhase.store(phase, std::memory_order_release); }
    void setAdDelegate(std::weak_ptr<TallyAdDelegate> delegate);
    [[nodiscard]] std::weak_ptr<TallyAdDelegate> adDelegate() const;

    // Copies of what the maps hold, for inspection.
    [[nodiscard]] std::optional<std::int32_t> versionId() const;
    [[nodiscard]] std::vector<TallyAd> adBlock(std::uint8_t adBlockId) const;
    [[nodiscard]] std::vector<std::uint8_t> adBlockIds() const;
    [[nodiscard]] std::vector<std::string> hookNames() const;
    [[nodiscard]] std::optional<TallyAdTheme> theme(std::uint8_t themeId) const;
    [[nodiscard]] std::vector<std::int64_t> imageIds() const;
    [[nodiscard]] std::map<std::int16_t, std::int64_t> imageCodes() const;
    // Bytes of decoded pixels this parser holds.
    [[nodiscard]] std::uint64_t decodedImageBytes() const;

private:
    class Reader;
    enum class Signal { dataAvailable, dataUnavailable };

    void processTaggedFile(std::span<const std::uint8_t> body, std::vector<Signal> &signals);
    // Empty when the answer is within the caps; else why it is refused.
    [[nodiscard]] static std::string overCaps(std::span<const std::uint8_t> body);
    // The picture decoded, when it fits in what is left of the pixel budget
    // (the picture now held under `imageId` counts as left); nullptr
    // otherwise, with `refused` (and a log line) when the budget said no.
    [[nodiscard]] std::shared_ptr<const platform::Image> decodeWithinBudgetLocked(std::int64_t imageId,
                                                                                 std::span<const std::uint8_t> bytes,
                                                                                 bool &refused) const;
    [[nodiscard]] bool fitsBudgetLocked(std::int64_t imageId, std::uint64_t bytes) const;
    // Files the record under its id, keeping the pixel count.
    void keepImageLocked(std::int64_t imageId, std::shared_ptr<const TallyAdImage> image) const;
    void cachedImageToMemory(std::optional<std::int64_t> imageId);
    [[nodiscard]] std::shared_ptr<const platform::Image> getImageLocked(std::optional<std::int64_t> imageId) const;
    [[nodiscard]] std::shared_ptr<TallyAdHook> hookWithNameLocked(const std::string &name) const;
    [[nodiscard]] platform::PlistValue encodeLocked() const;
    void signal(const std::vector<Signal> &signals) const;

    mutable std::mutex mMutex;
    std::optional<std::int32_t> mVersionId;
    std::map<std::uint8_t, std::vector<std::shared_ptr<TallyAd>>> mAdBlockMap;
    // Filled by lookups too (pictures read from the image cache are kept
    // once, within the budget), hence mutable.
    mutable std::map<std::int64_t, std::shared_ptr<const TallyAdImage>> mImageMap;
    mutable std::uint64_t mDecodedImageBytes = 0;
    platform::PlistValue mCanvasMap; // kept and archived; nothing fills it
    std::map<std::string, TallyAdHook> mHookMap;
    std::map<std::uint8_t, TallyAdTheme> mThemeMap;
    std::map<std::int16_t, std::int64_t> mImageCodeMap;
    std::weak_ptr<TallyAdDelegate> mAdDelegate;

    std::atomic<std::int32_t> mAdParsingPhase{0};
    std::atomic<bool> mInternetAvailable{true};
};

} // namespace tally

#endif // TALLY_TALLY_AD_PARSER_H
