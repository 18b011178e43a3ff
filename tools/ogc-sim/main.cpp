// ogc-sim: runs the game's login client as the game would, from a script of
// actions (the words after the options, or one action per line on standard
// input when there are none).
//
//   ogc-sim --server URL [--cacert FILE] [--allow-host HOST[:PORT]]... [--data DIR] [--resources DIR]
//           [--manual-clock] [--timeout SECONDS] [--music-dir DIR] [--wav FILE] [ACTION...]
//
// --server is the discovery URL. A discovery answer that comes over plain
// http may only name that URL's host and port or a host (and port) given
// with --allow-host; a port not written is the scheme's default.
// --music-dir: the folder whose audio files the song picker offers (else
// $XDG_MUSIC_DIR, else ~/Music); --wav: sounds and music go to this WAV
// file (48000 Hz, 16-bit stereo, mixed in step with the loop's clock from
// the start of the run) instead of the sound device.
//
//   start              the shell's start: the saved login into nLoginState and
//                      the login buffers, then initOGCLogin
//   login E P          log in with this e-mail and password (saved on success,
//                      as the login-wait screen does)
//   recover E          ask for a forgotten password
//   logout | cancel    log out; abandon the request in flight
//   score SLOT VALUE   a new high score for a slot (saved)
//   send-scores        post improved high scores
//   leaderboard N      fetch board N's first page
//   say TEXT           a chat line to the room
//   wait SECONDS       run the loop and the per-frame update that long
//   settle             until no request is in flight or queued (at most 30 s)
//   state              print the client's state
//
// The online screens over a headless window (--resources DIR: images, sounds
// and the string table):
//
//   show-button        the shell's showOGCButton:Ypos: with 296, 456
//   open | launch-leaderboards   post "OGCButtonFunction" / "OGCLaunchLeaderboards"
//   tap X Y | drag X1 Y1 X2 Y2   touches on the window, in points
//   type TEXT | return the keyboard, in the field last tapped
//   press ACTION       a controller action by name ("pressLogin:")
//   songs              the songs the picker offers, one a line
//   pick N...          the song picker, answered with library items N...
//   cancel-picker      the song picker, cancelled
//   tick N             N frames of 1/30 s
//   tree               the window's views, one a line
//   screen             menu state, sub-state, current screen, music
//
// Standard output carries the client's events and the state, one line
// each, flushed at once. With --manual-clock the loop's clock moves only in
// wait, in steps of 1/30 s; network I/O still runs in real time.
#include <game/savegamedata.h>
#include <kwexnet/encode.h>
#include <merix/OGCBridge.h>
#include <merix/OGCViewController.h>
#include <merix/TarvClient.h>
#include <platform/audio.h>
#include <platform/files.h>
#include <platform/media.h>
#include <platform/notifications.h>
#include <platform/resources.h>
#include <platform/runloop.h>
#include <platform/ui.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double kFrameSeconds = 1.0 / 30.0;
constexpr double kSettleLimitSeconds = 30.0;

std::shared_ptr<platform::ManualClock> gManualClock;
bool gLoginFromScreen = false;

// The game's window with the online screens' controller over it.
struct Screens {
    platform::Ref<platform::Window> window;
    platform::Ref<merix::OGCViewController> controller;
};
Screens *gScreens = nullptr;

// Every line may carry server text (refusal messages, player names, chat):
// control characters are escaped, as kwexnet-cli does, so none reaches the
// terminal.
void say(const std::string &text)
{
    const std::string line = KwexNet::Encode::escapeControlCharacters(text);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

constexpr const char *kUsage =
                 "usage: ogc-sim --server URL [--cacert FILE] [--allow-host HOST[:PORT]]... [--data DIR] [--resources DIR] "
                 "[--manual-clock] [--timeout SECONDS] [--music-dir DIR] [--wav FILE] "
                 "[ACTION...]\n"
                 "actions: start | login E P | recover E | logout | cancel | score SLOT VALUE | send-scores |\n"
                 "         leaderboard N | say TEXT | wait SECONDS | settle | state |\n"
                 "         show-button | open | launch-leaderboards | tap X Y | drag X1 Y1 X2 Y2 | type TEXT |\n"
                 "         return | press ACTION | songs | pick N... | cancel-picker | tick N | tree | screen\n"
                 "Exits 0 when every action worked, 1 when the server or the client reported an\n"
                 "error for one (an error or failed event) or the preferences could not be saved\n"
                 "(said on standard error), 2 for a command line it cannot run.\n";

int usage(const std::string &why)
{
    std::fprintf(stderr, "ogc-sim: %s\n%s", why.c_str(), kUsage);
    return 2;
}

// Set by an event that says a request failed: the exit status tells it.
bool gActionFailed = false;

void sayEvent(const std::string &line)
{
    // Chat lines (other players' words, the lobby connection's reconnects)
    // and the room the client looks for by itself after a login are not
    // outcomes of an action.
    const bool lobby = line.rfind("chat ", 0) == 0 || line.rfind("room ", 0) == 0;
    if (!lobby && (line.find(" error") != std::string::npos || line.find(" failed") != std::string::npos))
        gActionFailed = true;
    say(line);
}

template <typename T>
bool number(const std::string &text, T &out)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

bool seconds(const std::string &text, double &out)
{
    try {
        std::size_t used = 0;
        out = std::stod(text, &used);
        return used == text.size() && out >= 0.0 && out <= 3600.0;
    } catch (...) {
        return false;
    }
}

// One frame: the loop's work, then the per-frame update; and what the
// login-wait screen does once a login it started has succeeded. A manual
// clock moves only in the frames of wait.
void frame(bool advanceClock = false)
{
    if (gManualClock) {
        if (advanceClock)
            gManualClock->advance(kFrameSeconds);
        platform::RunLoop::main().runFor(0.002);
    } else {
        platform::RunLoop::main().runFor(kFrameSeconds);
    }
    TarvUpdate();
    if (gLoginFromScreen && Tarv_GetStatus() != kTarvStatusPending) {
        gLoginFromScreen = false;
        if (Tarv_IsLoggedIn())
            SaveLoginToGame();
    }
}

void runFrames(double duration)
{
    const long frames = static_cast<long>(duration / kFrameSeconds + 0.5);
    for (long i = 0; i < frames; ++i)
        frame(true);
}

void settle()
{
    const double start = platform::SteadyClock::seconds();
    while (Tarv_IsBusy() && platform::SteadyClock::seconds() - start < kSettleLimitSeconds)
        frame();
    if (Tarv_IsBusy())
        say("settle: still busy after 30 s");
}

const char *statusName(TarvStatus s)
{
    switch (s) {
    case kTarvStatusNone: return "none";
    case kTarvStatusPending: return "pending";
    case kTarvStatusOk: return "ok";
    case kTarvStatusError: return "error";
    }
    return "none";
}

void printState()
{
    const char *login = Tarv_GetLoginState() == kTarvLoggedIn    ? "logged-in"
                        : Tarv_GetLoginState() == kTarvLoggingIn ? "logging-in"
                                                                 : "logged-out";
    say(std::string("state login=") + login);
    say(std::string("state status=") + statusName(Tarv_GetStatus()) +
        (Tarv_GetErrorText().empty() ? "" : " text=" + Tarv_GetErrorText()));
    say("state session=" + Tarv_GetSession() + " user=" + Tarv_GetUserId());
    std::string pairs = "state pairs=";
    const int *list = Tarv_GetAchievementList();
    for (int i = 0; i < 25; ++i) {
        pairs += std::to_string(list[2 * i]) + ":" + std::to_string(list[2 * i + 1]) + (i < 24 ? "," : "");
    }
    say(pairs);
    say("state list=" + getSerializedString());
    say("state face=" + std::to_string(getFace()));
    const auto &board = Tarv_GetLeaderboard(currentBoard);
    say("state board=" + std::to_string(currentBoard) + " rows=" + std::to_string(board.entries.size()));
    for (const auto &row : board.entries) {
        say("state row rank=" + std::to_string(row.rank) + " name=" + row.user_name + " score=" + row.score);
    }
    say(std::string("state chat=") + Tarv_GetChatState());
    std::string scores = "state scores=";
    for (unsigned slot = 0; slot < paddle::savegamedata::kScoreSlots; ++slot) {
        scores += std::to_string(paddle::savegamedata::GetNewHighScore(slot)) + "/" +
                  std::to_string(paddle::savegamedata::GetLastHighScore(slot)) + (slot < 5 ? "," : "");
    }
    say(scores);
}

void printScreen()
{
    const auto &c = gScreens->controller;
    const merix::OGCMenu *current = c->getCurrent();
    say("screen state=" + std::to_string(c->getMenuState()) + " sub=" + std::to_string(c->getMenuSubState()) +
        " current=" + (current != nullptr ? current->name() : "none") +
        " view-set=" + std::to_string(merix::activeMenuView) + " in-ogc=" + std::to_string(getinOGC()) +
        " pauses=" + std::to_string(getPauseRequests()));
    const auto &player = platform::MusicPlayer::iPodMusicPlayer();
    const auto item = player.nowPlayingItem();
    char time[32];
    std::snprintf(time, sizeof time, "%.2f", player.currentPlaybackTime());
    std::string queue;
    for (const auto &song : player.queue()) {
        if (!queue.empty())
            queue += ',';
        queue += song.title;
    }
    say("screen music state=" + std::to_string(static_cast<int>(player.playbackState())) +
        " index=" + std::to_string(player.nowPlayingIndex()) + " item=" + (item ? item->title : "-") + " time=" + time +
        " queue=" + queue);
}

platform::Ref<platform::TextField> editingField()
{
    return platform::Ref<platform::TextField>(
        std::dynamic_pointer_cast<platform::TextField>(platform::Application::shared().firstResponder()));
}

bool point(const std::vector<std::string> &words, std::size_t &i, platform::Point &out)
{
    if (i + 2 >= words.size())
        return false;
    int x = 0, y = 0;
    if (!number(words[i + 1], x) || !number(words[i + 2], y))
        return false;
    i += 2;
    out = {static_cast<double>(x), static_cast<double>(y)};
    return true;
}

// Why the song picker offers nothing.
std::string emptyLibraryReason()
{
    const std::string folder = platform::musicDirectory();
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec))
        return "the music folder " + folder + " does not exist";
    if (!std::filesystem::is_directory(folder, ec))
        return "the music folder " + folder + " is not a folder";
    return "the music folder " + folder + " holds no songs";
}

// Why a WAV file cannot be made at `path`, before the sound system tries;
// empty when nothing stands in the way.
std::string wavTrouble(const std::string &path)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return std::strerror(EISDIR);
    std::string folder = std::filesystem::path(path).parent_path().string();
    if (folder.empty())
        folder = ".";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return std::strerror(errno);
    return {};
}

// The screen actions; false when `word` is none of them or is misused.
bool screenAction(const std::vector<std::string> &words, std::size_t &i, std::string &error, bool &known)
{
    const std::string &word = words[i];
    auto &c = gScreens->controller;
    const auto &window = gScreens->window;
    known = true;
    if (word == "show-button") {
        c->showOGCButton(296, 456);
    } else if (word == "open") {
        platform::NotificationCenter::defaultCenter().post("OGCButtonFunction");
    } else if (word == "launch-leaderboards") {
        platform::NotificationCenter::defaultCenter().post("OGCLaunchLeaderboards");
    } else if (word == "tap") {
        platform::Point at;
        if (!point(words, i, at)) {
            error = "tap needs X Y";
            return false;
        }
        window->tap(at);
    } else if (word == "drag") {
        platform::Point from, to;
        if (!point(words, i, from) || !point(words, i, to)) {
            error = "drag needs X1 Y1 X2 Y2";
            return false;
        }
        const platform::TouchId id = window->touchDown(from);
        if (id != 0) {
            window->touchMove(id, to);
            window->touchUp(id, to);
        }
    } else if (word == "type") {
        if (i + 1 >= words.size()) {
            error = "type needs a text";
            return false;
        }
        const std::string &text = words[++i];
        // A tap that missed its field leaves nothing editing: the script did
        // not do what it says.
        if (!editingField()->typeText(text)) {
            say("type: no field is editing");
            gActionFailed = true;
        }
    } else if (word == "return") {
        if (const auto field = editingField()) {
            field->pressReturn();
        } else {
            say("return: no field is editing");
            gActionFailed = true;
        }
    } else if (word == "press") {
        if (i + 1 >= words.size() || !c->performAction(words[i + 1])) {
            error = "press needs a controller action such as pressLogin:";
            return false;
        }
        ++i;
    } else if (word == "pick" || word == "cancel-picker") {
        std::vector<platform::MediaItem> items;
        const auto &library = platform::MediaLibrary::defaultLibrary().items();
        std::size_t n = 0;
        while (word == "pick" && i + 1 < words.size() && number(words[i + 1], n)) {
            if (n >= library.size()) {
                error = library.empty() ? "pick: " + emptyLibraryReason()
                                        : "pick needs library items 0-" + std::to_string(library.size() - 1);
                return false;
            }
            items.push_back(library[n]);
            ++i;
        }
        c->doMediaPicker();
        // Held here: the delegate's dismissal lets go of it.
        const auto picker = c->getHost()->modalViewController().as<platform::MediaPickerController>();
        if (word == "pick")
            picker->pick(items);
        else
            picker->cancel();
    } else if (word == "songs") {
        const auto &library = platform::MediaLibrary::defaultLibrary().items();
        if (library.empty())
            std::fprintf(stderr, "ogc-sim: %s\n", emptyLibraryReason().c_str());
        for (std::size_t n = 0; n < library.size(); ++n) {
            char duration[32];
            std::snprintf(duration, sizeof duration, "%.3f", library[n].duration);
            say("song " + std::to_string(n) + " title=" + library[n].title + " artist=" + library[n].artist +
                " duration=" + duration + " file=" + library[n].assetURL);
        }
    } else if (word == "tick") {
        long frames = 0;
        if (i + 1 >= words.size() || !number(words[i + 1], frames) || frames < 0 || frames > 108000) {
            error = "tick needs a number of frames (0 to 108000)";
            return false;
        }
        ++i;
        runFrames(static_cast<double>(frames) * kFrameSeconds);
    } else if (word == "tree") {
        const std::string tree = platform::dumpViewTree(window);
        for (std::size_t start = 0; start < tree.size();) {
            const std::size_t end = std::min(tree.find('\n', start), tree.size());
            say(tree.substr(start, end - start));
            start = end + 1;
        }
    } else if (word == "screen") {
        printScreen();
    } else {
        known = false;
    }
    return true;
}

// Runs one action; false (with a message) for bad usage.
bool act(const std::vector<std::string> &words, std::size_t &i, std::string &error)
{
    const std::string &word = words[i];
    const auto argument = [&](std::string &out) {
        if (i + 1 >= words.size()) {
            error = word + " needs an argument";
            return false;
        }
        out = words[++i];
        return true;
    };
    if (word == "start") {
        paddle::savegamedata::LoadMerixLogin();
        const std::string name = paddle::savegamedata::GetMerixLogin();
        const std::string password = paddle::savegamedata::GetMerixPassword();
        if (!name.empty() && !password.empty()) {
            nLoginState = 1;
            std::snprintf(nloginName, sizeof nloginName, "%s", name.c_str());
            std::snprintf(nloginPassword, sizeof nloginPassword, "%s", password.c_str());
        }
        initOGCLogin();
    } else if (word == "login") {
        std::string email, password;
        if (!argument(email) || !argument(password))
            return false;
        Tarv_SetLoginEmail(email.c_str());
        Tarv_SetLoginPassword(password.c_str());
        gLoginFromScreen = true;
        TarvLogin();
    } else if (word == "recover") {
        std::string email;
        if (!argument(email))
            return false;
        Tarv_SetLoginEmail(email.c_str());
        TarvRecoverPassword();
    } else if (word == "logout") {
        TarvLogout();
    } else if (word == "cancel") {
        TarvCancelCurrentRequest();
    } else if (word == "score") {
        std::string slotText, valueText;
        unsigned slot = 0, value = 0;
        if (!argument(slotText) || !argument(valueText))
            return false;
        if (!number(slotText, slot) || slot >= paddle::savegamedata::kScoreSlots || !number(valueText, value)) {
            error = "score needs a slot 0-5 and an unsigned value";
            return false;
        }
        paddle::savegamedata::SetNewHighScore(slot, value);
    } else if (word == "send-scores") {
        sendHighScores();
    } else if (word == "leaderboard") {
        std::string text;
        int board = 0;
        if (!argument(text))
            return false;
        if (!number(text, board) || board < 0 || board >= kTarvBoardCount) {
            error = "leaderboard needs a board 0-5";
            return false;
        }
        TarvGetLeaderboard(board, true);
    } else if (word == "say") {
        std::string text;
        if (!argument(text))
            return false;
        if (!TarvChatSay(text))
            say("chat: not connected, line not sent");
    } else if (word == "wait") {
        std::string text;
        double duration = 0;
        if (!argument(text))
            return false;
        if (!seconds(text, duration)) {
            error = "wait needs seconds (0 to 3600)";
            return false;
        }
        runFrames(duration);
    } else if (word == "settle") {
        settle();
    } else if (word == "state") {
        printState();
    } else if (bool known = false; !screenAction(words, i, error, known) || known) {
        return error.empty();
    } else {
        error = "unknown action \"" + word + "\"";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!args.empty() && args[0] == "--version") {
        std::printf("ogc-sim %s\n", OGC_SIM_VERSION);
        return 0;
    }
    TarvConfig config;
    std::string wavPath;
    std::size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
        const std::string &option = args[i];
        if (option == "--manual-clock") {
            gManualClock = std::make_shared<platform::ManualClock>(0.0);
            continue;
        }
        if (i + 1 >= args.size())
            return usage(option + " needs a value");
        const std::string &value = args[++i];
        if (option == "--server") {
            config.discoveryURL = value;
        } else if (option == "--cacert") {
            config.caFile = value;
        } else if (option == "--allow-host") {
            config.allowedHosts.push_back(value);
        } else if (option == "--data") {
            platform::setApplicationRoot(value);
        } else if (option == "--music-dir") {
            platform::setMusicDirectory(value);
        } else if (option == "--wav") {
            platform::setAudioOutput({platform::AudioOutputKind::WavFile, value, 48000});
            wavPath = value;
        } else if (option == "--resources") {
            platform::setResourceDirectory(value);
        } else if (option == "--timeout") {
            if (!seconds(value, config.timeoutSeconds) || config.timeoutSeconds <= 0) {
                return usage("--timeout needs a positive number of seconds");
            }
        } else {
            return usage("unknown option " + option);
        }
    }
    if (config.discoveryURL.empty())
        return usage("--server URL is needed");
    if (gManualClock)
        platform::RunLoop::main().setClock(gManualClock);
    if (!wavPath.empty()) {
        // The file holds the whole run, sounds or not; a path that cannot be
        // written ends the run before any action.
        if (const std::string trouble = wavTrouble(wavPath); !trouble.empty()) {
            std::fprintf(stderr, "ogc-sim: cannot write %s: %s\n", wavPath.c_str(), trouble.c_str());
            return 2;
        }
        if (platform::audioSystem() == nullptr)
            return 2; // the sound system said why
    }
    Tarv_Configure(config);
    Tarv_SetEventSink(sayEvent);
    // As the game at launch: saves a kill cut short leave no password behind.
    paddle::savegamedata::RemoveLeftoverFiles();

    Screens screens;
    screens.window = platform::make<platform::Window>();
    screens.window->makeKeyAndVisible();
    screens.controller = platform::make<merix::OGCViewController>();
    screens.window->addSubview(screens.controller->view());
    gScreens = &screens;

    std::vector<std::string> words(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    const bool fromInput = words.empty();
    std::string line;
    while (true) {
        if (fromInput) {
            if (!std::getline(std::cin, line))
                break;
            std::istringstream split(line);
            words.clear();
            // "say" takes the rest of the line as its text.
            std::string first;
            if (!(split >> first))
                continue;
            words.push_back(first);
            if (first == "say" || first == "type") {
                std::string rest;
                std::getline(split, rest);
                words.push_back(rest.substr(
                    rest.find_first_not_of(' ') == std::string::npos ? rest.size() : rest.find_first_not_of(' ')));
            } else {
                for (std::string w; split >> w;)
                    words.push_back(w);
            }
        }
        for (std::size_t w = 0; w < words.size(); ++w) {
            std::string error;
            if (!act(words, w, error)) {
                platform::shutdownAudio();
                return usage(error);
            }
            frame();
        }
        if (!fromInput)
            break;
    }
    gScreens = nullptr;
    // Finishes a WAV file.
    platform::shutdownAudio();
    return gActionFailed || paddle::savegamedata::GetFailedSaveCount() != 0 ? 1 : 0;
}
