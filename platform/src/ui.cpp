#include "platform/ui.h"

#include "platform/audio.h"
#include "platform/device.h"
#include "platform/notifications.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace platform {

// ------------------------------------------------------- loop and thread

namespace {

std::atomic<RunLoop *> gUiLoop{nullptr};
std::atomic<std::thread::id> gUiThread{};

} // namespace

namespace {
void dropAnimations();
} // namespace

void setUiRunLoop(RunLoop *loop)
{
    // Pending ends were timed on the old loop's clock; they go with it, and
    // so does the sound system, whose mixing that clock paced.
    dropAnimations();
    shutdownAudio();
    gUiLoop.store(loop, std::memory_order_release);
}

RunLoop &uiRunLoop()
{
    RunLoop *loop = gUiLoop.load(std::memory_order_acquire);
    return loop != nullptr ? *loop : RunLoop::main();
}

void checkUiThread()
{
#ifndef NDEBUG
    const std::thread::id me = std::this_thread::get_id();
    std::thread::id owner{};
    if (gUiThread.compare_exchange_strong(owner, me) || owner == me)
        return;
    std::fputs("platform: the interface model was used from a thread that does not own it\n", stderr);
    std::abort();
#endif
}

void bindUiThread()
{
#ifndef NDEBUG
    gUiThread.store(std::this_thread::get_id());
#endif
}

// ---------------------------------------------------------------- objects

Object::Object() = default;

std::string Object::description() const
{
    if (mNil)
        return {};
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "<%s: %p>", className(), static_cast<const void *>(this));
    return buffer;
}

void detail::markNil(Object &object)
{
    object.mNil = true;
    object.becomeNil();
}

Rect screenBounds()
{
    const auto idiom = deviceFacts().idiom;
    if (idiom == UserInterfaceIdiom::Pad)
        return Rect::make(0, 0, 768, 1024);
    return Rect::make(0, 0, 320, 480);
}

double keyboardHeight()
{
    return deviceFacts().idiom == UserInterfaceIdiom::Pad ? 264.0 : 216.0;
}

// ------------------------------------------------------ touches, responders

Point Touch::locationInView(const Ref<View> &view) const
{
    return view ? view->convertFromWindow(mLocation) : mLocation;
}

Point Touch::previousLocationInView(const Ref<View> &view) const
{
    return view ? view->convertFromWindow(mPrevious) : mPrevious;
}

void Responder::touchesBegan(const Touches &touches)
{
    if (const auto next = nextResponder())
        next->touchesBegan(touches);
}

void Responder::touchesMoved(const Touches &touches)
{
    if (const auto next = nextResponder())
        next->touchesMoved(touches);
}

void Responder::touchesEnded(const Touches &touches)
{
    if (const auto next = nextResponder())
        next->touchesEnded(touches);
}

void Responder::touchesCancelled(const Touches &touches)
{
    if (const auto next = nextResponder())
        next->touchesCancelled(touches);
}

bool Responder::becomeFirstResponder()
{
    if (isNil() || !canBecomeFirstResponder())
        return false;
    checkUiThread();
    auto &app = Application::shared();
    const auto self = std::static_pointer_cast<Responder>(shared_from_this());
    const auto previous = app.mFirstResponder.lock();
    if (previous == self)
        return true;
    // The new responder is in place before the old one hears that it
    // resigned, so a hand-over between fields keeps the keyboard up.
    app.mFirstResponder = self;
    if (previous)
        previous->didResignFirstResponder();
    didBecomeFirstResponder();
    return true;
}

bool Responder::resignFirstResponder()
{
    if (!isFirstResponder())
        return false;
    const auto self = shared_from_this(); // alive through the hooks
    Application::shared().mFirstResponder.reset();
    didResignFirstResponder();
    return true;
}

bool Responder::isFirstResponder() const
{
    return !isNil() && Application::shared().mFirstResponder.lock().get() == this;
}

// ------------------------------------------------------------------ views

View::View()
{
    checkUiThread();
}

View::View(Rect frame)
    : View()
{
    setFrame(frame);
}

void View::becomeNil()
{
    mAlpha = 0.0;
    mOpaque = false;
    mInteraction = false;
}

Rect View::frame() const
{
    const double hw = mBounds.size.width / 2.0;
    const double hh = mBounds.size.height / 2.0;
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool first = true;
    for (const Point corner : {Point{-hw, -hh}, Point{hw, -hh}, Point{-hw, hh}, Point{hw, hh}}) {
        const Point p = mTransform.apply(corner);
        minX = first ? p.x : std::min(minX, p.x);
        maxX = first ? p.x : std::max(maxX, p.x);
        minY = first ? p.y : std::min(minY, p.y);
        maxY = first ? p.y : std::max(maxY, p.y);
        first = false;
    }
    return Rect::make(mCenter.x + minX, mCenter.y + minY, maxX - minX, maxY - minY);
}

void View::setFrame(Rect frame)
{
    if (isNil())
        return;
    mCenter = {frame.origin.x + frame.size.width / 2.0, frame.origin.y + frame.size.height / 2.0};
    if (mTransform.isIdentity())
        mBounds.size = frame.size;
}

Ref<View> View::superview() const
{
    return Ref<View>(mSuperview.lock());
}

const std::vector<Ref<View>> &View::subviews() const
{
    return mSubviews;
}

void View::addSubview(const Ref<View> &view)
{
    if (isNil() || !view || view.get() == this)
        return;
    checkUiThread();
    for (const View *up = this; up != nullptr; up = up->mSuperview.lock().get()) {
        if (up == view.get())
            return; // would make a cycle
    }
    const Ref<View> keep = view;
    if (const auto old = view->mSuperview.lock())
        view->detachFrom(*old);
    view->mSuperview = std::static_pointer_cast<View>(shared_from_this());
    mSubviews.push_back(keep);
}

void View::detachFrom(View &parent)
{
    auto &list = parent.mSubviews;
    list.erase(std::remove_if(list.begin(), list.end(), [this](const Ref<View> &v) { return v.get() == this; }),
               list.end());
    mSuperview.reset();
}

void View::removeFromSuperview()
{
    if (isNil())
        return;
    checkUiThread();
    const auto parent = mSuperview.lock();
    if (!parent)
        return;
    const auto self = shared_from_this(); // the parent held the last reference, maybe
    detachFrom(*parent);
}

void View::bringSubviewToFront(const Ref<View> &view)
{
    if (isNil() || !view)
        return;
    const auto it =
        std::find_if(mSubviews.begin(), mSubviews.end(), [&](const Ref<View> &v) { return v.get() == view.get(); });
    if (it == mSubviews.end())
        return;
    std::rotate(it, it + 1, mSubviews.end());
}

Ref<Window> View::window() const
{
    if (isNil())
        return {};
    std::shared_ptr<const View> top = std::static_pointer_cast<const View>(shared_from_this());
    while (const auto up = top->mSuperview.lock())
        top = up;
    return Ref<Window>(std::dynamic_pointer_cast<Window>(std::const_pointer_cast<View>(top)));
}

AffineTransform View::toSuperview() const
{
    // p_super = centre + T (p - bounds centre)
    const double bx = mBounds.origin.x + mBounds.size.width / 2.0;
    const double by = mBounds.origin.y + mBounds.size.height / 2.0;
    const AffineTransform &t = mTransform;
    return {t.a, t.b, t.c, t.d, t.tx + mCenter.x - (t.a * bx + t.c * by), t.ty + mCenter.y - (t.b * bx + t.d * by)};
}

Point View::convertToWindow(Point point) const
{
    for (const View *v = this; v != nullptr;) {
        const auto up = v->mSuperview.lock();
        if (!up)
            break;
        point = v->toSuperview().apply(point);
        v = up.get();
    }
    return point;
}

Point View::convertFromWindow(Point point) const
{
    std::vector<const View *> chain;
    for (const View *v = this; v != nullptr;) {
        const auto up = v->mSuperview.lock();
        if (!up)
            break;
        chain.push_back(v);
        v = up.get();
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        point = (*it)->toSuperview().inverted().apply(point);
    return point;
}

Point View::convertPointToView(Point point, const Ref<View> &view) const
{
    const Point inWindow = convertToWindow(point);
    return view ? view->convertFromWindow(inWindow) : inWindow;
}

Point View::convertPointFromView(Point point, const Ref<View> &view) const
{
    const Point inWindow = view ? view->convertToWindow(point) : point;
    return convertFromWindow(inWindow);
}

bool View::pointInside(Point point) const
{
    return !isNil() && mBounds.contains(point);
}

Ref<View> View::hitTest(Point point)
{
    if (isNil() || mHidden || mAlpha < 0.01 || !mInteraction || !pointInside(point))
        return {};
    // A touch handler may change the list; walk a copy, front to back.
    const std::vector<Ref<View>> children = mSubviews;
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        const View &child = **it;
        if (!child.mTransform.invertible())
            continue;
        const Point local = child.toSuperview().inverted().apply(point);
        if (Ref<View> hit = (*it)->hitTest(local))
            return hit;
    }
    return refTo(*this);
}

Ref<ViewController> View::viewController() const
{
    return Ref<ViewController>(mController.lock());
}

std::shared_ptr<Responder> View::nextResponder() const
{
    if (auto controller = mController.lock())
        return controller;
    return mSuperview.lock();
}

namespace {

std::string number(double v)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", v == 0.0 ? 0.0 : v); // no "-0"
    return buffer;
}

void dumpInto(std::string &out, const View &view, int depth)
{
    std::string line(static_cast<std::size_t>(depth) * 2, ' ');
    const Rect f = view.frame();
    line += view.className();
    line += " frame=(" + number(f.origin.x) + "," + number(f.origin.y) + "," + number(f.size.width) + "," +
            number(f.size.height) + ")";
    line += view.isHidden() ? " hidden=1" : " hidden=0";
    line += " alpha=" + number(view.alpha());
    view.describeContent(line);
    out += line;
    out += '\n';
    for (const auto &child : view.subviews())
        dumpInto(out, *child, depth + 1);
}

} // namespace

void View::describeContent(std::string &) const {}

void View::appendField(std::string &line, const char *key, const std::string &value)
{
    line += ' ';
    line += key;
    line += "=\"";
    for (const char c : value) {
        if (c == '"' || c == '\\')
            line += '\\';
        if (c == '\n') {
            line += "\\n";
            continue;
        }
        line += c;
    }
    line += '"';
}

std::string dumpViewTree(const Ref<View> &root)
{
    std::string out;
    if (root)
        dumpInto(out, *root, 0);
    return out;
}

// ---------------------------------------------------------------- windows

Window::Window()
    : Window(screenBounds())
{
}

Window::Window(Rect frame)
    : View(frame)
{
    setHidden(true); // until made key and visible
}

void Window::makeKeyAndVisible()
{
    if (isNil())
        return;
    checkUiThread();
    Application::shared().mKeyWindow = std::static_pointer_cast<Window>(shared_from_this());
    setHidden(false);
}

bool Window::isKeyWindow() const
{
    return !isNil() && Application::shared().mKeyWindow.lock().get() == this;
}

TouchId Window::touchDown(Point point, int tapCount)
{
    if (isNil())
        return 0;
    checkUiThread();
    Ref<View> hit = hitTest(point);
    if (!hit)
        return 0;
    auto touch = std::make_unique<Touch>();
    touch->mView = hit;
    touch->mLocation = point;
    touch->mPrevious = point;
    touch->mTapCount = std::max(1, tapCount);
    const TouchId id = mNextTouch++;
    mTouches.emplace_back(id, std::move(touch));
    deliver(id, point, TouchPhase::Began);
    return id;
}

bool Window::touchMove(TouchId id, Point point)
{
    return deliver(id, point, TouchPhase::Moved);
}

bool Window::touchUp(TouchId id, Point point)
{
    return deliver(id, point, TouchPhase::Ended);
}

bool Window::touchCancel(TouchId id)
{
    const auto it = std::find_if(mTouches.begin(), mTouches.end(), [id](const auto &t) { return t.first == id; });
    if (it == mTouches.end())
        return false;
    return deliver(id, it->second->mLocation, TouchPhase::Cancelled);
}

Ref<View> Window::tap(Point point, int tapCount)
{
    const TouchId id = touchDown(point, tapCount);
    if (id == 0)
        return {};
    const auto it = std::find_if(mTouches.begin(), mTouches.end(), [id](const auto &t) { return t.first == id; });
    const Ref<View> hit = it != mTouches.end() ? it->second->mView : Ref<View>();
    touchUp(id, point);
    return hit;
}

bool Window::deliver(TouchId id, Point point, TouchPhase phase)
{
    if (isNil())
        return false;
    checkUiThread();
    const auto it = std::find_if(mTouches.begin(), mTouches.end(), [id](const auto &t) { return t.first == id; });
    if (it == mTouches.end())
        return false;
    // The record leaves the list before an ending is delivered, so a handler
    // that starts new touches cannot move it.
    std::unique_ptr<Touch> ended;
    Touch *touch = it->second.get();
    if (phase == TouchPhase::Ended || phase == TouchPhase::Cancelled) {
        ended = std::move(it->second);
        mTouches.erase(it);
    }
    if (phase != TouchPhase::Began) {
        touch->mPrevious = touch->mLocation;
        touch->mLocation = point;
    }
    touch->mPhase = phase;
    const Ref<View> target = touch->mView;
    const Touches touches{touch};
    switch (phase) {
    case TouchPhase::Began: target->touchesBegan(touches); break;
    case TouchPhase::Moved: target->touchesMoved(touches); break;
    case TouchPhase::Ended: target->touchesEnded(touches); break;
    case TouchPhase::Cancelled: target->touchesCancelled(touches); break;
    }
    return true;
}

// ------------------------------------------------------- view controllers

ViewController::~ViewController() = default;

Ref<View> ViewController::view()
{
    if (isNil())
        return {};
    if (!mView) {
        loadView();
        if (!mView)
            setView(make<View>(screenBounds()));
        viewDidLoad();
    }
    return mView;
}

void ViewController::setView(const Ref<View> &view)
{
    if (isNil())
        return;
    if (mView)
        mView->mController.reset();
    mView = view;
    if (mView)
        mView->mController = std::static_pointer_cast<ViewController>(shared_from_this());
}

void ViewController::loadView()
{
    setView(make<View>(screenBounds()));
}

bool ViewController::shouldAutorotateToInterfaceOrientation(int orientation)
{
    return orientation == kOrientationPortrait;
}

void ViewController::presentModalViewController(const Ref<ViewController> &controller, bool animated)
{
    if (isNil() || !controller || mModal || controller.get() == this)
        return;
    checkUiThread();
    mModal = controller;
    controller->mPresenter = std::static_pointer_cast<ViewController>(shared_from_this());
    Ref<Window> window = isViewLoaded() ? mView->window() : Ref<Window>();
    if (!window)
        window = Application::shared().keyWindow();
    viewWillDisappear(animated);
    const Ref<View> shown = controller->view();
    controller->viewWillAppear(animated);
    if (window) {
        shown->setFrame(window->bounds());
        window->addSubview(shown);
    }
}

void ViewController::dismissModalViewController(bool animated)
{
    if (isNil())
        return;
    checkUiThread();
    if (!mModal) {
        if (const auto presenter = mPresenter.lock())
            presenter->dismissModalViewController(animated);
        return;
    }
    const Ref<ViewController> modal = mModal;
    modal->viewWillDisappear(animated);
    if (modal->isViewLoaded())
        modal->mView->removeFromSuperview();
    modal->mPresenter.reset();
    mModal.reset();
    viewWillAppear(animated);
}

Ref<ViewController> ViewController::parentViewController() const
{
    return Ref<ViewController>(mPresenter.lock());
}

std::shared_ptr<Responder> ViewController::nextResponder() const
{
    return mView ? std::shared_ptr<Responder>(mView->superview().shared()) : nullptr;
}

// ------------------------------------------------------------- animations

namespace {

struct AnimationBlock {
    std::optional<std::string> name;
    double duration = 0.2;
    std::uint64_t sequence = 0;
    bool hasDelegate = false;
    std::weak_ptr<const void> receiver;
    View::AnimationDidStop didStop;
};

struct PendingAnimation {
    double due = 0.0;
    AnimationBlock block;
};

struct Animations {
    std::vector<AnimationBlock> open;
    std::vector<PendingAnimation> pending;
    std::uint64_t nextSequence = 1;
};

Animations &animations()
{
    static Animations state;
    return state;
}

// Reports every animation due by now, earliest first and, among those due
// together, in the order they were begun.
void reportDueAnimations()
{
    auto &state = animations();
    const double now = uiRunLoop().now();
    std::vector<PendingAnimation> due;
    for (auto it = state.pending.begin(); it != state.pending.end();) {
        if (it->due <= now) {
            due.push_back(std::move(*it));
            it = state.pending.erase(it);
        } else {
            ++it;
        }
    }
    std::stable_sort(due.begin(), due.end(), [](const PendingAnimation &a, const PendingAnimation &b) {
        return a.due != b.due ? a.due < b.due : a.block.sequence < b.block.sequence;
    });
    for (const auto &p : due) {
        if (!p.block.hasDelegate)
            continue;
        if (const auto alive = p.block.receiver.lock())
            p.block.didStop(p.block.name, true);
    }
}

void dropAnimations()
{
    auto &state = animations();
    state.open.clear();
    state.pending.clear();
}

} // namespace

void View::beginAnimations(std::optional<std::string> name)
{
    checkUiThread();
    auto &state = animations();
    AnimationBlock block;
    block.name = std::move(name);
    block.sequence = state.nextSequence++;
    state.open.push_back(std::move(block));
}

void View::setAnimationDuration(double seconds)
{
    auto &state = animations();
    if (!state.open.empty() && seconds >= 0.0)
        state.open.back().duration = seconds;
}

void View::setAnimationDelegate(std::weak_ptr<const void> receiver, AnimationDidStop didStop)
{
    auto &state = animations();
    if (state.open.empty())
        return;
    auto &block = state.open.back();
    block.hasDelegate = static_cast<bool>(didStop);
    block.receiver = std::move(receiver);
    block.didStop = std::move(didStop);
}

void View::commitAnimations()
{
    checkUiThread();
    auto &state = animations();
    if (state.open.empty())
        return;
    AnimationBlock block = std::move(state.open.back());
    state.open.pop_back();
    RunLoop &loop = uiRunLoop();
    const double delay = block.duration;
    state.pending.push_back({loop.now() + delay, std::move(block)});
    loop.addTimer(delay, reportDueAnimations);
}

std::size_t View::pendingAnimationCount()
{
    return animations().pending.size();
}

// ------------------------------------------------------------ application

Application &Application::shared()
{
    checkUiThread();
    static Application app;
    return app;
}

Ref<Window> Application::keyWindow() const
{
    return Ref<Window>(mKeyWindow.lock());
}

std::shared_ptr<Responder> Application::firstResponder() const
{
    return mFirstResponder.lock();
}

void Application::showKeyboard()
{
    if (mKeyboardVisible)
        return;
    mKeyboardVisible = true;
    const Rect screen = screenBounds();
    const double height = keyboardHeight();
    NotificationCenter::defaultCenter().post(
        kKeyboardWillShowNotification,
        {{kKeyboardFrameEndUserInfoKey, Rect::make(0, screen.size.height - height, screen.size.width, height)},
         {kKeyboardBoundsUserInfoKey, Rect::make(0, 0, screen.size.width, height)}});
}

void Application::hideKeyboard()
{
    if (!mKeyboardVisible)
        return;
    mKeyboardVisible = false;
    const Rect screen = screenBounds();
    const double height = keyboardHeight();
    NotificationCenter::defaultCenter().post(
        kKeyboardWillHideNotification,
        {{kKeyboardFrameEndUserInfoKey, Rect::make(0, screen.size.height, screen.size.width, height)},
         {kKeyboardBoundsUserInfoKey, Rect::make(0, 0, screen.size.width, height)}});
}

void Application::setDeviceOrientation(int orientation)
{
    if (orientation == mDeviceOrientation)
        return;
    mDeviceOrientation = orientation;
    NotificationCenter::defaultCenter().post(kDeviceOrientationDidChangeNotification);
}

void Application::reset()
{
    mKeyWindow.reset();
    mFirstResponder.reset();
    mKeyboardVisible = false;
    mStatusBarOrientation = kOrientationPortrait;
    mStatusBarHidden = false;
    mNetworkActivity = false;
    mDeviceOrientation = kOrientationPortrait;
}

} // namespace platform
