// A headless model of the phone's interface: views, windows, touches, view
// controllers, animations, the keyboard and the status bar. Nothing is drawn;
// tests and driver tools build screens with it, tap and type into them and
// inspect the result (dumpViewTree, description()).
//
// Objects live in shared pointers and are reached through Ref<T> handles. A
// handle is never dangling: it keeps its object alive, and parents keep
// their subviews. An empty handle is safe to use: calls through it do
// nothing and read zero (empty text, zero frame, alpha 0), as a message to a
// cleared reference does on the phone. Subclasses that add state test
// isNil() in their own setters.
//
// Threads: the model belongs to the thread that runs the interface's run
// loop (uiRunLoop(), the main loop unless set). Debug builds abort when the
// model is touched from another thread.
#ifndef PLATFORM_UI_H
#define PLATFORM_UI_H

#include "platform/geometry.h"
#include "platform/image.h"
#include "platform/runloop.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace platform {

// The run loop whose clock paces animations and the music player, and on
// whose thread the model lives. nullptr restores the main loop. Animations
// not yet reported are dropped: they were timed on the old loop's clock.
void setUiRunLoop(RunLoop *loop);
[[nodiscard]] RunLoop &uiRunLoop();
// Debug builds: the first thread to use the model owns it; another thread
// aborts with a message. bindUiThread() hands the model to the calling thread
// (a test that starts over on a fresh thread). No-ops in release builds.
void checkUiThread();
void bindUiThread();

// ---------------------------------------------------------------- handles

class Object;
namespace detail {
void markNil(Object &object);
} // namespace detail

// The base of every model object.
class Object : public std::enable_shared_from_this<Object> {
public:
    Object();
    virtual ~Object() = default;
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;

    [[nodiscard]] virtual const char *className() const { return "NSObject"; }
    // "<Class: 0x…>": the same for the whole life of the object; "" for nil.
    [[nodiscard]] std::string description() const;
    // True only for the stand-in that empty handles call into.
    [[nodiscard]] bool isNil() const { return mNil; }

protected:
    // Puts a nil object's state to zero; overrides call their base.
    virtual void becomeNil() {}
    // A setter's store, skipped on the nil object so that it stays zero.
    template <typename Field, typename Value>
    void assign(Field &field, Value &&value)
    {
        if (!mNil)
            field = std::forward<Value>(value);
    }

private:
    friend void detail::markNil(Object &object);
    bool mNil = false;
};

namespace detail {
// One frozen object per type for empty handles to call into.
template <typename T>
T &nilObject()
{
    static T *nil = [] {
        auto *object = new T();
        markNil(*object);
        return object;
    }();
    return *nil;
}
} // namespace detail

template <typename T>
class Ref {
public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    explicit Ref(std::shared_ptr<T> object)
        : mObject(std::move(object))
    {
    }
    template <typename U>
    requires std::is_convertible_v<U *, T *> Ref(const Ref<U> &other)
        : mObject(other.shared())
    {
    }

    // Never null: an empty handle leads to the type's nil object.
    T *operator->() const { return mObject ? mObject.get() : &detail::nilObject<T>(); }
    T &operator*() const { return *operator->(); }
    explicit operator bool() const { return mObject != nullptr; }
    [[nodiscard]] T *get() const { return mObject.get(); }
    [[nodiscard]] const std::shared_ptr<T> &shared() const { return mObject; }
    [[nodiscard]] std::weak_ptr<T> weak() const { return mObject; }
    void reset() { mObject.reset(); }
    // The same object seen as a U, or an empty handle.
    template <typename U>
    [[nodiscard]] Ref<U> as() const
    {
        return Ref<U>(std::dynamic_pointer_cast<U>(mObject));
    }

    template <typename U>
    friend bool operator==(const Ref &a, const Ref<U> &b)
    {
        return a.get() == b.get();
    }

private:
    std::shared_ptr<T> mObject;
};

template <typename T, typename... Args>
[[nodiscard]] Ref<T> make(Args &&...args)
{
    checkUiThread();
    return Ref<T>(std::make_shared<T>(std::forward<Args>(args)...));
}

// The handle of an object from inside it; empty for nil objects.
template <typename T>
[[nodiscard]] Ref<T> refTo(T &object)
{
    if (object.isNil())
        return {};
    return Ref<T>(std::static_pointer_cast<T>(object.shared_from_this()));
}

// --------------------------------------------------------------- values

struct Color {
    double red = 0.0, green = 0.0, blue = 0.0, alpha = 0.0; // clear
    friend bool operator==(const Color &, const Color &) = default;
};

enum InterfaceOrientation : int {
    kOrientationUnknown = 0,
    kOrientationPortrait = 1,
    kOrientationPortraitUpsideDown = 2,
    kOrientationLandscapeRight = 3,
    kOrientationLandscapeLeft = 4,
};

enum TextAlignment : int { kTextAlignmentLeft = 0, kTextAlignmentCenter = 1, kTextAlignmentRight = 2 };

// The screen's bounds in points: 320 × 480 on a phone, 768 × 1024 on a tablet.
[[nodiscard]] Rect screenBounds();

// ------------------------------------------------------- touches, responders

class View;
class Window;
class ViewController;

enum class TouchPhase { Began, Moved, Ended, Cancelled };

class Touch {
public:
    // The location in `view`'s own coordinates; in the window's for an
    // empty handle.
    [[nodiscard]] Point locationInView(const Ref<View> &view) const;
    [[nodiscard]] Point previousLocationInView(const Ref<View> &view) const;
    [[nodiscard]] int tapCount() const { return mTapCount; }
    [[nodiscard]] TouchPhase phase() const { return mPhase; }
    // The view hit when the touch began; it keeps the touch until it ends.
    [[nodiscard]] Ref<View> view() const { return mView; }

private:
    friend class Window;
    Ref<View> mView;
    Point mLocation;
    Point mPrevious;
    int mTapCount = 1;
    TouchPhase mPhase = TouchPhase::Began;
};

using Touches = std::vector<const Touch *>;

class Responder : public Object {
public:
    [[nodiscard]] const char *className() const override { return "UIResponder"; }
    [[nodiscard]] virtual std::shared_ptr<Responder> nextResponder() const { return nullptr; }

    // The default handlers pass the touches up the responder chain.
    virtual void touchesBegan(const Touches &touches);
    virtual void touchesMoved(const Touches &touches);
    virtual void touchesEnded(const Touches &touches);
    virtual void touchesCancelled(const Touches &touches);

    [[nodiscard]] virtual bool canBecomeFirstResponder() const { return false; }
    // The application's one first responder; the previous one resigns.
    bool becomeFirstResponder();
    bool resignFirstResponder();
    [[nodiscard]] bool isFirstResponder() const;

protected:
    virtual void didBecomeFirstResponder() {}
    virtual void didResignFirstResponder() {}
};

// ----------------------------------------------------------------- views

class View : public Responder {
public:
    View();
    explicit View(Rect frame);
    [[nodiscard]] const char *className() const override { return "UIView"; }

    // Frame: the bounds, transformed about the centre, in the superview's
    // coordinates. Setting it under a non-identity transform moves the
    // centre only.
    [[nodiscard]] Rect frame() const;
    void setFrame(Rect frame);
    [[nodiscard]] Rect bounds() const { return mBounds; }
    void setBounds(Rect bounds) { assign(mBounds, bounds); }
    [[nodiscard]] Point center() const { return mCenter; }
    void setCenter(Point center) { assign(mCenter, center); }
    [[nodiscard]] AffineTransform transform() const { return mTransform; }
    void setTransform(const AffineTransform &transform) { assign(mTransform, transform); }

    [[nodiscard]] bool isHidden() const { return mHidden; }
    void setHidden(bool hidden) { assign(mHidden, hidden); }
    [[nodiscard]] double alpha() const { return mAlpha; }
    void setAlpha(double alpha) { assign(mAlpha, std::clamp(alpha, 0.0, 1.0)); }
    [[nodiscard]] bool isOpaque() const { return mOpaque; }
    void setOpaque(bool opaque) { assign(mOpaque, opaque); }
    [[nodiscard]] bool isUserInteractionEnabled() const { return mInteraction; }
    void setUserInteractionEnabled(bool enabled) { assign(mInteraction, enabled); }
    [[nodiscard]] bool isMultipleTouchEnabled() const { return mMultipleTouch; }
    void setMultipleTouchEnabled(bool enabled) { assign(mMultipleTouch, enabled); }
    [[nodiscard]] Color backgroundColor() const { return mBackground; }
    void setBackgroundColor(Color color) { assign(mBackground, color); }
    // Stored for the screens that set it; nothing is laid out here.
    [[nodiscard]] unsigned autoresizingMask() const { return mAutoresizing; }
    void setAutoresizingMask(unsigned mask) { assign(mAutoresizing, mask); }

    // Subviews from back to front.
    [[nodiscard]] Ref<View> superview() const;
    [[nodiscard]] const std::vector<Ref<View>> &subviews() const;
    // Adds at the front; a view with another superview moves; a view never
    // becomes its own ancestor.
    void addSubview(const Ref<View> &view);
    void removeFromSuperview();
    void bringSubviewToFront(const Ref<View> &view);
    [[nodiscard]] Ref<Window> window() const;

    // Points between this view's coordinates and another's (the window's
    // for an empty handle), through every transform on the way.
    [[nodiscard]] Point convertPointToView(Point point, const Ref<View> &view) const;
    [[nodiscard]] Point convertPointFromView(Point point, const Ref<View> &view) const;
    [[nodiscard]] Point convertToWindow(Point point) const;
    [[nodiscard]] Point convertFromWindow(Point point) const;

    [[nodiscard]] virtual bool pointInside(Point point) const;
    // The deepest, front-most visible view under `point` (in this view's
    // coordinates) that takes touches; hidden views, views with alpha below
    // 0.01 and views that ignore interaction are passed over with their
    // subviews.
    [[nodiscard]] virtual Ref<View> hitTest(Point point);

    // The controller whose view this is, if any.
    [[nodiscard]] Ref<ViewController> viewController() const;
    [[nodiscard]] std::shared_ptr<Responder> nextResponder() const override;

    // What the tree dump shows after the frame, such as ` text="…"`.
    virtual void describeContent(std::string &line) const;
    // Appends ` key="value"` with quotes, backslashes and newlines escaped.
    static void appendField(std::string &line, const char *key, const std::string &value);

    // Animation blocks: changes made between begin and commit take effect at
    // once; when the duration has passed on the loop's clock, the delegate
    // learns that the animation named at begin (or unnamed) stopped. Blocks
    // may nest; each commit ends the innermost one.
    using AnimationDidStop = std::function<void(const std::optional<std::string> &name, bool finished)>;
    static void beginAnimations(std::optional<std::string> name = std::nullopt);
    static void setAnimationDuration(double seconds);
    // The receiver is held weakly: when it has gone, the call is dropped.
    static void setAnimationDelegate(std::weak_ptr<const void> receiver, AnimationDidStop didStop);
    template <typename T>
    static void setAnimationDelegate(const Ref<T> &receiver,
                                     void (T::*didStop)(const std::optional<std::string> &, bool))
    {
        T *raw = receiver.get();
        setAnimationDelegate(
            std::weak_ptr<const void>(receiver.shared()),
            [raw, didStop](const std::optional<std::string> &name, bool finished) { (raw->*didStop)(name, finished); });
    }
    static void commitAnimations();
    // Animations committed and not yet reported.
    [[nodiscard]] static std::size_t pendingAnimationCount();

private:
    friend class ViewController;
    void detachFrom(View &parent);
    [[nodiscard]] AffineTransform toSuperview() const;

protected:
    void becomeNil() override;

private:
    Rect mBounds;
    Point mCenter;
    AffineTransform mTransform;
    bool mHidden = false;
    double mAlpha = 1.0;
    bool mOpaque = true;
    bool mInteraction = true;
    bool mMultipleTouch = false;
    Color mBackground;
    unsigned mAutoresizing = 0;
    std::weak_ptr<View> mSuperview;
    std::vector<Ref<View>> mSubviews;
    std::weak_ptr<ViewController> mController;
};

// A view tree as text: one line per view, indented two spaces per level,
// with its class, frame, hidden flag, alpha and content. The same tree gives
// the same text on every run.
[[nodiscard]] std::string dumpViewTree(const Ref<View> &root);

// Ignores touches (interaction disabled) until told otherwise.
class ImageView : public View {
public:
    ImageView();
    // With the image of that name from the resource directory, sized to it
    // (no image and a zero size when the directory lacks it).
    explicit ImageView(const std::string &imageName);
    [[nodiscard]] const char *className() const override { return "UIImageView"; }

    // Keeps the frame; an unknown name leaves no image.
    void setImageNamed(const std::string &name);
    // A picture that comes from elsewhere than the resources (no name).
    void setImage(std::shared_ptr<const Image> image);
    [[nodiscard]] std::shared_ptr<const Image> image() const { return mImage; }
    [[nodiscard]] std::string imageName() const;
    void describeContent(std::string &line) const override;

private:
    std::string mImageName;
    std::shared_ptr<const Image> mImage;
};

class Label : public View {
public:
    using View::View;
    [[nodiscard]] const char *className() const override { return "UILabel"; }

    [[nodiscard]] std::string text() const { return mText; }
    void setText(std::string text) { assign(mText, std::move(text)); }
    [[nodiscard]] std::string fontName() const { return mFontName; }
    [[nodiscard]] double fontSize() const { return mFontSize; }
    void setFont(std::string name, double size);
    [[nodiscard]] Color textColor() const { return mTextColor; }
    void setTextColor(Color color) { assign(mTextColor, color); }
    [[nodiscard]] TextAlignment textAlignment() const { return mAlignment; }
    void setTextAlignment(TextAlignment alignment) { assign(mAlignment, alignment); }
    [[nodiscard]] int numberOfLines() const { return mLines; }
    void setNumberOfLines(int lines) { assign(mLines, std::max(0, lines)); }
    [[nodiscard]] int lineBreakMode() const { return mLineBreak; }
    void setLineBreakMode(int mode) { assign(mLineBreak, mode); }
    [[nodiscard]] bool adjustsFontSizeToFitWidth() const { return mShrink; }
    void setAdjustsFontSizeToFitWidth(bool adjusts) { assign(mShrink, adjusts); }
    void describeContent(std::string &line) const override;

protected:
    void becomeNil() override;

private:
    std::string mText;
    std::string mFontName = "Helvetica";
    double mFontSize = 17.0;
    Color mTextColor{0.0, 0.0, 0.0, 1.0};
    TextAlignment mAlignment = kTextAlignmentLeft;
    int mLines = 1;
    int mLineBreak = 4; // tail truncation
    bool mShrink = false;
};

enum ControlState : unsigned {
    kControlStateNormal = 0,
    kControlStateHighlighted = 1,
    kControlStateDisabled = 2,
    kControlStateSelected = 4,
};

enum ControlEvent : unsigned {
    kControlEventTouchDown = 1u << 0,
    kControlEventTouchUpInside = 1u << 6,
    kControlEventTouchUpOutside = 1u << 7,
};

// A rounded-rect button: a title and a background image per state (falling
// back to the normal state's), and target-actions for touch events.
class Button : public View {
public:
    using View::View;
    [[nodiscard]] const char *className() const override { return "UIRoundedRectButton"; }

    void setTitle(std::string title, ControlState state = kControlStateNormal);
    [[nodiscard]] std::string titleForState(ControlState state) const;
    [[nodiscard]] std::string currentTitle() const;
    void setBackgroundImageNamed(const std::string &name, ControlState state = kControlStateNormal);
    [[nodiscard]] std::string backgroundImageNameForState(ControlState state) const;
    [[nodiscard]] std::string currentBackgroundImageName() const;
    [[nodiscard]] std::shared_ptr<const Image> currentBackgroundImage() const;

    [[nodiscard]] bool isEnabled() const { return mEnabled; }
    void setEnabled(bool enabled);
    [[nodiscard]] bool isHighlighted() const { return mHighlighted; }
    void setHighlighted(bool highlighted) { assign(mHighlighted, highlighted); }
    [[nodiscard]] ControlState state() const;

    // The receiver is held weakly: once it has gone its action is dropped.
    using Action = std::function<void(Button &sender)>;
    void addTarget(std::weak_ptr<const void> receiver, Action action, unsigned events = kControlEventTouchUpInside);
    template <typename T>
    void addTarget(const Ref<T> &receiver, void (T::*action)(Button &), unsigned events = kControlEventTouchUpInside)
    {
        T *raw = receiver.get();
        addTarget(
            std::weak_ptr<const void>(receiver.shared()), [raw, action](Button &b) { (raw->*action)(b); }, events);
    }
    void removeAllTargets();
    // Runs the live actions registered for any of `events`.
    void sendActions(unsigned events);

    void touchesBegan(const Touches &touches) override;
    void touchesMoved(const Touches &touches) override;
    void touchesEnded(const Touches &touches) override;
    void touchesCancelled(const Touches &touches) override;
    void describeContent(std::string &line) const override;

protected:
    void becomeNil() override;

private:
    struct PerState {
        ControlState state;
        std::string title;
        std::string imageName;
        std::shared_ptr<const Image> image;
    };
    struct Target {
        std::weak_ptr<const void> receiver;
        Action action;
        unsigned events;
    };
    [[nodiscard]] const PerState *find(ControlState state, bool wantTitle) const;
    PerState &slot(ControlState state);
    [[nodiscard]] bool touchInside(const Touches &touches) const;

    std::vector<PerState> mStates;
    std::vector<Target> mTargets;
    bool mEnabled = true;
    bool mHighlighted = false;
};

class TextField;

// Byte positions in the field's text.
struct TextRange {
    std::size_t location = 0;
    std::size_t length = 0;
};

// What a text field asks and tells its delegate; the defaults allow all.
class TextFieldDelegate {
public:
    virtual ~TextFieldDelegate() = default;
    virtual bool textFieldShouldReturn(TextField &) { return true; }
    virtual void textFieldDidBeginEditing(TextField &) {}
    virtual bool textFieldShouldChangeCharacters(TextField &, TextRange, const std::string &) { return true; }
};

// Keyboard notifications and their keys (both values are Rects in the
// window: the keyboard's final frame and its bounds).
inline constexpr const char *kKeyboardWillShowNotification = "UIKeyboardWillShowNotification";
inline constexpr const char *kKeyboardWillHideNotification = "UIKeyboardWillHideNotification";
inline constexpr const char *kKeyboardFrameEndUserInfoKey = "UIKeyboardFrameEndUserInfoKey";
inline constexpr const char *kKeyboardBoundsUserInfoKey = "UIKeyboardBoundsUserInfoKey";
// 216 points on a phone, 264 on a tablet.
[[nodiscard]] double keyboardHeight();

class TextField : public View {
public:
    using View::View;
    [[nodiscard]] const char *className() const override { return "UITextField"; }

    [[nodiscard]] std::string text() const { return mText; }
    // Set directly, without asking the delegate.
    void setText(std::string text) { assign(mText, std::move(text)); }
    [[nodiscard]] std::string placeholder() const { return mPlaceholder; }
    void setPlaceholder(std::string placeholder) { assign(mPlaceholder, std::move(placeholder)); }
    [[nodiscard]] int keyboardType() const { return mKeyboardType; }
    void setKeyboardType(int type) { assign(mKeyboardType, type); }
    [[nodiscard]] int returnKeyType() const { return mReturnKeyType; }
    void setReturnKeyType(int type) { assign(mReturnKeyType, type); }
    [[nodiscard]] int clearButtonMode() const { return mClearButtonMode; }
    void setClearButtonMode(int mode) { assign(mClearButtonMode, mode); }
    // Held weakly.
    void setDelegate(std::weak_ptr<TextFieldDelegate> delegate) { assign(mDelegate, std::move(delegate)); }

    // What the keyboard does, for tests and drivers. Each edit asks the
    // delegate first; a refusal leaves the text. False when refused or when
    // the field is not editing.
    bool replaceCharacters(TextRange range, const std::string &replacement);
    bool typeText(const std::string &text);
    bool deleteBackward();
    // The return key: the delegate's answer (true without a delegate).
    bool pressReturn();

    [[nodiscard]] bool canBecomeFirstResponder() const override { return !isNil(); }
    void touchesEnded(const Touches &touches) override;
    void describeContent(std::string &line) const override;

protected:
    void didBecomeFirstResponder() override;
    void didResignFirstResponder() override;

private:
    std::string mText;
    std::string mPlaceholder;
    int mKeyboardType = 0;
    int mReturnKeyType = 0;
    int mClearButtonMode = 0;
    std::weak_ptr<TextFieldDelegate> mDelegate;
};

class ScrollView : public View {
public:
    using View::View;
    [[nodiscard]] const char *className() const override { return "UIScrollView"; }
    [[nodiscard]] Size contentSize() const { return mContentSize; }
    void setContentSize(Size size) { assign(mContentSize, size); }
    // The bounds' origin.
    [[nodiscard]] Point contentOffset() const;
    void setContentOffset(Point offset);
    [[nodiscard]] bool isScrollEnabled() const { return mScrollEnabled; }
    void setScrollEnabled(bool enabled) { assign(mScrollEnabled, enabled); }

private:
    Size mContentSize;
    bool mScrollEnabled = true;
};

using TouchId = std::uint64_t; // 0 is never a valid id

// A window, screen-sized unless given a frame. Tests and drivers put
// touches on it in window points; each goes to the view hit when it began
// and from there up the responder chain.
class Window : public View {
public:
    Window();
    explicit Window(Rect frame);
    [[nodiscard]] const char *className() const override { return "UIWindow"; }

    void makeKeyAndVisible();
    [[nodiscard]] bool isKeyWindow() const;

    // Stacking level: windows of a higher level lie above those of a lower
    // one (kWindowLevel*). Only stored; nothing is composited here.
    [[nodiscard]] double windowLevel() const { return mLevel; }
    void setWindowLevel(double level) { assign(mLevel, level); }

    // 0 when the touch hit nothing (and then nothing is delivered).
    TouchId touchDown(Point point, int tapCount = 1);
    bool touchMove(TouchId id, Point point);
    bool touchUp(TouchId id, Point point);
    bool touchCancel(TouchId id);
    // Down and up at one point; the view hit, or an empty handle.
    Ref<View> tap(Point point, int tapCount = 1);
    [[nodiscard]] std::size_t activeTouchCount() const { return mTouches.size(); }

private:
    bool deliver(TouchId id, Point point, TouchPhase phase);
    std::vector<std::pair<TouchId, std::unique_ptr<Touch>>> mTouches;
    TouchId mNextTouch = 1;
    double mLevel = 0.0;
};

inline constexpr double kWindowLevelNormal = 0.0;
inline constexpr double kWindowLevelStatusBar = 1000.0;
inline constexpr double kWindowLevelAlert = 2000.0;

// ------------------------------------------------------- view controllers

class ViewController : public Responder {
public:
    [[nodiscard]] const char *className() const override { return "UIViewController"; }
    ~ViewController() override;

    // Made on first use by loadView(), then viewDidLoad().
    [[nodiscard]] Ref<View> view();
    [[nodiscard]] bool isViewLoaded() const { return static_cast<bool>(mView); }
    void setView(const Ref<View> &view);

    virtual void loadView();
    virtual void viewDidLoad() {}
    virtual void viewWillAppear(bool /*animated*/) {}
    virtual void viewWillDisappear(bool /*animated*/) {}
    // Portrait only unless a subclass says otherwise.
    [[nodiscard]] virtual bool shouldAutorotateToInterfaceOrientation(int orientation);

    // The presented controller's view covers the window of this one's view
    // (or the key window); it learns it will appear, this one that it will
    // disappear. Dismissing from either side ends the presentation.
    void presentModalViewController(const Ref<ViewController> &controller, bool animated);
    void dismissModalViewController(bool animated);
    [[nodiscard]] Ref<ViewController> modalViewController() const { return mModal; }
    [[nodiscard]] Ref<ViewController> parentViewController() const;

    [[nodiscard]] std::shared_ptr<Responder> nextResponder() const override;

private:
    Ref<View> mView;
    Ref<ViewController> mModal;
    std::weak_ptr<ViewController> mPresenter;
};

// ------------------------------------------------------ the application

inline constexpr const char *kDeviceOrientationDidChangeNotification = "UIDeviceOrientationDidChangeNotification";

class Application {
public:
    static Application &shared();

    [[nodiscard]] Ref<Window> keyWindow() const;
    [[nodiscard]] std::shared_ptr<Responder> firstResponder() const;
    [[nodiscard]] bool isKeyboardVisible() const { return mKeyboardVisible; }

    [[nodiscard]] int statusBarOrientation() const { return mStatusBarOrientation; }
    void setStatusBarOrientation(int orientation) { mStatusBarOrientation = orientation; }
    [[nodiscard]] bool isStatusBarHidden() const { return mStatusBarHidden; }
    void setStatusBarHidden(bool hidden) { mStatusBarHidden = hidden; }
    [[nodiscard]] bool isNetworkActivityIndicatorVisible() const { return mNetworkActivity; }
    void setNetworkActivityIndicatorVisible(bool visible) { mNetworkActivity = visible; }

    // The device's physical orientation; a change posts
    // kDeviceOrientationDidChangeNotification.
    [[nodiscard]] int deviceOrientation() const { return mDeviceOrientation; }
    void setDeviceOrientation(int orientation);

    // Back to a fresh start: no key window, no first responder, keyboard
    // down (without notifications), portrait, status bar shown.
    void reset();

private:
    friend class Window;
    friend class Responder;
    friend class TextField;
    void showKeyboard();
    void hideKeyboard();

    std::weak_ptr<Window> mKeyWindow;
    std::weak_ptr<Responder> mFirstResponder;
    bool mKeyboardVisible = false;
    int mStatusBarOrientation = kOrientationPortrait;
    bool mStatusBarHidden = false;
    bool mNetworkActivity = false;
    int mDeviceOrientation = kOrientationPortrait;
};

} // namespace platform

#endif // PLATFORM_UI_H
