#include "platform/media.h"

#include "platform/files.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

namespace platform {
namespace {

struct SoundRegistry {
    std::mutex mutex;
    std::map<SystemSoundID, std::string> sounds;
    std::vector<SystemSoundID> plays;
    SystemSoundID next = 4096;
};

SoundRegistry &sounds()
{
    static SoundRegistry registry;
    return registry;
}

std::uint32_t le32(const std::uint8_t *p)
{
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint16_t le16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Enough of the file for its header chunks; the sound's samples are never read.
constexpr std::size_t kWaveHeaderBytes = 64 * 1024;

} // namespace

bool isWaveFile(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 12 || !std::equal(bytes.begin(), bytes.begin() + 4, "RIFF") ||
        !std::equal(bytes.begin() + 8, bytes.begin() + 12, "WAVE")) {
        return false;
    }
    bool format = false;
    std::size_t at = 12;
    while (bytes.size() - at >= 8) {
        const std::uint8_t *chunk = bytes.data() + at;
        const std::uint32_t size = le32(chunk + 4);
        const std::size_t body = bytes.size() - at - 8;
        if (std::equal(chunk, chunk + 4, "fmt ")) {
            if (size < 16 || body < 16)
                return false;
            const std::uint16_t tag = le16(chunk + 8);
            const std::uint16_t channels = le16(chunk + 10);
            const std::uint32_t rate = le32(chunk + 12);
            const std::uint16_t bits = le16(chunk + 22);
            if ((tag != 1 && tag != 3 && tag != 0xFFFE) || channels == 0 || rate == 0 || bits == 0)
                return false;
            format = true;
        } else if (std::equal(chunk, chunk + 4, "data")) {
            return format; // the format must come first
        }
        // Chunks are padded to even sizes; a size past the end ends the walk.
        const std::size_t step = std::size_t{size} + (size & 1u);
        if (step > body)
            return false;
        at += 8 + step;
    }
    return false;
}

SystemSoundID createSystemSound(const std::string &path)
{
    std::vector<std::uint8_t> head;
    {
        std::FILE *file = std::fopen(path.c_str(), "rb");
        if (file == nullptr)
            return 0;
        head.resize(kWaveHeaderBytes);
        head.resize(std::fread(head.data(), 1, head.size(), file));
        std::fclose(file);
    }
    if (!isWaveFile(head))
        return 0;
    auto &registry = sounds();
    std::lock_guard lock(registry.mutex);
    const SystemSoundID id = registry.next++;
    registry.sounds.emplace(id, path);
    return id;
}

void disposeSystemSound(SystemSoundID id)
{
    auto &registry = sounds();
    std::lock_guard lock(registry.mutex);
    registry.sounds.erase(id);
}

void playSystemSound(SystemSoundID id)
{
    auto &registry = sounds();
    std::lock_guard lock(registry.mutex);
    if (registry.sounds.count(id) != 0)
        registry.plays.push_back(id);
}

std::vector<SystemSoundID> systemSoundPlays()
{
    auto &registry = sounds();
    std::lock_guard lock(registry.mutex);
    return registry.plays;
}

void clearSystemSoundPlays()
{
    auto &registry = sounds();
    std::lock_guard lock(registry.mutex);
    registry.plays.clear();
}

// ------------------------------------------------------------------ music

MediaLibrary &MediaLibrary::defaultLibrary()
{
    checkUiThread();
    static MediaLibrary library;
    return library;
}

MusicPlayer &MusicPlayer::iPodMusicPlayer()
{
    checkUiThread();
    static MusicPlayer player;
    return player;
}

void MusicPlayer::setQueue(std::vector<MediaItem> items)
{
    mQueue = std::move(items);
    mIndex = 0;
    mState = kPlaybackStopped;
    mTimeAtMark = 0.0;
}

void MusicPlayer::setNowPlayingIndex(std::size_t position)
{
    if (position >= mQueue.size())
        return;
    mIndex = position;
    setCurrentPlaybackTime(0.0);
}

std::optional<MediaItem> MusicPlayer::nowPlayingItem() const
{
    if (mIndex >= mQueue.size())
        return std::nullopt;
    return mQueue[mIndex];
}

void MusicPlayer::play()
{
    if (mIndex >= mQueue.size() || mState == kPlaybackPlaying)
        return;
    mMark = uiRunLoop().now();
    mState = kPlaybackPlaying;
}

void MusicPlayer::pause()
{
    if (mState != kPlaybackPlaying)
        return;
    mTimeAtMark = currentPlaybackTime();
    mState = kPlaybackPaused;
}

void MusicPlayer::stop()
{
    mState = kPlaybackStopped;
    mTimeAtMark = 0.0;
}

double MusicPlayer::currentPlaybackTime() const
{
    double t = mTimeAtMark;
    if (mState == kPlaybackPlaying)
        t += uiRunLoop().now() - mMark;
    if (const auto item = nowPlayingItem(); item && item->duration > 0.0)
        t = std::min(t, item->duration);
    return std::max(0.0, t);
}

void MusicPlayer::setCurrentPlaybackTime(double seconds)
{
    mTimeAtMark = seconds > 0.0 ? seconds : 0.0;
    mMark = uiRunLoop().now();
}

void MusicPlayer::reset()
{
    mQueue.clear();
    mIndex = 0;
    mState = kPlaybackStopped;
    mTimeAtMark = 0.0;
}

void MediaPickerController::setAllowsPickingMultipleItems(bool allows)
{
    if (!isNil())
        mMultiple = allows;
}

void MediaPickerController::setPrompt(std::string prompt)
{
    if (!isNil())
        mPrompt = std::move(prompt);
}

void MediaPickerController::setDelegate(std::weak_ptr<MediaPickerDelegate> delegate)
{
    if (!isNil())
        mDelegate = std::move(delegate);
}

bool MediaPickerController::pick(std::vector<MediaItem> items)
{
    const auto delegate = mDelegate.lock();
    if (isNil() || !delegate)
        return false;
    if (!mMultiple && items.size() > 1)
        items.resize(1);
    const auto self = shared_from_this();
    delegate->mediaPickerDidPickMediaItems(*this, items);
    return true;
}

bool MediaPickerController::cancel()
{
    const auto delegate = mDelegate.lock();
    if (isNil() || !delegate)
        return false;
    const auto self = shared_from_this();
    delegate->mediaPickerDidCancel(*this);
    return true;
}

} // namespace platform
