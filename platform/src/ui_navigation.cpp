#include "platform/ui_navigation.h"

#include "platform/device.h"

#include <algorithm>
#include <mutex>

namespace platform {

// ------------------------------------------------------ bar-button items

BarButtonItem::BarButtonItem(std::string title, BarButtonStyle style)
    : mTitle(std::move(title))
    , mStyle(style)
{
}

BarButtonItem::BarButtonItem(BarButtonSystemItem item)
    : mSystemItem(item)
{
}

std::string BarButtonItem::title() const
{
    switch (mSystemItem) {
    case BarButtonSystemItem::Done: return "Done";
    case BarButtonSystemItem::Cancel: return "Cancel";
    case BarButtonSystemItem::None: break;
    }
    return mTitle;
}

void BarButtonItem::setAction(std::weak_ptr<const void> receiver, std::function<void()> action)
{
    if (isNil())
        return;
    mReceiver = std::move(receiver);
    mAction = std::move(action);
    mHasAction = static_cast<bool>(mAction);
}

bool BarButtonItem::tap()
{
    checkUiThread();
    if (!mHasAction)
        return false;
    const auto receiver = mReceiver.lock();
    if (!receiver)
        return false;
    const auto action = mAction; // the action may replace itself
    action();
    return true;
}

NavigationItem::NavigationItem(std::string title)
    : mTitle(std::move(title))
{
}

// ------------------------------------------------------- navigation bar

void NavigationBar::pushNavigationItem(const Ref<NavigationItem> &item)
{
    if (isNil() || !item)
        return;
    mItems.push_back(item);
}

Ref<NavigationItem> NavigationBar::popNavigationItem()
{
    if (isNil() || mItems.empty())
        return {};
    checkUiThread();
    const Ref<NavigationItem> top = mItems.back();
    const Ref<NavigationBar> self = refTo(*this); // the delegate may drop the bar
    if (const auto delegate = mDelegate.lock()) {
        if (!delegate->navigationBarShouldPopItem(*this, top))
            return {};
    }
    // The delegate may have replaced the items: pop the one asked about.
    const auto it = std::find(mItems.begin(), mItems.end(), top);
    if (it != mItems.end())
        mItems.erase(it);
    return top;
}

Ref<NavigationItem> NavigationBar::topItem() const
{
    return mItems.empty() ? Ref<NavigationItem>() : mItems.back();
}

Ref<NavigationItem> NavigationBar::backItem() const
{
    return mItems.size() < 2 ? Ref<NavigationItem>() : mItems[mItems.size() - 2];
}

bool NavigationBar::tapBackButton()
{
    if (mItems.size() < 2)
        return false;
    return static_cast<bool>(popNavigationItem());
}

void NavigationBar::describeContent(std::string &line) const
{
    std::string titles;
    for (const auto &item : mItems) {
        if (!titles.empty())
            titles.push_back('|');
        titles.append(item->title());
    }
    appendField(line, "items", titles);
}

// ------------------------------------------------ navigation controller

Ref<NavigationController> NavigationController::withRoot(const Ref<ViewController> &root)
{
    auto controller = make<NavigationController>();
    if (root)
        controller->mStack.push_back(root);
    return controller;
}

Ref<ViewController> NavigationController::topViewController() const
{
    return mStack.empty() ? Ref<ViewController>() : mStack.back();
}

Ref<ViewController> NavigationController::visibleViewController() const
{
    const Ref<ViewController> top = topViewController();
    const Ref<ViewController> modal = top->modalViewController();
    return modal ? modal : top;
}

bool NavigationController::contains(const ViewController &controller) const
{
    return std::any_of(mStack.begin(), mStack.end(), [&](const auto &c) { return c.get() == &controller; });
}

Ref<NavigationBar> NavigationController::navigationBar()
{
    if (isNil())
        return {};
    if (!mBar) {
        const Rect screen = screenBounds();
        mBar = make<NavigationBar>(Rect::make(0, 0, screen.size.width, 44));
        mBar->setHidden(mBarHidden);
    }
    return mBar;
}

void NavigationController::setNavigationBarHidden(bool hidden)
{
    if (isNil())
        return;
    mBarHidden = hidden;
    navigationBar()->setHidden(hidden);
}

void NavigationController::loadView()
{
    setView(make<View>(screenBounds()));
    view()->addSubview(navigationBar());
    if (const Ref<ViewController> top = topViewController()) {
        view()->addSubview(top->view());
        top->viewWillAppear(false);
    }
}

void NavigationController::show(const Ref<ViewController> &controller, bool animated)
{
    // Only the controller shown lies in the container.
    if (isViewLoaded()) {
        for (const auto &c : mStack) {
            if (c.get() != controller.get() && c->isViewLoaded() && c->view()->superview().get() == view().get())
                c->view()->removeFromSuperview();
        }
    }
    const Ref<View> shown = controller->view();
    controller->viewWillAppear(animated);
    if (isViewLoaded()) {
        view()->addSubview(shown);
        view()->bringSubviewToFront(navigationBar());
    }
}

void NavigationController::pushViewController(const Ref<ViewController> &controller, bool animated)
{
    if (isNil() || !controller || contains(*controller))
        return;
    checkUiThread();
    const Ref<NavigationController> self = refTo(*this);
    if (const auto delegate = mDelegate.lock())
        delegate->navigationControllerWillShow(*this, controller, animated);
    if (const Ref<ViewController> old = topViewController())
        old->viewWillDisappear(animated);
    mStack.push_back(controller);
    show(controller, animated);
    if (const auto delegate = mDelegate.lock())
        delegate->navigationControllerDidShow(*this, controller, animated);
}

Ref<ViewController> NavigationController::popViewControllerAnimated(bool animated)
{
    if (isNil() || mStack.size() < 2)
        return {};
    checkUiThread();
    const Ref<NavigationController> self = refTo(*this);
    const Ref<ViewController> popped = mStack.back();
    const Ref<ViewController> next = mStack[mStack.size() - 2];
    if (const auto delegate = mDelegate.lock())
        delegate->navigationControllerWillShow(*this, next, animated);
    popped->viewWillDisappear(animated);
    mStack.pop_back();
    if (popped->isViewLoaded())
        popped->view()->removeFromSuperview();
    show(next, animated);
    if (const auto delegate = mDelegate.lock())
        delegate->navigationControllerDidShow(*this, next, animated);
    return popped;
}

// ------------------------------------------------- tab-bar controller

void TabBarController::setViewControllers(std::vector<Ref<ViewController>> controllers)
{
    if (isNil())
        return;
    mTabs = std::move(controllers);
    mSelected = 0;
}

Ref<ViewController> TabBarController::selectedViewController() const
{
    return mSelected < mTabs.size() ? mTabs[mSelected] : Ref<ViewController>();
}

bool TabBarController::selectTab(std::size_t index)
{
    if (isNil() || index >= mTabs.size())
        return false;
    checkUiThread();
    const Ref<TabBarController> self = refTo(*this);
    const Ref<ViewController> tab = mTabs[index];
    if (const auto delegate = mDelegate.lock()) {
        if (!delegate->tabBarControllerShouldSelect(*this, tab))
            return false;
    }
    mSelected = index;
    if (const auto delegate = mDelegate.lock())
        delegate->tabBarControllerDidSelect(*this, tab);
    return true;
}

// ------------------------------------------------- activity indicator

void ActivityIndicatorView::startAnimating()
{
    if (isNil())
        return;
    mAnimating = true;
    setHidden(false);
}

void ActivityIndicatorView::stopAnimating()
{
    if (isNil())
        return;
    mAnimating = false;
    if (mHidesWhenStopped)
        setHidden(true);
}

void ActivityIndicatorView::describeContent(std::string &line) const
{
    appendField(line, "animating", mAnimating ? "yes" : "no");
}

// ---------------------------------------------------------------- alerts

namespace {

std::vector<Ref<AlertView>> &openList()
{
    static auto *open = new std::vector<Ref<AlertView>>();
    return *open;
}

} // namespace

AlertView::AlertView(std::string title, std::string message, std::weak_ptr<AlertViewDelegate> delegate,
                     std::string cancelButton, std::vector<std::string> otherButtons)
    : mTitle(std::move(title))
    , mMessage(std::move(message))
    , mDelegate(std::move(delegate))
{
    if (!cancelButton.empty()) {
        mHasCancel = true;
        mButtons.push_back(std::move(cancelButton));
    }
    for (auto &b : otherButtons)
        mButtons.push_back(std::move(b));
}

bool AlertView::isVisible() const
{
    const auto &open = openList();
    return std::any_of(open.begin(), open.end(), [this](const auto &a) { return a.get() == this; });
}

void AlertView::show()
{
    if (isNil() || isVisible())
        return;
    checkUiThread();
    openList().push_back(refTo(*this));
}

void AlertView::dismiss()
{
    auto &open = openList();
    std::erase_if(open, [this](const auto &a) { return a.get() == this; });
}

bool AlertView::clickButton(int index)
{
    if (isNil() || !isVisible() || index < 0 || static_cast<std::size_t>(index) >= mButtons.size())
        return false;
    checkUiThread();
    const Ref<AlertView> self = refTo(*this); // the open list may hold the last reference
    dismiss();
    if (const auto delegate = mDelegate.lock())
        delegate->alertViewClickedButtonAtIndex(*this, index);
    return true;
}

bool AlertView::clickButton(const std::string &title)
{
    const auto it = std::find(mButtons.begin(), mButtons.end(), title);
    return it != mButtons.end() && clickButton(static_cast<int>(it - mButtons.begin()));
}

std::vector<Ref<AlertView>> AlertView::openAlerts()
{
    return openList();
}

bool AlertView::answerOpenAlert(const std::string &buttonTitle)
{
    const auto open = openList();
    for (auto it = open.rbegin(); it != open.rend(); ++it) {
        const auto titles = (*it)->buttonTitles();
        if (std::find(titles.begin(), titles.end(), buttonTitle) != titles.end())
            return (*it)->clickButton(buttonTitle);
    }
    return false;
}

void AlertView::dismissAll()
{
    // Moved out first: destructors of the alerts may look at the list.
    auto open = std::move(openList());
    openList().clear();
}

// ---------------------------------------------------------- opening URLs

namespace {

std::mutex gOpenedMutex;
std::vector<std::string> &opened()
{
    static auto *list = new std::vector<std::string>();
    return *list;
}

} // namespace

void openURL(const std::string &url)
{
    consoleLog("Open URL: " + url);
    std::lock_guard lock(gOpenedMutex);
    opened().push_back(url);
}

std::vector<std::string> openedURLs()
{
    std::lock_guard lock(gOpenedMutex);
    return opened();
}

void clearOpenedURLs()
{
    std::lock_guard lock(gOpenedMutex);
    opened().clear();
}

} // namespace platform
