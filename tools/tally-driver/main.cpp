// tally-driver: runs the analytics facade and the game's analytics helper
// against a report server, as the game would, from a script of actions.
//
//   tally-driver --server URL --data DIR [--pause-seconds N] [ACTION...]
//
// Actions come from the arguments, or one per line from standard input when
// there are none. A command line is checked whole before anything runs (exit
// 2 with the reason); a line of standard input that cannot run ends the
// script with status 1:
//   launch                     start analytics and log the launch event
//   event NAME [KEY=VALUE...]  log an event (with parameters when given)
//   level-start N              make level N current and log its start
//   pause | resume             the application resigns / becomes active
//   wait SECONDS               run the main loop for that long
//   terminate                  log the exit event, end the session, exit
//   crash                      exit at once, ending nothing
//   ads on|off                 the report at launch asks for ads, or not
//   hook NAME                  prints "hook NAME block=B theme=T click=C",
//                              or "hook NAME nil" when no hook serves it
//   ad HOOK PARENT             prints "ad ID WIDTHxHEIGHT" of the ad served to
//                              the parent (its picture's size), or "ad nil"
//   offer HOOK [KEY=VALUE...]  prints "offer APPNAME WIDTH HEIGHT URL" of the
//                              offer for the hook (icon size, the referral
//                              URL with the cookies), or "offer nil"
//   connect APPID              the offers network's connect call; prints
//                              "connect success" / "connect failed" for each
//                              notification within 10 seconds (the existing
//                              "resume" is an activation)
// Ads on screens (a key window holds a navigation controller; nothing is
// drawn, the web view loads pages without rendering them):
//   banner HOOK X Y [landscape] [refresh]
//                              the hook's banner on the top screen; prints
//                              "banner HOOK ad=ID hidden=0|1 states=S,..."
//                              or "banner nil" (with ads off: the alert)
//   move-banner X Y | hide-banner
//                              moves or hides the most recent banner
//   tap-banner                 taps the most recent banner; prints its states
//                              and any alert that opened
//   alert BUTTON               answers the open alert by the button's title
//   catalog HOOK [landscape]   opens the hook's catalog canvas
//   canvas-tap X Y | canvas-drag Y1 Y2 | canvas-cancel
//                              touches on the canvas window, or its Cancel
//   count-views nav|tab        counts the page views of the controller
//   nav-push | tab-select N    shows a new screen / selects tab N
//   tree                       prints the key window's view tree
//   opened                     prints "opened URL" for each URL handed to open
// Options: --ad-host URL (the canvas and store paths are on it),
// --saved-response FILE (a reply saved in debug mode, read instead
// of posting), --offers-url URL and --offers-fallback URL (connect hosts).
// The main run loop is pumped between actions. At the end of the script the
// driver waits for reports in flight and exits without ending the session.
//
// Standard output says what reached the disk, one line each, flushed at once
// (so a process that watches it may kill the driver at any point after):
//   saved NAME     the event is in the current-session file
//   unsaved NAME   the event was refused, or the file could not be written
//                  (or still holds an earlier session not yet stored)
//   acknowledged at=MS sessions=START[,START...]
//                  the service accepted a report, and the stored sessions it
//                  carried (named by their start, in milliseconds since 1970)
//                  were removed from the disk at MS
#include "bounty/BountyConnect.h"
#include "game/TallyHelper.h"
#include "game/gameplay.h"
#include "platform/date.h"
#include "platform/files.h"
#include "platform/notifications.h"
#include "platform/runloop.h"
#include "platform/url_loader.h"
#include "tally/TallyAPI.h"
#include "platform/device.h"
#include "platform/ui_navigation.h"
#include "tally/TallyAdCanvas.h"
#include "tally/TallyAdImpression.h"
#include "tally/TallyAdParser.h"
#include "tally/TallyAdView.h"
#include "tally/TallySession.h"
#include "tally/TallyUtil.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

int usage(std::FILE *to)
{
    std::fprintf(to, "usage: tally-driver --server URL --data DIR [--pause-seconds N] [--saved-response FILE]\n"
                         "                    [--offers-url URL] [--offers-fallback URL] [--ad-host URL] [ACTION...]\n"
                         "actions: launch | event NAME [KEY=VALUE...] | level-start N | pause | resume |\n"
                         "         wait SECONDS | terminate | crash | ads on|off | hook NAME | ad HOOK PARENT |\n"
                         "         connect APPID | banner HOOK X Y [landscape] [refresh] | move-banner X Y |\n"
                         "         hide-banner | tap-banner | alert BUTTON | catalog HOOK [landscape] |\n"
                         "         canvas-tap X Y | canvas-drag Y1 Y2 | canvas-cancel | count-views nav|tab |\n"
                         "         nav-push | tab-select N | tree | opened | offer HOOK [KEY=VALUE...]\n"
                         "Actions come from the arguments (each takes its own arguments; quote a\n"
                         "parent or a button title that holds spaces), or one per line from\n"
                         "standard input when there are none.\n");
    return 0;
}

// A command line the driver does not take: the reason, and where the usage is.
int usageError(const std::string &problem)
{
    std::fprintf(stderr, "tally-driver: %s\nTry 'tally-driver --help'.\n", problem.c_str());
    return 2;
}

std::optional<double> number(const std::string &text) { return tally::TallyUtil::convertStrToNum(text); }

void pump() { platform::RunLoop::main().runOnce(0.0); }

// Lines on standard output come from the main thread and the sending threads.
std::mutex gOutMutex;
void say(const std::string &line)
{
    std::lock_guard lock(gOutMutex);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A session record's start: after the record version and the application
// version, milliseconds since 1970.
std::optional<std::int64_t> recordStart(const tally::Bytes &record)
{
    if (record.size() < 4) return std::nullopt;
    const std::size_t at = 4 + ((std::size_t{record[2]} << 8) | record[3]);
    if (record.size() < at + 8) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value = (value << 8) | record[at + i];
    return static_cast<std::int64_t>(value);
}

void sayAcknowledged(const tally::TallyReportOutcome &outcome)
{
    if (!outcome.accepted || outcome.forgotten.empty()) return;
    const auto now = static_cast<std::int64_t>(platform::currentDate().secondsSince1970 * 1000.0);
    std::string line = "acknowledged at=" + std::to_string(now) + " sessions=";
    for (std::size_t i = 0; i < outcome.forgotten.size(); ++i) {
        if (i != 0) line += ',';
        const auto start = recordStart(outcome.forgotten[i]);
        line += start ? std::to_string(*start) : std::string("?");
    }
    say(line);
}

std::int32_t countOf(const std::string &name)
{
    const auto session = tally::TallySession::currentSession();
    if (!session) return 0;
    const auto counts = session->eventCounts();
    const auto it = counts.find(name);
    return it == counts.end() ? 0 : it->second;
}

// The screens ads go on: a key window with a navigation controller, and a
// tab-bar controller beside it for page-view counting.
struct Screens {
    platform::Ref<platform::Window> window;
    platform::Ref<platform::NavigationController> nav;
    platform::Ref<platform::TabBarController> tabs;
    platform::Ref<tally::TallyAdView> banner;
};

Screens &screens()
{
    // Kept to the end of the process: views must not go during static teardown.
    static auto *made = new Screens();
    Screens &s = *made;
    if (!s.window) {
        s.window = platform::make<platform::Window>();
        s.nav = platform::NavigationController::withRoot(platform::make<platform::ViewController>());
        s.window->addSubview(s.nav->view());
        s.window->makeKeyAndVisible();
        s.tabs = platform::make<platform::TabBarController>();
        s.tabs->setViewControllers({platform::make<platform::ViewController>(),
                                    platform::make<platform::ViewController>(),
                                    platform::make<platform::ViewController>()});
    }
    return s;
}

std::string statesText(const platform::Ref<tally::TallyAdView> &banner)
{
    std::string text;
    if (const auto impression = banner->adImpression()) {
        for (const auto &state : impression->adStates()) {
            if (!text.empty())
                text += ',';
            text += std::to_string(state.state);
        }
    }
    return text;
}

void sayBanner(const std::string &hook, const platform::Ref<tally::TallyAdView> &banner)
{
    if (!banner) {
        say("banner nil");
        return;
    }
    const auto ad = banner->ad();
    say("banner " + hook + " ad=" + (ad && ad->adId ? std::to_string(*ad->adId) : std::string("nil")) +
        " hidden=" + (banner->isHidden() ? "1" : "0") + " states=" + statesText(banner));
}

void sayAlerts(std::size_t before)
{
    const auto alerts = platform::AlertView::openAlerts();
    for (std::size_t i = before; i < alerts.size(); ++i) {
        std::string buttons;
        for (const auto &b : alerts[i]->buttonTitles())
            buttons += " [" + b + "]";
        say("alert " + alerts[i]->message() + buttons);
    }
}

// A coordinate argumentTrouble() has passed.
double coordinate(const std::string &text) { return number(text).value_or(0.0); }

// Why an action's arguments cannot be taken, as far as their form tells
// (numbers and their ranges, the words an argument may be, KEY=VALUE
// pairs); empty when they can. Arguments an action lacks are left to it.
std::string argumentTrouble(const std::vector<std::string> &words)
{
    const std::string &action = words[0];
    const auto has = [&](std::size_t i) { return i < words.size(); };
    const auto inRange = [&](std::size_t i, double low, double high) {
        const auto n = number(words[i]);
        return n && *n >= low && *n <= high;
    };
    const auto keyValues = [&](const char *what) -> std::string {
        for (std::size_t i = 2; i < words.size(); ++i) {
            const auto eq = words[i].find('=');
            if (eq == std::string::npos || eq == 0)
                return std::string(what) + " '" + words[i] + "' is not KEY=VALUE";
        }
        return {};
    };
    if (action == "event")
        return keyValues("parameter");
    if (action == "offer")
        return keyValues("cookie");
    if (action == "level-start" && has(1) && !inRange(1, 0, 1e9))
        return "bad level '" + words[1] + "'";
    if (action == "wait" && has(1) && !inRange(1, 0, 3600))
        return "bad wait '" + words[1] + "'";
    if (action == "tab-select" && has(1) && !inRange(1, 0, 1000))
        return "bad tab '" + words[1] + "'";
    if ((action == "ads" && has(1) && words[1] != "on" && words[1] != "off") ||
        (action == "count-views" && has(1) && words[1] != "nav" && words[1] != "tab"))
        return "bad arguments for '" + action + "'";
    // Coordinates, from -100000 to 100000.
    const std::size_t firstCoordinate = action == "banner" ? 2 : 1;
    if (action == "banner" || action == "move-banner" || action == "canvas-tap" || action == "canvas-drag") {
        for (std::size_t i = firstCoordinate; i < firstCoordinate + 2 && has(i); ++i) {
            if (!inRange(i, -100000, 100000))
                return "bad arguments for '" + action + "'";
        }
    }
    return {};
}

// Ads on screens; nullopt when the action is not one of them.
std::optional<bool> runScreens(const std::vector<std::string> &words)
{
    const std::string &action = words[0];
    static const std::vector<std::string> kScreenActions{
        "banner",      "move-banner",   "hide-banner", "tap-banner", "alert",      "catalog", "canvas-tap",
        "canvas-drag", "canvas-cancel", "count-views", "nav-push",   "tab-select", "tree",    "opened"};
    if (std::find(kScreenActions.begin(), kScreenActions.end(), action) == kScreenActions.end())
        return std::nullopt;
    auto &s = screens();
    const auto bad = [&] {
        std::fprintf(stderr, "tally-driver: bad arguments for '%s'\n", action.c_str());
        return false;
    };
    if (action == "banner" && words.size() >= 4 && words.size() <= 6) {
        const double x = coordinate(words[2]), y = coordinate(words[3]);
        bool landscape = false, refresh = false;
        for (std::size_t i = 4; i < words.size(); ++i) {
            if (words[i] == "landscape")
                landscape = true;
            else if (words[i] == "refresh")
                refresh = true;
            else
                return bad();
        }
        platform::clearLastAlert();
        s.banner = tally::TallyAPI::getHook(
            words[1], static_cast<int>(x), static_cast<int>(y), s.nav->topViewController()->view(), true,
            landscape ? "landscape" : "portrait", landscape ? "landscapeRight" : "portrait", refresh, true);
        if (!s.banner && platform::lastAlert())
            say("alert " + platform::lastAlert()->message + " [Cancel]");
        sayBanner(words[1], s.banner);
    } else if (action == "move-banner" && words.size() == 3 && s.banner) {
        const auto f = s.banner->frame();
        s.banner->setFrame(
            platform::Rect::make(coordinate(words[1]), coordinate(words[2]), f.size.width, f.size.height));
        s.banner->checkBannerLocation();
        sayBanner(s.banner->hook(), s.banner);
    } else if (action == "hide-banner" && words.size() == 1 && s.banner) {
        s.banner->setHidden(true);
        s.banner->checkBannerLocation();
        sayBanner(s.banner->hook(), s.banner);
    } else if (action == "tap-banner" && words.size() == 1) {
        if (!s.banner)
            return bad();
        const std::size_t before = platform::AlertView::openAlerts().size();
        const auto b = s.banner->bounds();
        const auto centre = s.banner->convertToWindow({b.size.width / 2, b.size.height / 2});
        if (auto window = s.banner->window())
            window->tap(centre);
        sayBanner(s.banner->hook(), s.banner);
        sayAlerts(before);
    } else if (action == "alert" && words.size() >= 2) {
        std::string title = words[1];
        for (std::size_t i = 2; i < words.size(); ++i)
            title += " " + words[i];
        say(platform::AlertView::answerOpenAlert(title) ? "answered " + title : "no alert with " + title);
    } else if (action == "catalog" && (words.size() == 2 || (words.size() == 3 && words[2] == "landscape"))) {
        tally::TallyAPI::openCatalog(words[1], words.size() == 3 ? "landscapeRight" : "portrait", true);
        say(tally::TallyAdCanvasViewController::getOpenCanvasController() ? "canvas open" : "canvas nil");
    } else if (action == "canvas-tap" && words.size() == 3) {
        const auto window = tally::TallyAdCanvasViewController::canvasWindow();
        if (!window)
            return bad();
        window->tap({coordinate(words[1]), coordinate(words[2])});
    } else if (action == "canvas-drag" && words.size() == 3) {
        const double y1 = coordinate(words[1]), y2 = coordinate(words[2]);
        const auto window = tally::TallyAdCanvasViewController::canvasWindow();
        if (!window)
            return bad();
        const auto id = window->touchDown({300, y1});
        window->touchMove(id, {300, (y1 + y2) / 2});
        window->touchUp(id, {300, y2});
    } else if (action == "canvas-cancel" && words.size() == 1) {
        const auto canvas = tally::TallyAdCanvasViewController::getOpenCanvasController();
        if (!canvas)
            return bad();
        canvas->cancel();
    } else if (action == "count-views" && words.size() == 2) {
        if (words[1] == "nav")
            tally::TallyAPI::countPageViews(s.nav);
        else
            tally::TallyAPI::countPageViews(s.tabs);
    } else if (action == "nav-push" && words.size() == 1) {
        s.nav->pushViewController(platform::make<platform::ViewController>(), true);
    } else if (action == "tab-select" && words.size() == 2) {
        const auto n = static_cast<std::size_t>(number(words[1]).value_or(0.0));
        say(s.tabs->selectTab(n) ? "selected " + words[1] : "refused " + words[1]);
    } else if (action == "tree" && words.size() == 1) {
        const auto key = platform::Application::shared().keyWindow();
        std::istringstream tree(platform::dumpViewTree(key));
        std::string line;
        while (std::getline(tree, line))
            say(line);
    } else if (action == "opened" && words.size() == 1) {
        for (const auto &url : platform::openedURLs())
            say("opened " + url);
    } else {
        return bad();
    }
    pump();
    return true;
}

// Returns false for a bad action (reported on standard error).
bool run(const std::vector<std::string> &words)
{
    if (words.empty()) return true;
    if (const std::string trouble = argumentTrouble(words); !trouble.empty()) {
        std::fprintf(stderr, "tally-driver: %s\n", trouble.c_str());
        return false;
    }
    if (const auto handled = runScreens(words))
        return *handled;
    const std::string &action = words[0];
    auto *helper = TallyHelper::GetInstance();
    auto &center = platform::NotificationCenter::defaultCenter();
    if (action == "launch" && words.size() == 1) {
        helper->StartAnalytics();
        helper->OnAppLaunched();
    } else if (action == "event" && words.size() >= 2) {
        std::optional<tally::TallyParameters> params;
        for (std::size_t i = 2; i < words.size(); ++i) {
            const auto eq = words[i].find('=');
            if (!params) params.emplace();
            (*params)[words[i].substr(0, eq)] = words[i].substr(eq + 1);
        }
        const std::int32_t before = countOf(words[1]);
        helper->LogEvent(words[1], params);
        const auto session = tally::TallySession::currentSession();
        const bool saved = session && countOf(words[1]) > before && session->lastSaveSucceeded();
        say((saved ? "saved " : "unsaved ") + words[1]);
    } else if (action == "level-start" && words.size() == 2) {
        paddle::level::SetCurrentIndex(static_cast<unsigned>(number(words[1]).value_or(0.0)));
        helper->OnStartedLevel();
    } else if (action == "pause" && words.size() == 1) {
        center.post(platform::kUIApplicationWillResignActiveNotification);
    } else if (action == "resume" && words.size() == 1) {
        center.post(platform::kUIApplicationDidBecomeActiveNotification);
    } else if (action == "wait" && words.size() == 2) {
        platform::RunLoop::main().runFor(number(words[1]).value_or(0.0));
    } else if (action == "terminate" && words.size() == 1) {
        helper->OnAppExited();
        center.post(platform::kUIApplicationWillTerminateNotification);
        tally::TallyAPI::waitForPendingReports();
        std::exit(0);
    } else if (action == "ads" && words.size() == 2) {
        tally::TallyAPI::setAppShowcaseEnabled(words[1] == "on");
    } else if (action == "hook" && words.size() == 2) {
        const auto hook = tally::TallyAdParser::fastHookWithName(words[1]);
        const auto text = [](const std::optional<std::int64_t> &v) {
            return v ? std::to_string(*v) : std::string("nil");
        };
        say(hook ? "hook " + words[1] + " block=" + text(hook->adBlockId) + " theme=" + text(hook->themeId) +
                       " click=" + text(hook->clickAction)
                 : "hook " + words[1] + " nil");
    } else if (action == "ad" && words.size() >= 3) {
        // A parent is named by its description, "<UIView: 0x…>", spaces and all.
        std::string parent = words[2];
        for (std::size_t w = 3; w < words.size(); ++w)
            parent += " " + words[w];
        const auto ad = tally::TallyAdParser::fastAdWithHook(words[1], parent);
        say(ad && ad->adImage ? "ad " + std::to_string(ad->adId.value_or(0)) + " " +
                                    std::to_string(ad->adImage->width) + "x" + std::to_string(ad->adImage->height)
                              : std::string("ad nil"));
    } else if (action == "offer" && words.size() >= 2) {
        std::vector<std::pair<std::string, std::string>> cookies;
        for (std::size_t w = 2; w < words.size(); ++w) {
            const auto eq = words[w].find('=');
            cookies.emplace_back(words[w].substr(0, eq), words[w].substr(eq + 1));
        }
        tally::TallyOffer offer;
        if (tally::TallyAPI::getOffer(words[1], &offer, cookies)) {
            const auto w = offer.appIcon ? offer.appIcon->width : 0;
            const auto h = offer.appIcon ? offer.appIcon->height : 0;
            say("offer " + offer.appName.value_or("(null)") + " " + std::to_string(w) + " " + std::to_string(h) + " " +
                offer.referralUrl.value_or(""));
        } else {
            say("offer nil");
        }
    } else if (action == "connect" && words.size() == 2) {
        int heard = 0;
        const auto success = center.addObserver(bounty::kBountyConnectSuccess, [&](const std::string &) {
            say("connect success");
            ++heard;
        });
        const auto failed = center.addObserver(bounty::kBountyConnectFailed, [&](const std::string &) {
            say("connect failed");
            ++heard;
        });
        bounty::BountyConnect::requestBountyConnectWithAppId(words[1], platform::RunLoop::main());
        (void)platform::RunLoop::main().runUntil([&] { return heard > 0; }, 10.0);
        center.removeObserver(success);
        center.removeObserver(failed);
    } else if (action == "crash" && words.size() == 1) {
        std::fflush(nullptr);
        std::_Exit(3);
    } else {
        std::fprintf(stderr, "tally-driver: unknown action '%s'\n", action.c_str());
        return false;
    }
    pump();
    return true;
}

// How many arguments each action takes: a fixed count, then optional words
// (KEY=VALUE pairs, or flags from a list).
struct ActionShape {
    const char *name;
    std::size_t arguments;
    bool keyValues = false;                // then any number of KEY=VALUE
    std::vector<std::string> flags = {};   // then any of these words
};

const std::vector<ActionShape> &actionShapes()
{
    static const std::vector<ActionShape> shapes{
        {"launch", 0},       {"event", 1, true},        {"level-start", 1},
        {"pause", 0},        {"resume", 0},             {"wait", 1},
        {"terminate", 0},    {"crash", 0},              {"ads", 1},
        {"hook", 1},         {"ad", 2},                 {"offer", 1, true},
        {"connect", 1},      {"banner", 3, false, {"landscape", "refresh"}},
        {"move-banner", 2},  {"hide-banner", 0},        {"tap-banner", 0},
        {"alert", 1},        {"catalog", 1, false, {"landscape"}},
        {"canvas-tap", 2},   {"canvas-drag", 2},        {"canvas-cancel", 0},
        {"count-views", 1},  {"nav-push", 0},           {"tab-select", 1},
        {"tree", 0},         {"opened", 0},
    };
    return shapes;
}

// The actions of a command line, each with its own arguments; nullopt (and
// the reason in `problem`) for a word that starts no action, an action cut
// short, or arguments an action cannot take.
std::optional<std::vector<std::vector<std::string>>> splitActions(const std::vector<std::string> &args,
                                                                  std::string &problem)
{
    std::vector<std::vector<std::string>> actions;
    for (std::size_t at = 0; at < args.size();) {
        const auto shape = std::find_if(actionShapes().begin(), actionShapes().end(),
                                        [&](const ActionShape &a) { return args[at] == a.name; });
        if (shape == actionShapes().end()) {
            problem = (args[at].rfind("-", 0) == 0 ? "unknown option '" : "unknown action '") + args[at] + "'";
            return std::nullopt;
        }
        if (args.size() - at - 1 < shape->arguments) {
            problem = "'" + std::string(shape->name) + "' takes " + std::to_string(shape->arguments) + " argument" +
                      (shape->arguments == 1 ? "" : "s");
            return std::nullopt;
        }
        std::vector<std::string> words(args.begin() + static_cast<std::ptrdiff_t>(at),
                                       args.begin() + static_cast<std::ptrdiff_t>(at + 1 + shape->arguments));
        at += 1 + shape->arguments;
        const auto optional = [&](const std::string &word) {
            if (shape->keyValues)
                return word.find('=') != std::string::npos && word.front() != '=';
            return std::find(shape->flags.begin(), shape->flags.end(), word) != shape->flags.end();
        };
        while (at < args.size() && optional(args[at]))
            words.push_back(args[at++]);
        problem = argumentTrouble(words);
        if (!problem.empty())
            return std::nullopt;
        actions.push_back(std::move(words));
    }
    return actions;
}

std::vector<std::string> split(const std::string &line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

} // namespace

int main(int argc, char **argv)
{
    // The whole command line is checked before anything runs.
    std::string server, data;
    std::optional<int> pauseSeconds;
    std::string offersUrl, offersFallback, savedResponse, adHost;
    const std::vector<std::pair<const char *, std::string *>> valued{
        {"--server", &server},         {"--data", &data},           {"--saved-response", &savedResponse},
        {"--ad-host", &adHost},        {"--offers-url", &offersUrl}, {"--offers-fallback", &offersFallback},
    };
    const std::vector<const char *> urls{"--server", "--ad-host", "--offers-url", "--offers-fallback"};
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return usage(stdout);
        const auto option = std::find_if(valued.begin(), valued.end(), [&](const auto &o) { return arg == o.first; });
        if (option == valued.end() && arg != "--pause-seconds")
            break;
        if (i + 1 >= argc)
            return usageError(arg + " needs a value");
        const std::string value = argv[++i];
        if (option == valued.end()) {
            const auto n = number(value);
            if (!n || *n < 0 || *n > 86400)
                return usageError("--pause-seconds: '" + value + "' is not a number of seconds from 0 to 86400");
            pauseSeconds = static_cast<int>(*n);
            continue;
        }
        if (std::find(urls.begin(), urls.end(), arg) != urls.end() && !platform::isValidHttpUrl(value))
            return usageError(arg + ": '" + value + "' is not an http:// or https:// URL");
        *option->second = value;
    }
    if (server.empty())
        return usageError("--server URL is needed");
    if (data.empty())
        return usageError("--data DIR is needed");
    std::optional<std::vector<std::vector<std::string>>> actions;
    if (i < argc) {
        std::string problem;
        actions = splitActions(std::vector<std::string>(argv + i, argv + argc), problem);
        if (!actions)
            return usageError(problem);
    }
    if (!platform::createDirectories(data)) {
        std::fprintf(stderr, "tally-driver: cannot use data directory %s\n", data.c_str());
        return 1;
    }
    platform::setApplicationRoot(data);
    tally::TallySession::setReportObserver(sayAcknowledged);
    tally::TallyAPI::setServerURL(server);
    if (pauseSeconds) tally::TallyAPI::setPauseSecondsBeforeStartingNewSession(*pauseSeconds);
    bounty::BountyConnect::setConnectUrls(offersUrl, offersFallback);
    if (!savedResponse.empty())
        tally::TallyAPI::setSavedResponseURL(savedResponse);
    if (!adHost.empty()) {
        tally::TallyAPI::setCanvasURL(adHost + "/getCanvas.do");
        tally::TallyAPI::setLandscapeCanvasURL(adHost + "/getCanvasLandscape.do");
        tally::TallyAPI::setAppStoreURL(adHost + "/getIPhoneApp.do");
    }
    // The game steers its first paddle by touch unless told otherwise.
    paddle::player::RegisterPaddle(0, true);

    // Actions from the arguments, each with the arguments it takes.
    bool ok = true;
    if (actions) {
        for (std::size_t a = 0; ok && a < actions->size(); ++a)
            ok = run((*actions)[a]);
    } else {
        std::string line;
        while (ok && std::getline(std::cin, line)) ok = run(split(line));
    }
    tally::TallyAPI::waitForPendingReports();
    return ok ? 0 : 1;
}
