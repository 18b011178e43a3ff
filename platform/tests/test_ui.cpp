// The headless interface model: images, hit testing and touches, controls,
// the keyboard, controllers, animations, the tree dump and the media stand-ins.
#include "platform/image.h"
#include "platform/media.h"
#include "platform/notifications.h"
#include "platform/resources.h"
#include "platform/plist.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "ui_fixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <iterator>
#include <numbers>
#include <thread>
#include <zlib.h>

namespace {

using namespace platform;
using testsupport::UiScene;

// ------------------------------------------------------------------ images

TEST(UiImage, DecodesLikePngtopam)
{
    UiScene scene;
    const auto pattern = [](unsigned x, unsigned y) {
        return (((x * 37u) & 0xffu) << 24) | (((y * 53u) & 0xffu) << 16) | (((x ^ y) & 0xffu) << 8) |
               ((x * 7u + y) & 0xffu);
    };
    const auto fourColours = [](unsigned x, unsigned y) {
        static constexpr std::uint32_t colours[] = {0xff0000ffu, 0x00ff00ffu, 0x0000ffffu, 0x102030ffu};
        return colours[(x / 3 + y) % 4];
    };
    struct Case {
        const char *name;
        testsupport::Pixels pixels;
        bool alpha;
        std::string options;
        int colourType; // IHDR colour type the tool must have written
    };
    const Case cases[] = {
        {"rgb", testsupport::makePixels(37, 23, pattern), false, "-force", 2},
        {"rgba", testsupport::makePixels(29, 17, pattern), true, "", 6},
        {"palette", testsupport::makePixels(31, 19, fourColours), false, "", 3},
        {"interlaced", testsupport::makePixels(13, 11, pattern), false, "-force -interlace", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto png = scene.dir() / (std::string(c.name) + ".png");
        ASSERT_TRUE(testsupport::writePng(png, c.pixels, c.alpha, c.options));
        const auto bytes = testsupport::readBytes(png);
        ASSERT_GT(bytes.size(), 26u);
        EXPECT_EQ(bytes[25], c.colourType);
        const auto pam = scene.dir() / (std::string(c.name) + ".pam");
        ASSERT_TRUE(testsupport::runQuietly("pngtopam -alphapam '" + png.string() + "' > '" + pam.string() + "'") ||
                    testsupport::runQuietly("pngtopam '" + png.string() + "' > '" + pam.string() + "'"));
        const auto reference = testsupport::readNetpbm(testsupport::readBytes(pam));
        ASSERT_EQ(reference.width, c.pixels.width);

        const auto image = decodePng(bytes);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, reference.width);
        EXPECT_EQ(image->height, reference.height);
        EXPECT_EQ(image->rgba, reference.rgba);
        auto source = c.pixels.rgba; // what went in, opaque where the file has no alpha
        if (!c.alpha) {
            for (std::size_t i = 3; i < source.size(); i += 4)
                source[i] = 0xff;
        }
        EXPECT_EQ(image->rgba, source);
        EXPECT_EQ(image->pixel(image->width, 0), 0u);
    }
}

std::uint32_t crcOf(const std::vector<std::uint8_t> &bytes, std::size_t from, std::size_t length)
{
    return static_cast<std::uint32_t>(crc32(0, bytes.data() + from, static_cast<uInt>(length)));
}

void putBe32(std::vector<std::uint8_t> &bytes, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

TEST(UiImage, DamagedOrOversizedGivesNoImage)
{
    UiScene scene;
    const auto png = scene.dir() / "ok.png";
    ASSERT_TRUE(testsupport::writePlaceholderPng(png, 40, 30));
    const auto good = testsupport::readBytes(png);
    ASSERT_TRUE(decodePng(good));

    std::vector<std::vector<std::uint8_t>> bad;
    for (const std::size_t keep : {std::size_t{0}, std::size_t{7}, std::size_t{8}, std::size_t{20}, std::size_t{33},
                                   good.size() / 2, good.size() - 13, good.size() - 1}) {
        bad.emplace_back(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(keep));
    }
    auto flipped = good; // a byte of the image data: its chunk's CRC fails
    flipped[good.size() - 20] ^= 0x55;
    bad.push_back(flipped);
    // Each side past 4096, with the header's CRC made right again.
    for (const auto &[w, h] : {std::pair{4097u, 30u}, std::pair{40u, 4097u}, std::pair{0x7fffffffu, 1u}}) {
        auto big = good;
        putBe32(big, 16, w);
        putBe32(big, 20, h);
        putBe32(big, 29, crcOf(big, 12, 17));
        bad.push_back(big);
    }
    for (std::size_t i = 0; i < bad.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(decodePng(bad[i]));
    }
    // A file of that kind by name: no image, and an image view without size.
    ASSERT_TRUE(writeFileAtomically((scene.dir() / "broken.png").string(), bad[5]));
    EXPECT_EQ(imageNamed("broken.png"), nullptr);
    EXPECT_EQ(imageNamed("../ok.png"), nullptr);
    const auto view = make<ImageView>("broken.png");
    EXPECT_EQ(view->image(), nullptr);
    EXPECT_EQ(view->frame(), Rect{});
    EXPECT_EQ(make<ImageView>("ok.png")->frame(), Rect::make(0, 0, 40, 30));
}

// ------------------------------------------------ hit testing and touches

TEST(UiTouches, HitTestingPicksTheDeepestFrontMostTakingView)
{
    UiScene scene;
    const auto window = scene.window();
    // A parent turned a quarter and doubled, its child nearer the front.
    const auto parent = make<View>(Rect::make(0, 0, 100, 50));
    parent->setCenter({160, 240});
    parent->setTransform(AffineTransform::rotation(std::numbers::pi / 2));
    window->addSubview(parent);
    const auto back = make<View>(Rect::make(0, 0, 50, 50));
    const auto front = make<View>(Rect::make(25, 0, 50, 50));
    parent->addSubview(back);
    parent->addSubview(front);
    const auto deep = make<View>(Rect::make(30, 10, 10, 10));
    front->addSubview(deep);

    // Parent (100 × 50) turned: covers x 135..185, y 190..290 in the window.
    // Local (x, y) is at window (185 - y, 190 + x).
    const auto at = [&](double lx, double ly) { return parent->convertToWindow({lx, ly}); };
    EXPECT_EQ(at(0, 0), (Point{185, 190}));
    EXPECT_EQ(window->tap(at(10, 20)), back);
    EXPECT_EQ(window->tap(at(30, 20)), front);
    EXPECT_EQ(window->tap(at(60, 15)), deep);
    EXPECT_EQ(window->tap({10, 10}), window);
    EXPECT_EQ(front->convertPointFromView({60, 15}, parent), (Point{35, 15}));

    struct Case {
        const char *name;
        std::function<void()> change;
        std::function<void()> undo;
    };
    const Case cases[] = {
        {"hidden", [&] { deep->setHidden(true); }, [&] { deep->setHidden(false); }},
        {"alpha 0", [&] { deep->setAlpha(0.0); }, [&] { deep->setAlpha(1.0); }},
        {"ignores touches", [&] { deep->setUserInteractionEnabled(false); },
         [&] { deep->setUserInteractionEnabled(true); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        c.change();
        EXPECT_EQ(window->tap(at(60, 15)), front);
        c.undo();
        EXPECT_EQ(window->tap(at(60, 15)), deep);
    }
    front->setHidden(true); // its subviews go with it
    EXPECT_EQ(window->tap(at(40, 15)), back);
    EXPECT_EQ(window->tap(at(60, 15)), parent);
    parent->bringSubviewToFront(back);
    front->setHidden(false);
    EXPECT_EQ(window->tap(at(30, 20)), back);
    EXPECT_EQ(window->tap(at(60, 15)), deep);
    // A plain image view lets touches through.
    const auto picture = make<ImageView>();
    picture->setFrame(Rect::make(0, 0, 320, 480));
    window->addSubview(picture);
    EXPECT_EQ(window->tap(at(60, 15)), deep);
}

// Records what reaches it; passes nothing on.
class Recorder : public View {
public:
    using View::View;
    std::vector<std::string> events;
    void touchesBegan(const Touches &t) override { note("began", t); }
    void touchesMoved(const Touches &t) override { note("moved", t); }
    void touchesEnded(const Touches &t) override { note("ended", t); }
    void touchesCancelled(const Touches &t) override { note("cancelled", t); }

private:
    void note(const char *what, const Touches &t)
    {
        const Point p = t.front()->locationInView(refTo(*this));
        events.push_back(std::string(what) + " " + std::to_string(static_cast<int>(p.x)) + "," +
                         std::to_string(static_cast<int>(p.y)) + " x" + std::to_string(t.front()->tapCount()));
    }
};

class RecordingController : public ViewController {
public:
    std::vector<std::string> events;
    void viewDidLoad() override { events.push_back("load"); }
    void viewWillAppear(bool) override { events.push_back("appear"); }
    void viewWillDisappear(bool) override { events.push_back("disappear"); }
    void touchesBegan(const Touches &) override { events.push_back("touch"); }
};

TEST(UiTouches, TouchesStayWithTheirViewAndClimbTheResponderChain)
{
    UiScene scene;
    const auto window = scene.window();
    const auto recorder = make<Recorder>(Rect::make(100, 100, 50, 50));
    window->addSubview(recorder);
    const TouchId id = window->touchDown({110, 120}, 2);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(window->touchMove(id, {10, 10})); // outside, still its touch
    EXPECT_TRUE(window->touchUp(id, {120, 130}));
    EXPECT_FALSE(window->touchUp(id, {120, 130}));
    const TouchId second = window->touchDown({149, 149});
    EXPECT_TRUE(window->touchCancel(second));
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"began 10,20 x2", "moved -90,-90 x2", "ended 20,30 x2",
                                                          "began 49,49 x1", "cancelled 49,49 x1"}));
    EXPECT_EQ(window->activeTouchCount(), 0u);

    // A plain view passes its touch to its controller.
    const auto controller = make<RecordingController>();
    const auto content = controller->view();
    EXPECT_EQ(controller->view(), content); // loaded once
    window->addSubview(content);
    const auto plain = make<View>(Rect::make(0, 0, 20, 20));
    content->addSubview(plain);
    EXPECT_EQ(window->tap({5, 5}), plain);
    EXPECT_EQ(controller->events, (std::vector<std::string>{"load", "touch"}));
    EXPECT_EQ(plain->viewController(), nullptr);
    EXPECT_EQ(content->viewController(), controller);
}

struct Counter {
    int presses = 0;
    void press(Button &) { ++presses; }
};

TEST(UiControls, ButtonActsOnceOnTouchUpInsideAndDropsGoneTargets)
{
    UiScene scene;
    const auto window = scene.window();
    const auto button = make<Button>(Rect::make(20, 400, 280, 44));
    window->addSubview(button);
    auto counter = std::make_shared<Counter>();
    button->addTarget(std::weak_ptr<const void>(counter), [c = counter.get()](Button &b) { c->press(b); });

    const TouchId inside = window->touchDown({30, 410});
    EXPECT_TRUE(button->isHighlighted());
    EXPECT_EQ(counter->presses, 0);
    window->touchUp(inside, {40, 420});
    EXPECT_EQ(counter->presses, 1);
    EXPECT_FALSE(button->isHighlighted());

    const TouchId outside = window->touchDown({30, 410});
    window->touchMove(outside, {30, 300});
    EXPECT_FALSE(button->isHighlighted());
    window->touchUp(outside, {30, 300});
    EXPECT_EQ(counter->presses, 1);

    button->setEnabled(false);
    window->tap({30, 410});
    EXPECT_EQ(counter->presses, 1);
    button->setEnabled(true);

    // Titles and images by state fall back to the normal state's.
    ASSERT_TRUE(testsupport::writePlaceholderPng(scene.dir() / "generic.png", 280, 44));
    button->setTitle("Log in");
    button->setTitle("Wait", kControlStateDisabled);
    button->setBackgroundImageNamed("generic.png");
    EXPECT_EQ(button->titleForState(kControlStateHighlighted), "Log in");
    EXPECT_EQ(button->currentBackgroundImageName(), "generic.png");
    ASSERT_TRUE(button->currentBackgroundImage());
    EXPECT_EQ(button->currentBackgroundImage()->width, 280u);
    button->setEnabled(false);
    EXPECT_EQ(button->currentTitle(), "Wait");

    counter.reset(); // the target has gone: its action is dropped, not called
    button->setEnabled(true);
    window->tap({30, 410});
}

// ------------------------------------------------------ handles and nil

TEST(UiHandles, EmptyHandlesDoNothingAndReadZero)
{
    UiScene scene;
    Ref<Label> label;
    label->setText("lost");
    label->setFrame(Rect::make(1, 2, 3, 4));
    label->setAlpha(1.0);
    label->setFont("Arial", 20);
    label->addSubview(make<View>());
    label->removeFromSuperview();
    EXPECT_EQ(label->text(), "");
    EXPECT_EQ(label->frame(), Rect{});
    EXPECT_EQ(label->alpha(), 0.0);
    EXPECT_EQ(label->fontSize(), 0.0);
    EXPECT_EQ(label->fontName(), "");
    EXPECT_TRUE(label->subviews().empty());
    EXPECT_EQ(label->superview(), nullptr);
    EXPECT_EQ(label->description(), "");
    EXPECT_EQ(label->hitTest({0, 0}), nullptr);

    Ref<Button> button;
    button->addTarget(std::make_shared<int>(), [](Button &) { ADD_FAILURE() << "a nil button acted"; });
    button->sendActions(kControlEventTouchUpInside);
    EXPECT_FALSE(button->isEnabled());
    Ref<ViewController> controller;
    EXPECT_EQ(controller->view(), nullptr);
    Ref<TextField> field;
    EXPECT_FALSE(field->becomeFirstResponder());
    Ref<Window> window;
    EXPECT_EQ(window->touchDown({1, 1}), 0u);

    // A handle keeps its view alive after the parent lets it go; the last
    // owner gone, so is the view.
    const auto parent = make<View>();
    auto child = make<Label>();
    parent->addSubview(child);
    const std::weak_ptr<Label> watch = child.weak();
    child->removeFromSuperview();
    EXPECT_FALSE(watch.expired());
    child->setText("still here");
    EXPECT_EQ(child->text(), "still here");
    parent->addSubview(child);
    child.reset();
    EXPECT_FALSE(watch.expired());
    parent->subviews().front()->removeFromSuperview();
    EXPECT_TRUE(watch.expired());
    // A view never becomes its own ancestor.
    const auto a = make<View>();
    const auto b = make<View>();
    a->addSubview(b);
    b->addSubview(a);
    EXPECT_EQ(a->superview(), nullptr);
    const std::string description = a->description(); // "<UIView: 0x…>"
    ASSERT_GT(description.size(), 13u);
    EXPECT_EQ(description.substr(0, 11), "<UIView: 0x");
    EXPECT_EQ(description.back(), '>');
    EXPECT_EQ(description.find_first_not_of("0123456789abcdef", 11), description.size() - 1);
    EXPECT_EQ(a->description(), description);
    EXPECT_NE(b->description(), description);
}

// -------------------------------------------------------------- animations

struct AnimationLog {
    std::vector<std::string> stops;
    void didStop(const std::optional<std::string> &name, bool finished)
    {
        stops.push_back((name ? *name : std::string("(none)")) + (finished ? "" : " unfinished"));
    }
};

void animate(const std::shared_ptr<AnimationLog> &log, std::optional<std::string> name, double seconds,
             const std::function<void()> &changes)
{
    View::beginAnimations(std::move(name));
    View::setAnimationDuration(seconds);
    View::setAnimationDelegate(std::weak_ptr<const void>(log),
                               [raw = log.get()](const std::optional<std::string> &n, bool f) { raw->didStop(n, f); });
    changes();
    View::commitAnimations();
}

TEST(UiAnimations, EndOnTheLoopClockInTheOrderBegun)
{
    UiScene scene;
    const auto log = std::make_shared<AnimationLog>();
    const auto view = make<View>(Rect::make(0, 0, 10, 10));
    animate(log, "TEST", 0.35, [&] {
        view->setCenter({100, 100});
        view->setAlpha(0.5);
    });
    EXPECT_EQ(view->center(), (Point{100, 100})); // final values at once
    EXPECT_EQ(view->alpha(), 0.5);
    scene.setTime(0.3499);
    EXPECT_TRUE(log->stops.empty());
    scene.setTime(0.35);
    EXPECT_EQ(log->stops, std::vector<std::string>{"TEST"});

    // Three begun together, nested: all end in one pass, in the order begun;
    // one of them unnamed, one on a view removed meanwhile.
    log->stops.clear();
    const auto removed = make<View>();
    view->addSubview(removed);
    View::beginAnimations("first");
    View::setAnimationDuration(1.0);
    View::setAnimationDelegate(Ref<View>(view).weak(),
                               [raw = log.get()](const auto &n, bool f) { raw->didStop(n, f); });
    animate(log, std::nullopt, 1.0, [] {});
    animate(log, "third", 1.0, [&] { removed->setAlpha(0.0); });
    View::commitAnimations();
    removed->removeFromSuperview();
    EXPECT_EQ(View::pendingAnimationCount(), 3u);
    scene.setTime(1.35, true);
    EXPECT_EQ(log->stops, (std::vector<std::string>{"first", "(none)", "third"}));
    EXPECT_EQ(View::pendingAnimationCount(), 0u);

    // A delegate that has gone is not called.
    auto gone = std::make_shared<AnimationLog>();
    animate(gone, "late", 0.1, [] {});
    const std::weak_ptr<AnimationLog> watch = gone;
    gone.reset();
    scene.advance(0.2);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(View::pendingAnimationCount(), 0u);
}

// ---------------------------------------------------------------- keyboard

class FieldDelegate : public TextFieldDelegate {
public:
    std::vector<std::string> *events = nullptr;
    bool allowChanges = true;
    bool textFieldShouldReturn(TextField &) override
    {
        events->push_back("return");
        return false;
    }
    void textFieldDidBeginEditing(TextField &) override { events->push_back("begin"); }
    bool textFieldShouldChangeCharacters(TextField &, TextRange range, const std::string &s) override
    {
        events->push_back("change " + std::to_string(range.location) + "+" + std::to_string(range.length) + " " + s);
        return allowChanges;
    }
};

TEST(UiKeyboard, FirstResponderShowsAndHidesTheKeyboard)
{
    for (const auto idiom : {UserInterfaceIdiom::Phone, UserInterfaceIdiom::Pad}) {
        UiScene scene;
        scene.setIdiom(idiom);
        const double height = idiom == UserInterfaceIdiom::Pad ? 264 : 216;
        const Rect screen = screenBounds();
        std::vector<std::string> events;
        auto &center = NotificationCenter::defaultCenter();
        std::optional<Rect> endFrame;
        std::optional<Rect> keyboardBounds;
        const ObserverId shown = center.addObserver(kKeyboardWillShowNotification, [&](const Notification &n) {
            events.push_back("will-show");
            if (const Rect *r = n.get<Rect>(kKeyboardFrameEndUserInfoKey))
                endFrame = *r;
            if (const Rect *r = n.get<Rect>(kKeyboardBoundsUserInfoKey))
                keyboardBounds = *r;
        });
        const ObserverId hidden = center.addObserver(kKeyboardWillHideNotification,
                                                     [&](const std::string &) { events.push_back("will-hide"); });

        const auto window = scene.window();
        const auto field = make<TextField>(Rect::make(20, 100, 280, 31));
        const auto other = make<TextField>(Rect::make(20, 150, 280, 31));
        window->addSubview(field);
        window->addSubview(other);
        const auto delegate = std::make_shared<FieldDelegate>();
        delegate->events = &events;
        field->setDelegate(delegate);

        EXPECT_FALSE(field->typeText("x")); // not editing yet
        window->tap({30, 110});
        EXPECT_TRUE(field->isFirstResponder());
        EXPECT_EQ(endFrame, Rect::make(0, screen.size.height - height, screen.size.width, height));
        EXPECT_EQ(keyboardBounds, Rect::make(0, 0, screen.size.width, height));
        EXPECT_TRUE(field->typeText("ab"));
        delegate->allowChanges = false;
        EXPECT_FALSE(field->typeText("c"));
        EXPECT_FALSE(field->deleteBackward());
        EXPECT_EQ(field->text(), "ab");
        EXPECT_FALSE(field->pressReturn());
        EXPECT_TRUE(other->becomeFirstResponder()); // hand-over: the keyboard stays
        EXPECT_TRUE(Application::shared().isKeyboardVisible());
        EXPECT_TRUE(other->resignFirstResponder());
        EXPECT_FALSE(Application::shared().isKeyboardVisible());
        EXPECT_EQ(events, (std::vector<std::string>{"will-show", "begin", "change 0+0 ab", "change 2+0 c",
                                                    "change 1+1 ", "return", "will-hide"}));
        center.removeObserver(shown);
        center.removeObserver(hidden);
    }
}

// ------------------------------------------------------------ controllers

TEST(UiControllers, ModalPresentationAndTheApplicationsFlags)
{
    UiScene scene;
    const auto window = scene.window();
    const auto host = make<RecordingController>();
    window->addSubview(host->view());
    const auto modal = make<RecordingController>();
    host->presentModalViewController(modal, true);
    EXPECT_EQ(host->modalViewController(), modal);
    EXPECT_EQ(modal->parentViewController(), host);
    EXPECT_EQ(window->subviews().back(), modal->view());
    modal->dismissModalViewController(true); // from the presented side
    EXPECT_EQ(host->modalViewController(), nullptr);
    EXPECT_EQ(modal->view()->superview(), nullptr);
    EXPECT_EQ(host->events, (std::vector<std::string>{"load", "disappear", "appear"}));
    EXPECT_EQ(modal->events, (std::vector<std::string>{"load", "appear", "disappear"}));
    EXPECT_TRUE(host->shouldAutorotateToInterfaceOrientation(kOrientationPortrait));
    EXPECT_FALSE(host->shouldAutorotateToInterfaceOrientation(kOrientationLandscapeRight));

    auto &app = Application::shared();
    EXPECT_EQ(app.keyWindow(), window);
    int orientationPosts = 0;
    const ObserverId id = NotificationCenter::defaultCenter().addObserver(
        kDeviceOrientationDidChangeNotification, [&](const std::string &) { ++orientationPosts; });
    app.setDeviceOrientation(kOrientationLandscapeRight);
    app.setDeviceOrientation(kOrientationLandscapeRight);
    EXPECT_EQ(orientationPosts, 1);
    NotificationCenter::defaultCenter().removeObserver(id);
    EXPECT_EQ(deviceFacts().systemVersion, "4.3");
}

// ---------------------------------------------------------- the tree dump

Ref<View> buildScreen()
{
    const auto root = make<View>(Rect::make(0, 0, 320, 480));
    const auto title = make<Label>(Rect::make(10, 20, 300, 30));
    title->setText("Say \"hi\"");
    root->addSubview(title);
    const auto backdrop = make<ImageView>("backdrop.png");
    backdrop->setHidden(true);
    root->addSubview(backdrop);
    const auto panel = make<ScrollView>(Rect::make(0, 60, 320, 200));
    panel->setAlpha(0.5);
    panel->setTransform(AffineTransform::scale(0.5, 0.5));
    root->addSubview(panel);
    const auto field = make<TextField>(Rect::make(5, 5, 100, 20));
    field->setPlaceholder("Name");
    panel->addSubview(field);
    return root;
}

TEST(UiDump, SameTreeSameText)
{
    UiScene scene;
    ASSERT_TRUE(testsupport::writePlaceholderPng(scene.dir() / "backdrop.png", 320, 480));
    const std::string dump = dumpViewTree(buildScreen());
    EXPECT_EQ(dump, "UIView frame=(0,0,320,480) hidden=0 alpha=1\n"
                    "  UILabel frame=(10,20,300,30) hidden=0 alpha=1 text=\"Say \\\"hi\\\"\"\n"
                    "  UIImageView frame=(0,0,320,480) hidden=1 alpha=1 image=\"backdrop.png\"\n"
                    "  UIScrollView frame=(80,110,160,100) hidden=0 alpha=0.5\n"
                    "    UITextField frame=(5,5,100,20) hidden=0 alpha=1 text=\"\" placeholder=\"Name\"\n");
    EXPECT_EQ(dumpViewTree(buildScreen()), dump);
}

// ---------------------------------------------------- resources and media

TEST(UiResources, LocalizedStringsFallBackToTheKey)
{
    UiScene scene;
    EXPECT_EQ(localizedString("IDS_ADD_SONG"), "IDS_ADD_SONG"); // no table
    const std::string xml = plistToXml(PlistDict{{"IDS_ADD_SONG", "Add a song"}, {"IDS_NUMBER", 7}});
    ASSERT_TRUE(writeFileAtomically((scene.dir() / "Localizable.strings").string(),
                                    std::vector<std::uint8_t>(xml.begin(), xml.end())));
    const auto binary = plistToBinary(PlistDict{{"IDS_OK", "Fine"}});
    ASSERT_TRUE(writeFileAtomically((scene.dir() / "Menus.strings").string(), binary));
    EXPECT_EQ(localizedString("IDS_ADD_SONG"), "Add a song");
    EXPECT_EQ(localizedString("IDS_MISSING"), "IDS_MISSING");
    EXPECT_EQ(localizedString("IDS_NUMBER"), "IDS_NUMBER");
    EXPECT_EQ(localizedString("IDS_OK", "Menus"), "Fine");
    EXPECT_EQ(localizedString("IDS_OK", "../Menus"), "IDS_OK");
}

TEST(UiMedia, WaveCheckAndPlayRecords)
{
    const auto wave = [](std::uint16_t tag, bool dataFirst, std::uint32_t fmtSize) {
        std::vector<std::uint8_t> b = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
        const auto chunk = [&](const char *id, std::vector<std::uint8_t> body, std::uint32_t size) {
            b.insert(b.end(), id, id + 4);
            for (int i = 0; i < 4; ++i)
                b.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
            b.insert(b.end(), body.begin(), body.end());
        };
        const std::vector<std::uint8_t> fmt = {
            static_cast<std::uint8_t>(tag), 0, 1, 0, 0x44, 0xac, 0, 0, 0x88, 0x58, 1, 0, 2, 0, 16, 0};
        if (dataFirst)
            chunk("data", {0, 0}, 2);
        chunk("fmt ", fmt, fmtSize);
        if (!dataFirst)
            chunk("data", {0, 0}, 2);
        return b;
    };
    EXPECT_TRUE(isWaveFile(wave(1, false, 16)));
    EXPECT_TRUE(isWaveFile(wave(3, false, 16)));
    EXPECT_FALSE(isWaveFile(wave(2, false, 16))); // ADPCM is not taken
    EXPECT_FALSE(isWaveFile(wave(1, true, 16))); // data before format
    EXPECT_FALSE(isWaveFile(wave(1, false, 0xffff))); // chunk runs past the end
    auto text = wave(1, false, 16);
    text[8] = 'X';
    EXPECT_FALSE(isWaveFile(text));
    EXPECT_EQ(createSystemSound("/nonexistent/sound.wav"), 0u);
    playSystemSound(0);
    playSystemSound(123456);
    EXPECT_TRUE(systemSoundPlays().empty());
}

struct PickLog : MediaPickerDelegate {
    std::vector<std::vector<MediaItem>> picks;
    int cancels = 0;
    void mediaPickerDidPickMediaItems(MediaPickerController &, const std::vector<MediaItem> &items) override
    {
        picks.push_back(items);
    }
    void mediaPickerDidCancel(MediaPickerController &) override { ++cancels; }
};

TEST(UiMedia, PlayerRunsOnTheLoopClockAndThePickerIsAnswered)
{
    UiScene scene;
    auto &player = MusicPlayer::iPodMusicPlayer();
    player.reset();
    const MediaItem a{1, "A", "X", 200}, b{2, "B", "Y", 100}, c{3, "C", "Z", 50};
    player.play();
    EXPECT_EQ(player.playbackState(), kPlaybackStopped); // nothing queued
    player.setQueue({a, b});
    player.play();
    EXPECT_EQ(player.playbackState(), kPlaybackPlaying);
    scene.advance(3.0);
    EXPECT_DOUBLE_EQ(player.currentPlaybackTime(), 3.0);
    player.pause();
    EXPECT_EQ(player.playbackState(), kPlaybackPaused);
    scene.advance(5.0);
    EXPECT_DOUBLE_EQ(player.currentPlaybackTime(), 3.0);
    player.play();
    player.setNowPlayingIndex(1);
    scene.advance(150.0);
    EXPECT_DOUBLE_EQ(player.currentPlaybackTime(), 100.0); // not past the song's end

    // A new queue holding the old one twice over, then the second copy of
    // the playing song and its time set back.
    player.setQueue({a, b, a, b, c});
    EXPECT_EQ(player.nowPlayingItem(), a);
    EXPECT_EQ(player.playbackState(), kPlaybackStopped);
    player.setNowPlayingIndex(3);
    player.setCurrentPlaybackTime(42.0);
    player.play();
    scene.advance(1.0);
    EXPECT_EQ(player.nowPlayingIndex(), 3u);
    EXPECT_EQ(player.nowPlayingItem(), b);
    EXPECT_DOUBLE_EQ(player.currentPlaybackTime(), 43.0);
    player.setNowPlayingIndex(5);
    EXPECT_EQ(player.nowPlayingIndex(), 3u);
    player.reset();
    EXPECT_EQ(player.nowPlayingItem(), std::nullopt);

    const auto picker = make<MediaPickerController>(kMediaTypeMusic);
    auto log = std::make_shared<PickLog>();
    picker->setDelegate(log);
    EXPECT_TRUE(picker->pick({a, b}));
    picker->setAllowsPickingMultipleItems(true);
    EXPECT_TRUE(picker->pick({a, b}));
    EXPECT_TRUE(picker->cancel());
    EXPECT_EQ(log->picks, (std::vector<std::vector<MediaItem>>{{a}, {a, b}}));
    EXPECT_EQ(log->cancels, 1);
    log.reset();
    EXPECT_FALSE(picker->cancel());
}

#ifndef NDEBUG
// The dying child is forked from this thread, the model's owner: the
// "threadsafe" style would instead run this program again from its file,
// which a build relinking it meanwhile makes fail ("execv ... failed: Text
// file busy"). Forking is safe while this process has no other thread.
TEST(UiThreadsDeathTest, ModelUsedFromAnotherThreadAborts)
{
    GTEST_FLAG_SET(death_test_style, "fast");
    UiScene scene;
    bindUiThread();
    ASSERT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                            std::filesystem::directory_iterator()),
              1)
        << "a thread of its own before the fork";
    EXPECT_DEATH(
        {
            std::thread other([] { (void)make<View>(); });
            other.join();
        },
        "does not own it");
    // Here the model still belongs to this thread.
    EXPECT_TRUE(make<View>());
}
#endif

} // namespace
