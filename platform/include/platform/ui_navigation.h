// Screens beyond single views in the headless model: navigation controllers
// with their bar, items and bar-button items, tab-bar controllers, activity
// indicators, alerts with buttons and a delegate, and the system's open-URL
// call. Delegates are held weakly: one that has gone is simply not asked.
#ifndef PLATFORM_UI_NAVIGATION_H
#define PLATFORM_UI_NAVIGATION_H

#include "platform/ui.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// ------------------------------------------------------ bar-button items

enum class BarButtonSystemItem { None, Done, Cancel };
enum class BarButtonStyle { Plain, Bordered, Done };

class BarButtonItem : public Object {
public:
    BarButtonItem() = default;
    BarButtonItem(std::string title, BarButtonStyle style);
    explicit BarButtonItem(BarButtonSystemItem item);
    [[nodiscard]] const char *className() const override { return "UIBarButtonItem"; }

    [[nodiscard]] std::string title() const;
    [[nodiscard]] BarButtonSystemItem systemItem() const { return mSystemItem; }
    [[nodiscard]] BarButtonStyle style() const { return mStyle; }
    // The receiver is held weakly; its action is dropped once it has gone.
    void setAction(std::weak_ptr<const void> receiver, std::function<void()> action);
    // What a tap on the item does; false when no live action is set.
    bool tap();

private:
    std::string mTitle;
    BarButtonSystemItem mSystemItem = BarButtonSystemItem::None;
    BarButtonStyle mStyle = BarButtonStyle::Plain;
    std::weak_ptr<const void> mReceiver;
    std::function<void()> mAction;
    bool mHasAction = false;
};

class NavigationItem : public Object {
public:
    NavigationItem() = default;
    explicit NavigationItem(std::string title);
    [[nodiscard]] const char *className() const override { return "UINavigationItem"; }

    [[nodiscard]] std::string title() const { return mTitle; }
    void setTitle(std::string title) { assign(mTitle, std::move(title)); }
    [[nodiscard]] Ref<BarButtonItem> rightBarButtonItem() const { return mRight; }
    void setRightBarButtonItem(Ref<BarButtonItem> item) { assign(mRight, std::move(item)); }
    [[nodiscard]] Ref<BarButtonItem> backBarButtonItem() const { return mBack; }
    void setBackBarButtonItem(Ref<BarButtonItem> item) { assign(mBack, std::move(item)); }

private:
    std::string mTitle;
    Ref<BarButtonItem> mRight;
    Ref<BarButtonItem> mBack;
};

// ------------------------------------------------------- navigation bar

class NavigationBar;

class NavigationBarDelegate {
public:
    virtual ~NavigationBarDelegate() = default;
    // Asked before the top item is popped; false keeps it.
    virtual bool navigationBarShouldPopItem(NavigationBar &, const Ref<NavigationItem> &) { return true; }
};

class NavigationBar : public View {
public:
    using View::View;
    [[nodiscard]] const char *className() const override { return "UINavigationBar"; }

    [[nodiscard]] const std::vector<Ref<NavigationItem>> &items() const { return mItems; }
    void setItems(std::vector<Ref<NavigationItem>> items) { assign(mItems, std::move(items)); }
    void pushNavigationItem(const Ref<NavigationItem> &item);
    // Asks the delegate, then pops; the item popped, or an empty handle.
    Ref<NavigationItem> popNavigationItem();
    [[nodiscard]] Ref<NavigationItem> topItem() const;
    // The item under the top one.
    [[nodiscard]] Ref<NavigationItem> backItem() const;
    void setDelegate(std::weak_ptr<NavigationBarDelegate> delegate) { assign(mDelegate, std::move(delegate)); }
    [[nodiscard]] std::shared_ptr<NavigationBarDelegate> delegate() const { return mDelegate.lock(); }
    // A tap on the back button: pops the top item when there is one below.
    bool tapBackButton();
    void describeContent(std::string &line) const override;

private:
    std::vector<Ref<NavigationItem>> mItems;
    std::weak_ptr<NavigationBarDelegate> mDelegate;
};

// ------------------------------------------------ navigation controller

class NavigationController;

class NavigationControllerDelegate {
public:
    virtual ~NavigationControllerDelegate() = default;
    virtual void navigationControllerWillShow(NavigationController &, const Ref<ViewController> &, bool /*animated*/) {}
    virtual void navigationControllerDidShow(NavigationController &, const Ref<ViewController> &, bool /*animated*/) {}
};

// A stack of view controllers; its view shows the top one's view under its
// own bar (unless hidden).
class NavigationController : public ViewController {
public:
    [[nodiscard]] const char *className() const override { return "UINavigationController"; }
    // A controller with `root` at the bottom of its stack.
    [[nodiscard]] static Ref<NavigationController> withRoot(const Ref<ViewController> &root);

    [[nodiscard]] const std::vector<Ref<ViewController>> &viewControllers() const { return mStack; }
    [[nodiscard]] Ref<ViewController> topViewController() const;
    // The top controller, or what it presents modally.
    [[nodiscard]] Ref<ViewController> visibleViewController() const;
    // Tells the delegate will-show, shows the controller's view, then
    // did-show. A controller already on the stack is not pushed again.
    void pushViewController(const Ref<ViewController> &controller, bool animated);
    // The root stays; the controller popped, or an empty handle.
    Ref<ViewController> popViewControllerAnimated(bool animated);
    // Whether `controller` is on this stack.
    [[nodiscard]] bool contains(const ViewController &controller) const;

    [[nodiscard]] Ref<NavigationBar> navigationBar();
    [[nodiscard]] bool isNavigationBarHidden() const { return mBarHidden; }
    void setNavigationBarHidden(bool hidden);
    void setDelegate(std::weak_ptr<NavigationControllerDelegate> delegate) { mDelegate = std::move(delegate); }
    [[nodiscard]] std::shared_ptr<NavigationControllerDelegate> delegate() const { return mDelegate.lock(); }

    void loadView() override;

private:
    void show(const Ref<ViewController> &controller, bool animated);

    std::vector<Ref<ViewController>> mStack;
    Ref<NavigationBar> mBar;
    bool mBarHidden = false;
    std::weak_ptr<NavigationControllerDelegate> mDelegate;
};

// ------------------------------------------------- tab-bar controller

class TabBarController;

class TabBarControllerDelegate {
public:
    virtual ~TabBarControllerDelegate() = default;
    virtual bool tabBarControllerShouldSelect(TabBarController &, const Ref<ViewController> &) { return true; }
    virtual void tabBarControllerDidSelect(TabBarController &, const Ref<ViewController> &) {}
    // Customizing the tabs: no screen here for it, but a delegate is told.
    virtual void tabBarControllerWillBeginCustomizing(TabBarController &, const std::vector<Ref<ViewController>> &) {}
    virtual void tabBarControllerWillEndCustomizing(TabBarController &, const std::vector<Ref<ViewController>> &,
                                                    bool /*changed*/)
    {
    }
    virtual void tabBarControllerDidEndCustomizing(TabBarController &, const std::vector<Ref<ViewController>> &,
                                                   bool /*changed*/)
    {
    }
};

class TabBarController : public ViewController {
public:
    [[nodiscard]] const char *className() const override { return "UITabBarController"; }

    void setViewControllers(std::vector<Ref<ViewController>> controllers);
    [[nodiscard]] const std::vector<Ref<ViewController>> &viewControllers() const { return mTabs; }
    [[nodiscard]] std::size_t selectedIndex() const { return mSelected; }
    [[nodiscard]] Ref<ViewController> selectedViewController() const;
    // A tap on tab `index`: asks should-select, then selects and tells
    // did-select. False when out of range or refused.
    bool selectTab(std::size_t index);
    void setDelegate(std::weak_ptr<TabBarControllerDelegate> delegate) { mDelegate = std::move(delegate); }
    [[nodiscard]] std::shared_ptr<TabBarControllerDelegate> delegate() const { return mDelegate.lock(); }

private:
    std::vector<Ref<ViewController>> mTabs;
    std::size_t mSelected = 0;
    std::weak_ptr<TabBarControllerDelegate> mDelegate;
};

// ------------------------------------------------- activity indicator

enum class ActivityIndicatorStyle { WhiteLarge, White, Gray };

class ActivityIndicatorView : public View {
public:
    using View::View;
    [[nodiscard]] const char *className() const override { return "UIActivityIndicatorView"; }

    [[nodiscard]] ActivityIndicatorStyle style() const { return mStyle; }
    void setStyle(ActivityIndicatorStyle style) { assign(mStyle, style); }
    [[nodiscard]] bool hidesWhenStopped() const { return mHidesWhenStopped; }
    void setHidesWhenStopped(bool hides) { assign(mHidesWhenStopped, hides); }
    [[nodiscard]] bool isAnimating() const { return mAnimating; }
    void startAnimating();
    void stopAnimating();
    void describeContent(std::string &line) const override;

private:
    ActivityIndicatorStyle mStyle = ActivityIndicatorStyle::White;
    bool mHidesWhenStopped = true;
    bool mAnimating = false;
};

// ---------------------------------------------------------------- alerts

class AlertView;

class AlertViewDelegate {
public:
    virtual ~AlertViewDelegate() = default;
    virtual void alertViewClickedButtonAtIndex(AlertView &alert, int index) = 0;
};

// A modal alert. Shown alerts stay open (the model keeps them) until a test
// or driver answers one by a button, or it is dismissed without an answer.
// The cancel button, when there is one, has index 0; the others follow.
class AlertView : public Object {
public:
    AlertView() = default;
    AlertView(std::string title, std::string message, std::weak_ptr<AlertViewDelegate> delegate,
              std::string cancelButton, std::vector<std::string> otherButtons);
    [[nodiscard]] const char *className() const override { return "UIAlertView"; }

    [[nodiscard]] std::string title() const { return mTitle; }
    [[nodiscard]] std::string message() const { return mMessage; }
    [[nodiscard]] std::vector<std::string> buttonTitles() const { return mButtons; }
    [[nodiscard]] int cancelButtonIndex() const { return mHasCancel ? 0 : -1; }
    [[nodiscard]] bool isVisible() const;

    void show();
    // Closes the alert as if button `index` was tapped and tells the
    // delegate; false when the alert is not open or has no such button.
    bool clickButton(int index);
    bool clickButton(const std::string &title);
    // Closes it without telling anyone.
    void dismiss();

    // Open alerts, oldest first.
    [[nodiscard]] static std::vector<Ref<AlertView>> openAlerts();
    // Answers the most recent open alert that has a button of that title.
    static bool answerOpenAlert(const std::string &buttonTitle);
    static void dismissAll();

private:
    std::string mTitle;
    std::string mMessage;
    std::weak_ptr<AlertViewDelegate> mDelegate;
    std::vector<std::string> mButtons;
    bool mHasCancel = false;
};

// ---------------------------------------------------------- opening URLs

// Hands a URL to the system to open outside the application. Nothing
// leaves the process: the URL is recorded for tests and drivers.
void openURL(const std::string &url);
[[nodiscard]] std::vector<std::string> openedURLs();
void clearOpenedURLs();

} // namespace platform

#endif // PLATFORM_UI_NAVIGATION_H
