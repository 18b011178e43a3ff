// System sounds and the music player, heard through the platform's shared
// sound system (platform/audio.h): a system sound plays its WAV file, and the
// music player plays its queue's files one after the other, as streams. Plays
// of system sounds are also recorded in order. The music player keeps its
// queue and position on the interface loop's clock; the media library lists
// the audio files of the user's music folder; the media picker is answered
// by tests and drivers.
//
// Threads: everything here belongs to the interface's thread, but for the
// record of plays.
#ifndef PLATFORM_MEDIA_H
#define PLATFORM_MEDIA_H

#include "platform/audio.h"
#include "platform/ui.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform {

// ------------------------------------------------------------ system sounds

using SystemSoundID = std::uint32_t; // 0: no sound

// A sound for a WAV file; 0 when the file is missing or not a WAV (a RIFF
// "WAVE" file with a PCM or float format chunk and then a data chunk within
// its first 64 KiB).
[[nodiscard]] SystemSoundID createSystemSound(const std::string &path);
void disposeSystemSound(SystemSoundID id);
// Plays a known sound (each play on a channel of its own) and records the
// play; ignores 0 and unknown ids.
void playSystemSound(SystemSoundID id);
[[nodiscard]] std::vector<SystemSoundID> systemSoundPlays();
void clearSystemSoundPlays();
// The header check behind createSystemSound.
[[nodiscard]] bool isWaveFile(std::span<const std::uint8_t> bytes);

// ------------------------------------------------------------------ music

struct MediaItem {
    MediaItem() = default;
    MediaItem(std::uint64_t id, std::string title_, std::string artist_, double duration_, std::string asset = {})
        : persistentId(id), title(std::move(title_)), artist(std::move(artist_)), duration(duration_),
          assetURL(std::move(asset))
    {
    }
    std::uint64_t persistentId = 0;
    std::string title;
    std::string artist;
    double duration = 0.0; // seconds
    // The file that plays; empty for an item that only takes its time.
    std::string assetURL;
    friend bool operator==(const MediaItem &, const MediaItem &) = default;
};

// The user's music folder: the one set, else $XDG_MUSIC_DIR, else the
// XDG_MUSIC_DIR line of the user's user-dirs.dirs, else ~/Music. Setting it
// makes the default library list it again at its next use.
void setMusicDirectory(std::string directory);
[[nodiscard]] std::string musicDirectory();

// The device's music: the audio files of the music folder.
class MediaLibrary {
public:
    // Lists the music folder at its first use (and after the folder changes).
    static MediaLibrary &defaultLibrary();
    // The audio files under `directory` that the engine opens and that hold
    // sound, in path order: title and artist from their tags (the title from
    // the file name when they have none), duration from their length. At
    // most kMaxItems items, kMaxDepth folders deep.
    [[nodiscard]] static std::vector<MediaItem> itemsInDirectory(const std::string &directory);
    static constexpr std::size_t kMaxItems = 4096;
    static constexpr int kMaxDepth = 8;

    void addItem(MediaItem item) { mItems.push_back(std::move(item)); }
    [[nodiscard]] const std::vector<MediaItem> &items() const { return mItems; }
    void clear() { mItems.clear(); }

private:
    std::vector<MediaItem> mItems;
    std::string mListed; // the folder the items came from
    bool mHasListed = false;
};

enum PlaybackState : int { kPlaybackStopped = 0, kPlaybackPlaying = 1, kPlaybackPaused = 2 };

class MusicPlayer {
public:
    // The system's player, shared by every caller.
    static MusicPlayer &iPodMusicPlayer();

    // Items with a file are heard; the others only take their time. Songs
    // follow each other without a gap where the output mixes in steps (a WAV
    // file). A song whose file does not open (gone since it was listed) is
    // skipped, with a line on the console: the next one takes its place.

    // The first item becomes the now-playing one, at time 0; playback stops.
    // A song that was playing keeps its stream until the next play(): when
    // that play goes on with the same song at the same place (a queue that
    // grew behind it), the song is not touched; otherwise, or when the
    // output mixes before that, it stops.
    void setQueue(std::vector<MediaItem> items);
    [[nodiscard]] const std::vector<MediaItem> &queue() const { return mQueue; }
    // The item at `position` in the queue, at time 0; ignored past the end.
    // Items go by position, as a queue may hold the same song twice.
    void setNowPlayingIndex(std::size_t position);
    // The queue's size when nothing is queued. An item whose duration has
    // run out while playing gives way to the next; the last one stays, at
    // its end.
    [[nodiscard]] std::size_t nowPlayingIndex() const;
    [[nodiscard]] std::optional<MediaItem> nowPlayingItem() const;

    // Nothing to play: play() stays stopped.
    void play();
    void pause();
    void stop();
    [[nodiscard]] PlaybackState playbackState() const { return mState; }
    // Songs the output holds now: started or waiting for their first frame.
    [[nodiscard]] std::size_t soundingItems() const { return mSounding.size(); }

    // Runs on the interface loop's clock while playing, up to the item's
    // duration when it has one.
    [[nodiscard]] double currentPlaybackTime() const;
    void setCurrentPlaybackTime(double seconds);

    // Empty queue, stopped.
    void reset();

    ~MusicPlayer();
    MusicPlayer(const MusicPlayer &) = delete;
    MusicPlayer &operator=(const MusicPlayer &) = delete;

private:
    MusicPlayer() = default;

    // A song on the output.
    struct Sounding {
        std::size_t position = 0;   // in the queue
        MediaItem item;             // what the queue held there
        AURA::Sound *sound = nullptr;
        AURA::Channel *channel = nullptr;
        std::optional<std::uint64_t> end; // output frame where it ends, when mixing in steps
    };
    // Moves past items whose time has run out.
    void settle() const;
    // Makes the output play what the state says, from the current time.
    void restartOutput();
    // Goes on with the songs held by setQueue when the player is where they
    // are; false when it is not (they are left for stopOutput).
    bool takeUpHeld();
    void stopOutput();
    // Before each mix: the next song where the one before ends; retires
    // songs that have ended.
    void feedOutput();
    // False, with a console line, when the song's file does not play: the
    // item is then marked gone.
    bool startSong(std::size_t position, std::uint64_t at, double offsetSeconds);
    [[nodiscard]] bool isGone(std::size_t position) const { return position < mGone.size() && mGone[position]; }

    std::vector<MediaItem> mQueue;
    std::vector<bool> mGone; // by queue position: the file did not open
    mutable std::size_t mIndex = 0;
    PlaybackState mState = kPlaybackStopped;
    mutable double mTimeAtMark = 0.0;
    mutable double mMark = 0.0; // clock time when playback last started
    std::vector<Sounding> mSounding;
    // Set by setQueue while playing: where the held songs were.
    bool mHeld = false;
    std::size_t mHeldIndex = 0;
    double mHeldTime = 0.0;
    int mAudioClient = 0;
};

class MediaPickerController;

class MediaPickerDelegate {
public:
    virtual ~MediaPickerDelegate() = default;
    virtual void mediaPickerDidPickMediaItems(MediaPickerController &picker, const std::vector<MediaItem> &items) = 0;
    virtual void mediaPickerDidCancel(MediaPickerController &picker) = 0;
};

inline constexpr int kMediaTypeMusic = 1;

// The picker screen; presented modally like any controller. Tests and
// drivers answer it with pick() or cancel(), which tell the delegate.
class MediaPickerController : public ViewController {
public:
    MediaPickerController() = default;
    explicit MediaPickerController(int mediaTypes)
        : mMediaTypes(mediaTypes)
    {
    }
    [[nodiscard]] const char *className() const override { return "MPMediaPickerController"; }

    [[nodiscard]] int mediaTypes() const { return mMediaTypes; }
    [[nodiscard]] bool allowsPickingMultipleItems() const { return mMultiple; }
    void setAllowsPickingMultipleItems(bool allows);
    [[nodiscard]] std::string prompt() const { return mPrompt; }
    void setPrompt(std::string prompt);
    // Held weakly.
    void setDelegate(std::weak_ptr<MediaPickerDelegate> delegate);

    // Only one item goes through unless several are allowed. False when
    // there is no delegate left to tell.
    bool pick(std::vector<MediaItem> items);
    bool cancel();

private:
    int mMediaTypes = kMediaTypeMusic;
    bool mMultiple = false;
    std::string mPrompt;
    std::weak_ptr<MediaPickerDelegate> mDelegate;
};

} // namespace platform

#endif // PLATFORM_MEDIA_H
