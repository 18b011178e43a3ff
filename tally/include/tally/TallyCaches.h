// The library's file cache (one keyed-archive file per key in Caches/Tally,
// named with the API key) and the bounded least-recently-used cache of ad
// images kept on top of it.
#ifndef TALLY_TALLY_CACHES_H
#define TALLY_TALLY_CACHES_H

#include "platform/plist.h"
#include "tally/TallyAdValues.h"
#include "tally/TallyProtocolData.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tally {

class TallyFileCache {
public:
    // The first call creates the shared instance; an existing one keeps its key.
    static std::shared_ptr<TallyFileCache> createInstanceWithApiKey(const std::string &apiKey);
    [[nodiscard]] static std::shared_ptr<TallyFileCache> instance();

    explicit TallyFileCache(std::string apiKey);

    std::string createDirectoryPath() const;
    [[nodiscard]] std::string createFilePath(const std::string &key) const;
    // The file's path, or nullopt when it could not be written.
    std::optional<std::string> save(const platform::PlistValue &object, const std::string &key) const;
    // nullopt when the file is missing or is not a readable archive.
    [[nodiscard]] std::optional<platform::PlistValue> get(const std::string &key) const;
    bool remove(const std::string &key) const;
    bool removeCache() const;
    [[nodiscard]] const std::string &apiKey() const { return mApiKey; }

private:
    std::string mApiKey;
};

// Ad images are kept as their records, archived with the picture as PNG.
using TallyImage = TallyAdImage;

class TallyImageCache {
public:
    static constexpr int kMaxImageCached = 40;

    // Loads the archived cache from the file cache; with none, wipes the
    // cache directory (its files can no longer be matched to ids) and starts empty.
    static std::shared_ptr<TallyImageCache> createInstanceWithFileCache(std::shared_ptr<TallyFileCache> fileCache);
    static std::shared_ptr<TallyImageCache> recreateInstanceWithFileCache(std::shared_ptr<TallyFileCache> fileCache);
    [[nodiscard]] static std::shared_ptr<TallyImageCache> instance();

    explicit TallyImageCache(std::shared_ptr<TallyFileCache> fileCache);

    void save(const TallyImage &image, std::int64_t imageId);
    // nullopt when the id is not cached or its file no longer reads.
    [[nodiscard]] std::optional<TallyImage> get(std::int64_t imageId);
    bool remove(std::int64_t imageId);
    void setAsMostRecentlyUsed(std::int64_t imageId);
    // Ids in the index, in ascending order.
    [[nodiscard]] std::vector<std::int64_t> storedIds() const;
    [[nodiscard]] static std::string imageIdToFileName(std::int64_t imageId);
    [[nodiscard]] std::int64_t cacheUpdateTimestamp() const;
    void setCacheUpdateTimestamp(std::int64_t value);
    [[nodiscard]] std::shared_ptr<TallyFileCache> fileCache() const;
    void setFileCache(std::shared_ptr<TallyFileCache> fileCache);
    [[nodiscard]] std::vector<std::int64_t> lru() const;

    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    // Throws platform::ArchiveError for anything but an archived image cache.
    [[nodiscard]] static std::shared_ptr<TallyImageCache> initWithCoder(const platform::PlistValue &archived);

private:
    void removeFromLruLocked(std::int64_t imageId);
    bool removeLocked(std::int64_t imageId);

    mutable std::mutex mMutex;
    std::shared_ptr<TallyFileCache> mFileCache;
    std::map<std::int64_t, std::string> mIndex;
    int mMaxImageCached = kMaxImageCached;
    std::vector<std::int64_t> mLru; // least recently used first
    std::int64_t mCacheUpdateTimestamp = 0;
};

} // namespace tally

#endif // TALLY_TALLY_CACHES_H
