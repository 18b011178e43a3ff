#include "tally/TallyCaches.h"

#include "platform/files.h"
#include "platform/keyed_archive.h"
#include "tally/TallyUtil.h"

#include <algorithm>
#include <charconv>
#include <mutex>

namespace tally {
namespace {

std::mutex gFileCacheMutex;
std::shared_ptr<TallyFileCache> gFileCache;
std::mutex gImageCacheMutex;
std::shared_ptr<TallyImageCache> gImageCache;

// Keys become part of file names: keep them to one path component.
bool isSafeKey(const std::string &key)
{
    return !key.empty() && key.find('/') == std::string::npos && key != "." && key != "..";
}

} // namespace

std::shared_ptr<TallyFileCache> TallyFileCache::createInstanceWithApiKey(const std::string &apiKey)
{
    std::lock_guard lock(gFileCacheMutex);
    if (!gFileCache) gFileCache = std::make_shared<TallyFileCache>(apiKey);
    return gFileCache;
}

std::shared_ptr<TallyFileCache> TallyFileCache::instance()
{
    std::lock_guard lock(gFileCacheMutex);
    return gFileCache;
}

TallyFileCache::TallyFileCache(std::string apiKey) : mApiKey(std::move(apiKey)) {}

std::string TallyFileCache::createDirectoryPath() const
{
    const std::string dir = platform::cachesDirectory() + "/Tally";
    platform::createDirectories(dir);
    return dir;
}

std::string TallyFileCache::createFilePath(const std::string &key) const
{
    return cat(createDirectoryPath(), "/tallyCache_", key, "_", mApiKey, ".archive");
}

std::optional<std::string> TallyFileCache::save(const platform::PlistValue &object, const std::string &key) const
{
    if (!isSafeKey(key) || !isSafeKey(mApiKey)) return std::nullopt;
    const std::string path = createFilePath(key);
    if (!platform::archiveRootObjectToFile(object, path)) {
        tallyDebug([&] { return cat("Tally: object[", key, "] cannot be saved to disk"); });
        return std::nullopt;
    }
    tallyDebug([&] { return cat("Tally: object[", key, "] saved to disk at path[", path, "]"); });
    return path;
}

std::optional<platform::PlistValue> TallyFileCache::get(const std::string &key) const
{
    if (!isSafeKey(key) || !isSafeKey(mApiKey)) return std::nullopt;
    const std::string path = createFilePath(key);
    try {
        auto object = platform::unarchiveObjectWithFile(path);
        if (object) tallyDebug([&] { return cat("Tally: object[", key, "] retrieved from disk at path[", path, "]"); });
        return object;
    } catch (const platform::ArchiveError &) {
        return std::nullopt;
    }
}

bool TallyFileCache::remove(const std::string &key) const
{
    if (!isSafeKey(key) || !isSafeKey(mApiKey)) return false;
    const std::string path = createFilePath(key);
    const bool ok = platform::removeFile(path);
    tallyDebug([&] { return cat("Tally: object at path[", path, "] removed from disk successful[", ok, "]"); });
    return ok;
}

bool TallyFileCache::removeCache() const
{
    const std::string dir = platform::cachesDirectory() + "/Tally";
    const bool ok = platform::removeTree(dir);
    tallyDebug([&] { return cat("Tally: object at path[", dir, "] removed from disk successful[", ok, "]"); });
    return ok;
}

std::shared_ptr<TallyImageCache> TallyImageCache::createInstanceWithFileCache(std::shared_ptr<TallyFileCache> fileCache)
{
    std::lock_guard lock(gImageCacheMutex);
    if (gImageCache) return gImageCache;
    if (!fileCache) return nullptr;
    std::shared_ptr<TallyImageCache> loaded;
    if (auto archived = fileCache->get("imageCache")) {
        try {
            loaded = initWithCoder(*archived);
        } catch (const platform::ArchiveError &) {
            loaded.reset();
        }
    }
    if (loaded) {
        loaded->setFileCache(fileCache);
        gImageCache = loaded;
    } else {
        fileCache->removeCache();
        gImageCache = std::make_shared<TallyImageCache>(fileCache);
    }
    return gImageCache;
}

std::shared_ptr<TallyImageCache> TallyImageCache::recreateInstanceWithFileCache(std::shared_ptr<TallyFileCache> fileCache)
{
    tallyDebug([] { return std::string("Tally: recreate TallyImageCache"); });
    {
        std::lock_guard lock(gImageCacheMutex);
        gImageCache.reset();
    }
    return createInstanceWithFileCache(std::move(fileCache));
}

std::shared_ptr<TallyImageCache> TallyImageCache::instance()
{
    std::lock_guard lock(gImageCacheMutex);
    return gImageCache;
}

TallyImageCache::TallyImageCache(std::shared_ptr<TallyFileCache> fileCache) : mFileCache(std::move(fileCache))
{
    mLru.reserve(kMaxImageCached);
}

std::string TallyImageCache::imageIdToFileName(std::int64_t imageId) { return cat("tallyImage", imageId); }

void TallyImageCache::save(const TallyImage &image, std::int64_t imageId)
{
    std::lock_guard lock(mMutex);
    if (!mFileCache) return;
    tallyDebug([&] { return cat("Tally: Image cache saving imageId[", imageId, "]"); });
    if (mIndex.count(imageId) == 0 && static_cast<int>(mIndex.size()) >= mMaxImageCached && !mLru.empty()) {
        const std::int64_t oldest = mLru.front();
        tallyDebug([&] { return cat("Tally: Image cache full, remove oldest entry[", oldest, "]"); });
        removeLocked(oldest);
    }
    const std::string key = imageIdToFileName(imageId);
    if (mFileCache->save(image.encodeWithCoder(), key)) {
        mIndex[imageId] = key;
        removeFromLruLocked(imageId);
        mLru.push_back(imageId);
    }
}

std::optional<TallyImage> TallyImageCache::get(std::int64_t imageId)
{
    std::lock_guard lock(mMutex);
    tallyDebug([&] { return cat("Tally: Image cache retrieving imageId[", imageId, "]"); });
    const auto it = mIndex.find(imageId);
    if (it == mIndex.end() || !mFileCache) return std::nullopt;
    removeFromLruLocked(imageId);
    mLru.push_back(imageId);
    std::optional<TallyImage> image;
    if (const auto object = mFileCache->get(it->second)) {
        try {
            image = TallyImage::initWithCoder(*object);
        } catch (const platform::ArchiveError &) {
            image.reset();
        }
    }
    if (!image) {
        mIndex.erase(it);
        removeFromLruLocked(imageId);
    }
    return image;
}

bool TallyImageCache::remove(std::int64_t imageId)
{
    std::lock_guard lock(mMutex);
    return removeLocked(imageId);
}

bool TallyImageCache::removeLocked(std::int64_t imageId)
{
    tallyDebug([&] { return cat("Tally: Image cache removing imageId[", imageId, "]"); });
    const auto it = mIndex.find(imageId);
    if (it == mIndex.end() || !mFileCache) return false;
    const bool ok = mFileCache->remove(it->second);
    if (ok) {
        mIndex.erase(it);
        removeFromLruLocked(imageId);
    }
    return ok;
}

void TallyImageCache::setAsMostRecentlyUsed(std::int64_t imageId)
{
    std::lock_guard lock(mMutex);
    tallyDebug([&] { return cat("Tally: Image cache setting imageId[", imageId, "] as most recently used"); });
    removeFromLruLocked(imageId);
    mLru.push_back(imageId);
}

void TallyImageCache::removeFromLruLocked(std::int64_t imageId)
{
    mLru.erase(std::remove(mLru.begin(), mLru.end(), imageId), mLru.end());
}

std::vector<std::int64_t> TallyImageCache::storedIds() const
{
    std::lock_guard lock(mMutex);
    std::vector<std::int64_t> ids;
    for (const auto &[id, key] : mIndex) ids.push_back(id);
    return ids;
}

std::int64_t TallyImageCache::cacheUpdateTimestamp() const
{
    std::lock_guard lock(mMutex);
    return mCacheUpdateTimestamp;
}

void TallyImageCache::setCacheUpdateTimestamp(std::int64_t value)
{
    std::lock_guard lock(mMutex);
    mCacheUpdateTimestamp = value;
}

std::shared_ptr<TallyFileCache> TallyImageCache::fileCache() const
{
    std::lock_guard lock(mMutex);
    return mFileCache;
}

void TallyImageCache::setFileCache(std::shared_ptr<TallyFileCache> fileCache)
{
    std::lock_guard lock(mMutex);
    mFileCache = std::move(fileCache);
}

std::vector<std::int64_t> TallyImageCache::lru() const
{
    std::lock_guard lock(mMutex);
    return mLru;
}

platform::PlistValue TallyImageCache::encodeWithCoder() const
{
    std::lock_guard lock(mMutex);
    tallyDebug([] { return std::string("Tally: Encode TallyImageCache"); });
    platform::KeyedArchiver coder("TallyImageCache");
    platform::PlistDict index;
    for (const auto &[id, key] : mIndex) index[std::to_string(id)] = key;
    coder.encodeObject("index", platform::PlistValue(std::move(index)));
    coder.encodeInt("maxImageCached", mMaxImageCached);
    platform::PlistArray lru;
    for (const auto id : mLru) lru.emplace_back(id);
    coder.encodeObject("lru", platform::PlistValue(std::move(lru)));
    coder.encodeInt64("cacheUpdateTimestamp", mCacheUpdateTimestamp);
    return platform::PlistValue(coder.take());
}

std::shared_ptr<TallyImageCache> TallyImageCache::initWithCoder(const platform::PlistValue &archived)
{
    const platform::KeyedUnarchiver coder(archived, "TallyImageCache");
    auto cache = std::make_shared<TallyImageCache>(nullptr);
    if (auto index = coder.decodeObjectOf<platform::PlistDict>("index")) {
        for (const auto &[idText, key] : *index) {
            const auto *keyText = key.get<std::string>();
            std::int64_t id = 0;
            const auto parsed = std::from_chars(idText.data(), idText.data() + idText.size(), id);
            if (keyText == nullptr || parsed.ec != std::errc() || parsed.ptr != idText.data() + idText.size()) {
                throw platform::ArchiveError("TallyImageCache: bad index entry");
            }
            cache->mIndex[id] = *keyText;
        }
    }
    const int max = coder.decodeInt("maxImageCached");
    cache->mMaxImageCached = (max > 0 && max <= 4096) ? max : kMaxImageCached;
    if (auto lru = coder.decodeObjectOf<platform::PlistArray>("lru")) {
        for (const auto &item : *lru) {
            const auto *id = item.get<std::int64_t>();
            if (id == nullptr) throw platform::ArchiveError("TallyImageCache: bad lru entry");
            cache->mLru.push_back(*id);
        }
    }
    cache->mCacheUpdateTimestamp = coder.decodeInt64("cacheUpdateTimestamp");
    return cache;
}

} // namespace tally
