// The overlay launch button, the interface sound effect and the game-centre
// host controller on the headless interface model.
#include "merix/GCViewController.h"
#include "merix/OGCButton.h"
#include "merix/SoundEffect.h"
#include "platform/notifications.h"
#include "ui_fixtures.h"

#include <gtest/gtest.h>

#include <numbers>

namespace {

using namespace platform;
using merix::OGCButton;
using testsupport::UiScene;

// The controller's button: 48 × 48 (44 × 44 without its images), a quarter
// turn, centred at (296, 456).
struct LaunchButton {
    UiScene scene;
    Ref<OGCButton> button;
    std::vector<std::string> posts;
    ObserverId observer = 0;

    explicit LaunchButton(const std::string &function = "OGCButtonFunction", bool images = true)
    {
        if (images) {
            EXPECT_TRUE(testsupport::writePlaceholderPng(scene.dir() / "OGC_button.png", 48, 48));
            EXPECT_TRUE(testsupport::writePlaceholderPng(scene.dir() / "OGC_button_dwn.png", 48, 48));
        }
        button = make<OGCButton>("OGC_button.png");
        button->setButton({0, 0, "OGC_button.png", "OGC_button_dwn.png", function, ""});
        button->setTransform(AffineTransform::rotation(std::numbers::pi / 2));
        button->setCenter({296, 456});
        scene.window()->addSubview(button);
        observer = NotificationCenter::defaultCenter().addObserver(
            function, [this](const std::string &name) { posts.push_back(name); });
    }
    ~LaunchButton() { NotificationCenter::defaultCenter().removeObserver(observer); }
    [[nodiscard]] Point at(double x, double y) const { return button->convertToWindow({x, y}); }
};

TEST(OGCButton, PostsOnlyWhenReleasedStrictlyInside)
{
    LaunchButton b;
    EXPECT_EQ(b.button->getimage(), "OGC_button.png");
    EXPECT_EQ(b.button->getimageDown(), "OGC_button_dwn.png");
    EXPECT_EQ(b.button->getFunction(), "OGCButtonFunction");
    EXPECT_EQ(b.button->frame(), Rect::make(272, 432, 48, 48));
    const auto window = b.scene.window();
    EXPECT_EQ(window->tap({296, 456}), b.button);
    EXPECT_EQ(b.posts, std::vector<std::string>{"OGCButtonFunction"});

    struct Case {
        double x, y;
        bool posts;
    };
    const Case cases[] = {
        {0, 24, false},   {48, 24, false}, {24, 0, false},   {24, 48, false},  {-0.5, 24, false},
        {0.9, 24, false}, {1, 24, true},   {47.9, 24, true}, {24, 47.5, true}, {60, 60, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.x << "," << c.y);
        b.posts.clear();
        const TouchId id = window->touchDown({296, 456});
        ASSERT_NE(id, 0u);
        EXPECT_EQ(b.button->imageName(), "OGC_button_dwn.png");
        window->touchUp(id, b.at(c.x, c.y));
        EXPECT_EQ(b.posts.size(), c.posts ? 1u : 0u);
        EXPECT_EQ(b.button->imageName(), "OGC_button.png");
    }
}

TEST(OGCButton, SlidingOutAndBackSwapsTheImages)
{
    LaunchButton b;
    const auto window = b.scene.window();
    const TouchId id = window->touchDown({296, 456});
    EXPECT_EQ(b.button->imageName(), "OGC_button_dwn.png");
    window->touchMove(id, {200, 300});
    EXPECT_EQ(b.button->imageName(), "OGC_button.png");
    window->touchMove(id, b.at(10, 10));
    EXPECT_EQ(b.button->imageName(), "OGC_button_dwn.png");
    EXPECT_TRUE(b.posts.empty());
    window->touchUp(id, b.at(12, 12));
    EXPECT_EQ(b.posts, std::vector<std::string>{"OGCButtonFunction"});
    EXPECT_EQ(b.button->imageName(), "OGC_button.png");

    // Hidden or cleared, it is out of reach; a call on the cleared handle
    // does nothing.
    b.button->setHidden(true);
    EXPECT_NE(window->tap({296, 456}), b.button);
    b.button->removeFromSuperview();
    b.button.reset();
    b.button->setFunction("gone");
    EXPECT_EQ(b.button->getFunction(), "");
    EXPECT_EQ(b.posts.size(), 1u);
}

TEST(OGCButton, WithoutANameItPostsTheEmptyName)
{
    LaunchButton b("");
    b.scene.window()->tap({296, 456});
    EXPECT_EQ(b.posts, std::vector<std::string>{""});
}

TEST(OGCButton, WithoutItsImagesItKeepsATouchableSize)
{
    LaunchButton b("OGCButtonFunction", false);
    EXPECT_EQ(b.button->image(), nullptr);
    EXPECT_EQ(b.button->frame(), Rect::make(274, 434, 44, 44));
    const auto window = b.scene.window();
    EXPECT_EQ(window->tap({296, 456}), b.button);
    EXPECT_EQ(window->tap({317, 477}), b.button);
    EXPECT_NE(window->tap({319, 479}), b.button);
    EXPECT_EQ(b.posts, (std::vector<std::string>{"OGCButtonFunction", "OGCButtonFunction"}));
    // An image that comes later does not resize it.
    EXPECT_TRUE(testsupport::writePlaceholderPng(b.scene.dir() / "OGC_button_dwn.png", 48, 48));
    const TouchId id = window->touchDown({296, 456});
    EXPECT_EQ(b.button->imageName(), "OGC_button_dwn.png");
    EXPECT_NE(b.button->image(), nullptr);
    window->touchUp(id, {296, 456});
    EXPECT_EQ(b.button->frame(), Rect::make(274, 434, 44, 44));
}

TEST(SoundEffect, WaveFilesGetAnIdOthersPlayNothing)
{
    UiScene scene;
    const auto wav = scene.dir() / "swipe.wav";
    ASSERT_TRUE(testsupport::runQuietly("sox -n -r 22050 -c 1 -b 16 '" + wav.string() + "' synth 0.05 sine 880"));
    const auto notWave = scene.dir() / "select.wav";
    ASSERT_TRUE(testsupport::runQuietly("sox -n -r 22050 -c 1 '" + (scene.dir() / "select.aiff").string() +
                                        "' synth 0.05 sine 440 && mv '" + (scene.dir() / "select.aiff").string() +
                                        "' '" + notWave.string() + "'"));
    clearSystemSoundPlays();
    {
        merix::SoundEffect swipe(wav.string());
        merix::SoundEffect select(notWave.string());
        merix::SoundEffect missing((scene.dir() / "message.wav").string());
        EXPECT_NE(swipe.soundID(), 0u);
        EXPECT_EQ(select.soundID(), 0u);
        EXPECT_EQ(missing.soundID(), 0u);
        swipe.play();
        select.play();
        missing.play();
        swipe.play();
        EXPECT_EQ(systemSoundPlays(), (std::vector<SystemSoundID>{swipe.soundID(), swipe.soundID()}));
    }
    clearSystemSoundPlays();
}

TEST(GCViewController, AcceptsOrientationsByIdiom)
{
    struct Case {
        std::optional<UserInterfaceIdiom> idiom;
        int orientation;
        bool accepted;
        const char *printed;
    };
    const Case cases[] = {
        {UserInterfaceIdiom::Phone, 3, true, ""},
        {UserInterfaceIdiom::Phone, 4, false, ""},
        {UserInterfaceIdiom::Phone, 1, false, ""},
        {std::nullopt, 3, true, ""},
        {std::nullopt, 4, false, ""},
        {UserInterfaceIdiom::Pad, 3, true, "Autorotating to orientation 3: true\n"},
        {UserInterfaceIdiom::Pad, 4, true, "Autorotating to orientation 4: true\n"},
        {UserInterfaceIdiom::Pad, 1, false, "Autorotating to orientation 1: false\n"},
        {static_cast<UserInterfaceIdiom>(2), 3, false, "Autorotating to orientation 3: false\n"},
    };
    UiScene scene;
    const auto host = make<merix::GCViewController>();
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.idiom ? static_cast<int>(*c.idiom) : -1) << " " << c.orientation);
        scene.setIdiom(c.idiom);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(host->shouldAutorotateToInterfaceOrientation(c.orientation), c.accepted);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
    }
}

} // namespace
