// Fixtures for the interface tests: a temporary resource directory with
// placeholder PNGs made by netpbm at run time, a reader for the PAM/PPM that
// pngtopam writes, and a loop on a manual clock that paces the model.
#ifndef PLATFORM_TESTS_UI_FIXTURES_H
#define PLATFORM_TESTS_UI_FIXTURES_H

#include "platform/audio.h"
#include "platform/device.h"
#include "platform/resources.h"
#include "platform/runloop.h"
#include "platform/ui.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace testsupport {

// Runs a shell command with its own redirections, the rest of its output
// silenced; true when it exits with 0.
inline bool runQuietly(const std::string &command)
{
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

inline std::vector<std::uint8_t> readBytes(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Pixels as width × height RGBA bytes, with the pattern `pixel(x, y)` gives.
struct Pixels {
    unsigned width = 0;
    unsigned height = 0;
    std::vector<std::uint8_t> rgba;
};

inline Pixels makePixels(unsigned width, unsigned height, const std::function<std::uint32_t(unsigned, unsigned)> &pixel)
{
    Pixels p{width, height, {}};
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            const std::uint32_t v = pixel(x, y);
            for (const int shift : {24, 16, 8, 0})
                p.rgba.push_back(static_cast<std::uint8_t>(v >> shift));
        }
    }
    return p;
}

// Writes `pixels` as a PAM (with alpha) or a PPM (without) and turns it into
// a PNG with pamtopng / pnmtopng; `pngOptions` go to the converter.
inline bool writePng(const std::filesystem::path &png, const Pixels &pixels, bool withAlpha,
                     const std::string &pngOptions = "")
{
    const std::filesystem::path source = png.string() + (withAlpha ? ".pam" : ".ppm");
    {
        std::ofstream out(source, std::ios::binary);
        if (withAlpha) {
            out << "P7\nWIDTH " << pixels.width << "\nHEIGHT " << pixels.height
                << "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
        } else {
            out << "P6\n" << pixels.width << ' ' << pixels.height << "\n255\n";
        }
        for (std::size_t i = 0; i < pixels.rgba.size(); i += 4) {
            out.write(reinterpret_cast<const char *>(&pixels.rgba[i]), withAlpha ? 4 : 3);
        }
    }
    const std::string tool = withAlpha ? "pamtopng" : "pnmtopng";
    const bool ok = runQuietly(tool + " " + pngOptions + " '" + source.string() + "' > '" + png.string() + "'");
    std::filesystem::remove(source);
    return ok;
}

// A single-colour placeholder of the given size.
inline bool writePlaceholderPng(const std::filesystem::path &png, unsigned width, unsigned height)
{
    return writePng(png, makePixels(width, height, [](unsigned, unsigned) { return 0x3366ccffu; }), false);
}

// The PPM (P6) or PAM (P7, RGB or RGB_ALPHA) that pngtopam writes, as RGBA.
inline Pixels readNetpbm(const std::vector<std::uint8_t> &bytes)
{
    Pixels p;
    std::string text(bytes.begin(), bytes.end());
    std::istringstream in(text);
    std::string magic;
    in >> magic;
    unsigned depth = 3;
    unsigned maxval = 0;
    if (magic == "P6") {
        in >> p.width >> p.height >> maxval;
        in.get();
    } else if (magic == "P7") {
        for (std::string key; in >> key && key != "ENDHDR";) {
            if (key == "WIDTH")
                in >> p.width;
            else if (key == "HEIGHT")
                in >> p.height;
            else if (key == "DEPTH")
                in >> depth;
            else if (key == "MAXVAL")
                in >> maxval;
            else
                in.ignore(1 << 20, '\n');
        }
        in.get();
    } else {
        return {};
    }
    if (maxval != 255 || (depth != 3 && depth != 4))
        return {};
    const auto start = static_cast<std::size_t>(in.tellg());
    for (std::size_t i = 0; i < std::size_t{p.width} * p.height; ++i) {
        const std::size_t at = start + i * depth;
        if (at + depth > bytes.size())
            return {};
        p.rgba.insert(p.rgba.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      bytes.begin() + static_cast<std::ptrdiff_t>(at + 3));
        p.rgba.push_back(depth == 4 ? bytes[at + 3] : 0xff);
    }
    return p;
}

// A fresh resource directory, a phone, a clean application state and a loop
// on a manual clock as the interface loop, for the life of a test.
class UiScene {
public:
    UiScene()
        : mClock(std::make_shared<platform::ManualClock>(0.0))
        , mLoop(mClock)
    {
        char pattern[] = "/tmp/platform-ui-XXXXXX";
        const char *dir = ::mkdtemp(pattern);
        // Without a folder of its own the test stops here: falling back to a
        // shared one would have the destructor remove that folder whole.
        if (dir == nullptr)
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        mDir = dir;
        platform::setResourceDirectory(mDir.string());
        mFacts = platform::deviceFacts();
        platform::setUiRunLoop(&mLoop);
        platform::Application::shared().reset();
        // Sounds and music mix in silence, on the scene's clock.
        mAudio = platform::audioOutput();
        platform::setAudioOutput({platform::AudioOutputKind::None, {}, 48000});
    }
    ~UiScene()
    {
        platform::Application::shared().reset();
        platform::setUiRunLoop(nullptr);
        platform::setAudioOutput(mAudio);
        platform::setDeviceFacts(mFacts);
        platform::setResourceDirectory("");
        std::error_code ec;
        std::filesystem::remove_all(mDir, ec);
    }
    UiScene(const UiScene &) = delete;
    UiScene &operator=(const UiScene &) = delete;

    [[nodiscard]] const std::filesystem::path &dir() const { return mDir; }
    [[nodiscard]] platform::RunLoop &loop() { return mLoop; }
    // Moves the clock and runs what came due.
    void advance(double seconds) { setTime(mClock->now() + seconds); }
    // Moves the clock and runs what came due: one pass of the loop, or passes
    // until nothing is left to run.
    void setTime(double seconds, bool onePass = false)
    {
        mClock->set(seconds);
        if (onePass) {
            mLoop.runOnce(0.0);
            return;
        }
        while (mLoop.runOnce(0.0)) {}
    }
    void setIdiom(std::optional<platform::UserInterfaceIdiom> idiom)
    {
        auto facts = platform::deviceFacts();
        facts.idiom = idiom;
        platform::setDeviceFacts(facts);
    }
    // A key window of the screen's size.
    platform::Ref<platform::Window> window()
    {
        if (!mWindow) {
            mWindow = platform::make<platform::Window>();
            mWindow->makeKeyAndVisible();
        }
        return mWindow;
    }

private:
    std::shared_ptr<platform::ManualClock> mClock;
    platform::RunLoop mLoop;
    platform::AudioOutput mAudio;
    std::filesystem::path mDir;
    platform::DeviceFacts mFacts;
    platform::Ref<platform::Window> mWindow;
};

} // namespace testsupport

#endif // PLATFORM_TESTS_UI_FIXTURES_H
