// Navigation and tab-bar controllers, the bar and its items, and alerts:
// who is asked, in which order, and that delegates that have gone are not.
#include "platform/ui_navigation.h"
#include "ui_fixtures.h"

#include <gtest/gtest.h>

namespace {

using namespace platform;

struct Log : NavigationControllerDelegate, NavigationBarDelegate, TabBarControllerDelegate, AlertViewDelegate {
    void navigationControllerWillShow(NavigationController &, const Ref<ViewController> &v, bool) override
    {
        calls.push_back("will " + v->description());
    }
    void navigationControllerDidShow(NavigationController &, const Ref<ViewController> &v, bool) override
    {
        calls.push_back("did " + v->description());
    }
    bool navigationBarShouldPopItem(NavigationBar &, const Ref<NavigationItem> &item) override
    {
        calls.push_back("pop? " + item->title());
        return item->title() != "keep";
    }
    bool tabBarControllerShouldSelect(TabBarController &, const Ref<ViewController> &v) override
    {
        calls.push_back("should " + v->description());
        return v.get() != refused;
    }
    void tabBarControllerDidSelect(TabBarController &, const Ref<ViewController> &v) override
    {
        calls.push_back("select " + v->description());
    }
    void alertViewClickedButtonAtIndex(AlertView &alert, int index) override
    {
        calls.push_back(alert.message() + " " + std::to_string(index));
    }
    std::vector<std::string> calls;
    const ViewController *refused = nullptr;
};

TEST(UiNavigation, ControllersAskAndTellTheirDelegatesInOrder)
{
    testsupport::UiScene scene;
    auto log = std::make_shared<Log>();
    auto root = make<ViewController>();
    auto next = make<ViewController>();
    auto nav = NavigationController::withRoot(root);
    nav->setDelegate(log);
    nav->pushViewController(next, true);
    nav->pushViewController(next, true); // already there: nothing
    EXPECT_EQ(nav->popViewControllerAnimated(true).get(), next.get());
    EXPECT_FALSE(nav->popViewControllerAnimated(true)); // the root stays
    EXPECT_EQ(log->calls, (std::vector<std::string>{"will " + next->description(), "did " + next->description(),
                                                    "will " + root->description(), "did " + root->description()}));
    EXPECT_EQ(nav->visibleViewController().get(), root.get());

    log->calls.clear();
    auto bar = make<NavigationBar>();
    bar->setDelegate(log);
    bar->setItems({make<NavigationItem>("a"), make<NavigationItem>("keep")});
    EXPECT_FALSE(bar->tapBackButton());
    EXPECT_EQ(bar->items().size(), 2u);
    bar->setItems({make<NavigationItem>("keep"), make<NavigationItem>("b")});
    EXPECT_TRUE(bar->tapBackButton());
    EXPECT_EQ(bar->topItem()->title(), "keep");
    EXPECT_FALSE(bar->tapBackButton()); // nothing under the last item
    EXPECT_EQ(log->calls, (std::vector<std::string>{"pop? keep", "pop? b"}));

    log->calls.clear();
    auto tabs = make<TabBarController>();
    auto a = make<ViewController>();
    auto b = make<ViewController>();
    tabs->setViewControllers({a, b});
    tabs->setDelegate(log);
    log->refused = b.get();
    EXPECT_FALSE(tabs->selectTab(1));
    EXPECT_FALSE(tabs->selectTab(2));
    EXPECT_TRUE(tabs->selectTab(0));
    EXPECT_EQ(log->calls, (std::vector<std::string>{"should " + b->description(), "should " + a->description(),
                                                    "select " + a->description()}));
    // A delegate that has gone is not asked.
    log.reset();
    EXPECT_TRUE(tabs->selectTab(1));
    nav->pushViewController(next, false);
    EXPECT_EQ(nav->topViewController().get(), next.get());
}

TEST(UiNavigation, AlertsStayOpenUntilAnswered)
{
    testsupport::UiScene scene;
    auto log = std::make_shared<Log>();
    auto first = make<AlertView>("", "first", log, "Cancel", std::vector<std::string>{"OK"});
    auto second = make<AlertView>("", "second", log, "", std::vector<std::string>{"Yes", "OK"});
    first->show();
    second->show();
    EXPECT_EQ(second->cancelButtonIndex(), -1);
    EXPECT_EQ(AlertView::openAlerts().size(), 2u);
    EXPECT_TRUE(AlertView::answerOpenAlert("OK")); // the most recent with that button
    EXPECT_FALSE(AlertView::answerOpenAlert("Yes"));
    EXPECT_TRUE(AlertView::answerOpenAlert("Cancel"));
    EXPECT_EQ(log->calls, (std::vector<std::string>{"second 1", "first 0"}));
    EXPECT_FALSE(first->clickButton(1)); // closed already

    // An alert whose delegate has gone closes without calling it.
    first->show();
    log.reset();
    EXPECT_TRUE(first->clickButton("OK"));
    EXPECT_TRUE(AlertView::openAlerts().empty());

    openURL("http://example.invalid/x");
    EXPECT_EQ(openedURLs().back(), "http://example.invalid/x");
    clearOpenedURLs();
    EXPECT_TRUE(openedURLs().empty());
}

} // namespace
