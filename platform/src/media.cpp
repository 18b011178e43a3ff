#include "platform/media.h"

#include "platform/device.h"
#include "platform/files.h"

#include <aura_errors.h>

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

namespace platform {
namespace {

struct SystemSound {
    std::string path;
    AURA::Sound *sound = nullptr; // loaded at the first play
};

struct SoundRegistry {
    std::recursive_mutex mutex;
    std::map<SystemSoundID, SystemSound> sounds;
    std::vector<SystemSoundID> plays;
    SystemSoundID next = 4096;
    int audioClient = 0;
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
    registry.sounds.emplace(id, SystemSound{path, nullptr});
    return id;
}

void disposeSystemSound(SystemSoundID id)
{
    auto &registry = sounds();
    std::lock_guard lock(registry.mutex);
    const auto it = registry.sounds.find(id);
    if (it == registry.sounds.end())
        return;
    if (it->second.sound != nullptr)
        (void)it->second.sound->release();
    registry.sounds.erase(it);
}

void playSystemSound(SystemSoundID id)
{
    auto &registry = sounds();
    std::lock_guard lock(registry.mutex);
    const auto it = registry.sounds.find(id);
    if (it == registry.sounds.end())
        return;
    registry.plays.push_back(id);
    AURA::System *system = audioSystem();
    if (system == nullptr)
        return;
    if (registry.audioClient == 0) {
        // The sounds go with the system; they load again at their next play.
        registry.audioClient = addAudioClient({nullptr, [] {
                                                   auto &r = sounds();
                                                   std::lock_guard inner(r.mutex);
                                                   for (auto &[key, sound] : r.sounds) {
                                                       if (sound.sound != nullptr)
                                                           (void)sound.sound->release();
                                                       sound.sound = nullptr;
                                                   }
                                               }});
    }
    SystemSound &sound = it->second;
    if (sound.sound == nullptr &&
        system->createSound(sound.path.c_str(), AURA_SOFTWARE | AURA_LOOP_OFF, nullptr, &sound.sound) != AURA_OK) {
        sound.sound = nullptr;
        consoleLog("platform: cannot play the system sound " + sound.path);
        return;
    }
    AURA::Channel *channel = nullptr;
    (void)system->playSound(AURA_CHANNEL_FREE, sound.sound, false, &channel);
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

namespace {

std::optional<std::string> gMusicDirectory;
std::uint64_t gMusicDirectoryGeneration = 0;

std::string homeDirectory()
{
    const char *home = std::getenv("HOME");
    return home != nullptr ? home : "";
}

// XDG_MUSIC_DIR="$HOME/Music" in the user's user-dirs.dirs.
std::optional<std::string> userDirsMusic()
{
    const char *config = std::getenv("XDG_CONFIG_HOME");
    const std::string base = config != nullptr && *config != '\0' ? config : homeDirectory() + "/.config";
    std::ifstream in(base + "/user-dirs.dirs");
    std::string line;
    for (int n = 0; n < 256 && std::getline(in, line); ++n) {
        if (line.rfind("XDG_MUSIC_DIR=", 0) != 0)
            continue;
        std::string value = line.substr(14);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0)
            value = homeDirectory() + value.substr(5);
        if (!value.empty() && value.front() == '/')
            return value;
    }
    return std::nullopt;
}

bool isAudioFileName(const std::filesystem::path &path)
{
    static const char *const kExtensions[] = {".wav", ".ogg", ".oga", ".flac", ".mp3", ".mp2", ".aif", ".aiff",
                                              ".mod", ".s3m", ".xm",  ".it",  ".mid", ".midi"};
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::find(std::begin(kExtensions), std::end(kExtensions), ext) != std::end(kExtensions);
}

// A tag's text as UTF-8; empty for tags that hold no text.
std::string tagText(const AURA_TAG &tag)
{
    if (tag.data == nullptr || tag.datalen == 0)
        return {};
    const auto *bytes = static_cast<const unsigned char *>(tag.data);
    std::string text;
    if (tag.datatype == AURA_TAGDATATYPE_STRING || tag.datatype == AURA_TAGDATATYPE_STRING_UTF8) {
        text.assign(reinterpret_cast<const char *>(bytes), tag.datalen);
    } else if (tag.datatype == AURA_TAGDATATYPE_STRING_UTF16 || tag.datatype == AURA_TAGDATATYPE_STRING_UTF16BE) {
        const bool big = tag.datatype == AURA_TAGDATATYPE_STRING_UTF16BE;
        const auto unit = [&](std::size_t i) -> std::uint32_t {
            return big ? (bytes[i] << 8 | bytes[i + 1]) : (bytes[i] | bytes[i + 1] << 8);
        };
        for (std::size_t i = 0; i + 1 < tag.datalen; i += 2) {
            std::uint32_t c = unit(i);
            if (c >= 0xD800 && c < 0xDC00 && i + 3 < tag.datalen && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
                i += 2;
            } else if (c >= 0xD800 && c < 0xE000) {
                c = 0xFFFD;
            }
            if (c == 0xFEFF)
                continue; // a byte-order mark
            if (c < 0x80) {
                text += static_cast<char>(c);
            } else if (c < 0x800) {
                text += static_cast<char>(0xC0 | c >> 6);
                text += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                text += static_cast<char>(0xE0 | c >> 12);
                text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
                text += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                text += static_cast<char>(0xF0 | c >> 18);
                text += static_cast<char>(0x80 | (c >> 12 & 0x3F));
                text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
                text += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
    }
    // Texts end at their first zero.
    if (const auto zero = text.find('\0'); zero != std::string::npos)
        text.resize(zero);
    return text;
}

bool sameName(const char *name, std::initializer_list<const char *> names)
{
    if (name == nullptr)
        return false;
    for (const char *candidate : names) {
        if (::strcasecmp(name, candidate) == 0)
            return true;
    }
    return false;
}

std::uint64_t fnv1a(const std::string &text)
{
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

// Songs play as streams: the file is read as it plays.
constexpr AURA_MODE kSongMode = AURA_CREATESTREAM | AURA_LOOP_OFF | AURA_ACCURATETIME | AURA_SOFTWARE;

// A system that only opens files, to look at them.
struct ProbeSystem {
    AURA::System *system = nullptr;
    ProbeSystem()
    {
        if (AURA::System_Create(&system) != AURA_OK) {
            system = nullptr;
            return;
        }
        if (system->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT) != AURA_OK || system->init(4, AURA_INIT_NORMAL, nullptr) != AURA_OK) {
            (void)system->release();
            system = nullptr;
        }
    }
    ~ProbeSystem()
    {
        if (system != nullptr)
            (void)system->release();
    }
    ProbeSystem(const ProbeSystem &) = delete;
    ProbeSystem &operator=(const ProbeSystem &) = delete;
};

std::optional<MediaItem> describeSong(AURA::System *system, const std::filesystem::path &path)
{
    AURA::Sound *sound = nullptr;
    if (system->createSound(path.c_str(), kSongMode, nullptr, &sound) != AURA_OK || sound == nullptr)
        return std::nullopt;
    unsigned int frames = 0;
    float rate = 0.0f;
    (void)sound->getLength(&frames, AURA_TIMEUNIT_PCM);
    (void)sound->getDefaults(&rate, nullptr, nullptr, nullptr);
    MediaItem item;
    item.assetURL = path.string();
    item.persistentId = fnv1a(item.assetURL);
    item.duration = rate > 0.0f ? static_cast<double>(frames) / rate : 0.0;
    int tags = 0;
    if (sound->getNumTags(&tags, nullptr) == AURA_OK) {
        for (int i = 0; i < tags && i < 256; ++i) {
            AURA_TAG tag{};
            if (sound->getTag(nullptr, i, &tag) != AURA_OK)
                continue;
            if (item.title.empty() && sameName(tag.name, {"TITLE", "TIT2", "TT2", "INAM"}))
                item.title = tagText(tag);
            else if (item.artist.empty() && sameName(tag.name, {"ARTIST", "TPE1", "TP1", "IART"}))
                item.artist = tagText(tag);
        }
    }
    (void)sound->release();
    if (frames == 0)
        return std::nullopt;
    if (item.title.empty())
        item.title = path.stem().string();
    return item;
}

} // namespace

void setMusicDirectory(std::string directory)
{
    gMusicDirectory = std::move(directory);
    ++gMusicDirectoryGeneration;
}

std::string musicDirectory()
{
    if (gMusicDirectory)
        return *gMusicDirectory;
    if (const char *xdg = std::getenv("XDG_MUSIC_DIR"); xdg != nullptr && *xdg != '\0')
        return xdg;
    if (auto dir = userDirsMusic())
        return *dir;
    return homeDirectory() + "/Music";
}

std::vector<MediaItem> MediaLibrary::itemsInDirectory(const std::string &directory)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    std::error_code ec;
    fs::recursive_directory_iterator it(directory, fs::directory_options::skip_permission_denied, ec);
    // Folders of other things are walked, but not for ever.
    std::size_t visited = 0;
    for (; !ec && it != fs::recursive_directory_iterator() && visited < kMaxItems * 16; it.increment(ec), ++visited) {
        if (it.depth() >= kMaxDepth)
            it.disable_recursion_pending();
        std::error_code typeError;
        if (it->is_regular_file(typeError) && isAudioFileName(it->path()))
            files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    std::vector<MediaItem> items;
    ProbeSystem probe;
    if (probe.system == nullptr)
        return items;
    for (const auto &file : files) {
        if (items.size() >= kMaxItems)
            break;
        if (auto item = describeSong(probe.system, file))
            items.push_back(std::move(*item));
    }
    return items;
}

MediaLibrary &MediaLibrary::defaultLibrary()
{
    checkUiThread();
    static MediaLibrary library;
    static std::uint64_t listedGeneration = ~std::uint64_t{0};
    if (listedGeneration != gMusicDirectoryGeneration) {
        listedGeneration = gMusicDirectoryGeneration;
        library.mItems = itemsInDirectory(musicDirectory());
    }
    return library;
}

MusicPlayer &MusicPlayer::iPodMusicPlayer()
{
    checkUiThread();
    static MusicPlayer player;
    return player;
}

MusicPlayer::~MusicPlayer()
{
    // At exit the sound system may be gone already; its sounds went with it.
    if (mAudioClient != 0)
        removeAudioClient(mAudioClient);
}

void MusicPlayer::setQueue(std::vector<MediaItem> items)
{
    const bool hold = mState == kPlaybackPlaying && !mSounding.empty();
    if (hold) {
        mHeldIndex = nowPlayingIndex();
        mHeldTime = currentPlaybackTime();
    } else {
        stopOutput();
    }
    mQueue = std::move(items);
    mGone.assign(mQueue.size(), false);
    mIndex = 0;
    mState = kPlaybackStopped;
    mTimeAtMark = 0.0;
    mHeld = hold;
}

void MusicPlayer::setNowPlayingIndex(std::size_t position)
{
    if (position >= mQueue.size())
        return;
    mIndex = position;
    setCurrentPlaybackTime(0.0);
}

std::size_t MusicPlayer::nowPlayingIndex() const
{
    settle();
    return mIndex;
}

std::optional<MediaItem> MusicPlayer::nowPlayingItem() const
{
    settle();
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
    restartOutput();
}

void MusicPlayer::pause()
{
    if (mState != kPlaybackPlaying)
        return;
    mTimeAtMark = currentPlaybackTime();
    mState = kPlaybackPaused;
    stopOutput();
}

void MusicPlayer::stop()
{
    mState = kPlaybackStopped;
    mTimeAtMark = 0.0;
    stopOutput();
}

void MusicPlayer::settle() const
{
    if (mState != kPlaybackPlaying)
        return;
    const double now = uiRunLoop().now();
    while (mIndex + 1 < mQueue.size()) {
        if (isGone(mIndex)) {
            // Takes no time: the next item starts where it would have.
            mTimeAtMark = 0.0;
            ++mIndex;
            continue;
        }
        const double duration = mQueue[mIndex].duration;
        const double at = mTimeAtMark + (now - mMark);
        if (duration <= 0.0 || at < duration)
            break;
        // The next item started when this one ran out.
        mMark += duration - mTimeAtMark;
        mTimeAtMark = 0.0;
        ++mIndex;
    }
}

double MusicPlayer::currentPlaybackTime() const
{
    settle();
    double t = mTimeAtMark;
    if (mState == kPlaybackPlaying)
        t += uiRunLoop().now() - mMark;
    if (isGone(mIndex))
        t = 0.0;
    else if (mIndex < mQueue.size() && mQueue[mIndex].duration > 0.0)
        t = std::min(t, mQueue[mIndex].duration);
    return std::max(0.0, t);
}

void MusicPlayer::setCurrentPlaybackTime(double seconds)
{
    mTimeAtMark = seconds > 0.0 ? seconds : 0.0;
    mMark = uiRunLoop().now();
    if (mState == kPlaybackPlaying)
        restartOutput();
}

void MusicPlayer::reset()
{
    mQueue.clear();
    mGone.clear();
    mIndex = 0;
    mState = kPlaybackStopped;
    mTimeAtMark = 0.0;
    stopOutput();
}

void MusicPlayer::stopOutput()
{
    for (Sounding &song : mSounding) {
        if (song.sound != nullptr && audioRunning())
            (void)song.sound->release(); // stops its channel first
    }
    mSounding.clear();
    mHeld = false;
}

bool MusicPlayer::takeUpHeld()
{
    mHeld = false;
    settle();
    // The output runs up to a block ahead of the interface clock: a song
    // reopened at the clock's time would repeat what was mixed past it.
    constexpr double kSameTime = 0.005;
    if (mState != kPlaybackPlaying || mIndex != mHeldIndex || mIndex >= mQueue.size() ||
        std::abs(currentPlaybackTime() - mHeldTime) > kSameTime) {
        return false;
    }
    const auto differs = [this](const Sounding &song) {
        return song.position >= mQueue.size() || !(song.item == mQueue[song.position]);
    };
    const auto current = std::find_if(mSounding.begin(), mSounding.end(),
                                      [this](const Sounding &song) { return song.position == mIndex; });
    if (current == mSounding.end() || std::any_of(mSounding.begin(), current + 1, differs))
        return false;
    // Songs already waiting behind it stay while the new queue has them there.
    const auto kept = std::find_if(current + 1, mSounding.end(), differs);
    for (auto it = kept; it != mSounding.end(); ++it) {
        if (it->sound != nullptr)
            (void)it->sound->release();
    }
    mSounding.erase(kept, mSounding.end());
    return true;
}

void MusicPlayer::restartOutput()
{
    if (mHeld && takeUpHeld())
        return;
    stopOutput();
    settle();
    if (mState != kPlaybackPlaying || mIndex >= mQueue.size())
        return;
    // A queue of silent items never starts the sound system.
    if (std::none_of(mQueue.begin(), mQueue.end(), [](const MediaItem &item) { return !item.assetURL.empty(); }))
        return;
    if (audioSystem() == nullptr)
        return;
    if (mAudioClient == 0) {
        mAudioClient = addAudioClient({[this] { feedOutput(); },
                                       [this] {
                                           for (Sounding &song : mSounding) {
                                               if (song.sound != nullptr)
                                                   (void)song.sound->release();
                                           }
                                           mSounding.clear();
                                       }});
    }
    // A song that has gone gives its place to the next.
    const std::uint64_t at = audioFramesMixed();
    double offset = currentPlaybackTime();
    for (std::size_t position = mIndex; position < mQueue.size(); ++position, offset = 0.0) {
        if (!isGone(position) && startSong(position, at, offset))
            break;
    }
}

bool MusicPlayer::startSong(std::size_t position, std::uint64_t at, double offsetSeconds)
{
    AURA::System *system = audioSystem();
    const MediaItem &item = mQueue[position];
    const int outRate = audioRate();
    Sounding song;
    song.position = position;
    song.item = item;
    AURA_RESULT result = AURA_ERR_FILE_NOTFOUND;
    unsigned int frames = 0;
    float rate = 0.0f;
    if (system != nullptr && !item.assetURL.empty())
        result = system->createSound(item.assetURL.c_str(), kSongMode, nullptr, &song.sound);
    if (result == AURA_OK) {
        (void)song.sound->getLength(&frames, AURA_TIMEUNIT_PCM);
        (void)song.sound->getDefaults(&rate, nullptr, nullptr, nullptr);
        result = rate > 0.0f ? system->playSound(AURA_CHANNEL_FREE, song.sound, true, &song.channel)
                             : AURA_ERR_FORMAT;
    }
    // Frames of the song still to play, and of the output they fill.
    const double ownRate = rate > 0.0f ? rate : outRate;
    const double total = result == AURA_OK ? frames : std::max(0.0, item.duration) * ownRate;
    const double skip = std::min(total, std::floor(std::max(0.0, offsetSeconds) * ownRate));
    const auto outFrames = static_cast<std::uint64_t>(std::ceil((total - skip) * outRate / ownRate));
    if (result == AURA_OK && skip > 0.0)
        result = song.channel->setPosition(static_cast<unsigned int>(skip), AURA_TIMEUNIT_PCM);
    if (audioMixesInSteps()) {
        // Sample-exact: the song starts where the one before ended.
        song.end = at + outFrames;
        if (result == AURA_OK)
            result = song.channel->setDelay(AURA_DELAYTYPE_DSPCLOCK_START, static_cast<unsigned int>(at >> 32),
                                            static_cast<unsigned int>(at));
        if (result == AURA_OK)
            result = song.channel->setDelay(AURA_DELAYTYPE_DSPCLOCK_END, static_cast<unsigned int>(*song.end >> 32),
                                            static_cast<unsigned int>(*song.end));
    }
    if (result == AURA_OK)
        result = song.channel->setPaused(false);
    if (result != AURA_OK) {
        if (song.sound != nullptr)
            (void)song.sound->release();
        song.sound = nullptr;
        song.channel = nullptr;
        if (!item.assetURL.empty()) {
            std::string reason = AURA_ErrorString(result);
            reason.erase(reason.find_last_not_of(' ') + 1); // the engine's texts end with a space
            consoleLog("platform: skipping " + item.assetURL + ": " + reason);
            if (position < mGone.size())
                mGone[position] = true;
            return false;
        }
        // An item without a file is heard as silence for its time.
    }
    mSounding.push_back(std::move(song));
    return true;
}

void MusicPlayer::feedOutput()
{
    // A new queue that did not go on playing.
    if (mHeld)
        stopOutput();
    if (mSounding.empty())
        return;
    if (!audioMixesInSteps()) {
        // On the device the songs follow the player's clock.
        if (mState == kPlaybackPlaying && nowPlayingIndex() != mSounding.back().position)
            restartOutput();
        return;
    }
    const std::uint64_t mixed = audioFramesMixed();
    std::uint64_t block = 0;
    if (AURA::System *system = audioSystem()) {
        unsigned int length = 0;
        int buffers = 0;
        (void)system->getDSPBufferSize(&length, &buffers);
        block = length;
    }
    // Songs that have ended make way.
    while (mSounding.size() > 1 && mSounding.front().end && *mSounding.front().end <= mixed) {
        if (mSounding.front().sound != nullptr)
            (void)mSounding.front().sound->release();
        mSounding.erase(mSounding.begin());
    }
    // The next song waits for its first frame before the block that holds
    // the end of the one before.
    for (int guard = 0; guard < 64; ++guard) {
        const Sounding &last = mSounding.back();
        if (!last.end || *last.end > mixed + block)
            break;
        std::size_t next = last.position + 1;
        while (next < mQueue.size() && isGone(next))
            ++next;
        if (next >= mQueue.size())
            break;
        // One that has gone is marked so; the next turn tries the one after.
        (void)startSong(next, *last.end, 0.0);
    }
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
