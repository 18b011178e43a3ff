#include "tally/TallyPageViewDelegate.h"

#include "tally/TallySession.h"
#include "tally/TallyUtil.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace tally {
namespace {

using platform::Ref;
using platform::ViewController;

// Each proxy stays while its controller lives; gone controllers are swept
// out at the next install.
struct Installed {
    std::weak_ptr<ViewController> controller;
    std::shared_ptr<TallyPageViewDelegate> proxy;
};

std::vector<Installed> &installed()
{
    static auto *list = new std::vector<Installed>();
    return *list;
}

std::string flag(bool value)
{
    return value ? "1" : "0";
}

} // namespace

std::shared_ptr<TallyPageViewDelegate> TallyPageViewDelegate::createDelegateOnTarget(const Ref<ViewController> &target)
{
    std::shared_ptr<TallyPageViewDelegate> proxy;
    if (const auto nav = target.as<platform::NavigationController>()) {
        // A second install would count every view twice.
        if (auto installed = std::dynamic_pointer_cast<TallyPageViewDelegate>(nav->delegate()))
            return installed;
        proxy = std::make_shared<TallyPageViewDelegate>(nav->delegate(),
                                                        std::weak_ptr<platform::TabBarControllerDelegate>());
        nav->setDelegate(proxy);
    } else if (const auto tabs = target.as<platform::TabBarController>()) {
        if (auto installed = std::dynamic_pointer_cast<TallyPageViewDelegate>(tabs->delegate()))
            return installed;
        proxy = std::make_shared<TallyPageViewDelegate>(std::weak_ptr<platform::NavigationControllerDelegate>(),
                                                        tabs->delegate());
        tabs->setDelegate(proxy);
    } else {
        return nullptr;
    }
    auto &list = installed();
    std::erase_if(list, [](const Installed &i) { return i.controller.expired(); });
    list.push_back({target.weak(), proxy});
    tallyDebug([&] {
        return cat("Tally: TallyPageViewDelegate session[", TallySession::currentSession() ? "current" : "(null)",
                   "] delegate[", target->description(), "] created");
    });
    return proxy;
}

void TallyPageViewDelegate::resetForTesting()
{
    auto old = std::move(installed());
    installed().clear();
}

TallyPageViewDelegate::TallyPageViewDelegate(std::weak_ptr<platform::NavigationControllerDelegate> navigationDelegate,
                                             std::weak_ptr<platform::TabBarControllerDelegate> tabBarDelegate)
    : mNavigationDelegate(std::move(navigationDelegate))
    , mTabBarDelegate(std::move(tabBarDelegate))
{
}

std::shared_ptr<platform::NavigationControllerDelegate> TallyPageViewDelegate::navigationDelegate() const
{
    return mNavigationDelegate.lock();
}

std::shared_ptr<platform::TabBarControllerDelegate> TallyPageViewDelegate::tabBarDelegate() const
{
    return mTabBarDelegate.lock();
}

void TallyPageViewDelegate::countPageView()
{
    // The session current now: a proxy outlives the session it was made in.
    if (const auto session = TallySession::currentSession()) {
        session->maybeIncrementPageView();
        tallyDebug([&] { return cat("Tally: pageViewCount[", session->pageViewCount(), "]"); });
    }
}

void TallyPageViewDelegate::navigationControllerWillShow(platform::NavigationController &controller,
                                                         const Ref<ViewController> &shown, bool animated)
{
    tallyGuarded([&] {
        tallyDebug([&] {
            return cat("Tally: TallyPageViewDelegate [", controller.description(), "] [", shown->description(), "] [",
                       flag(animated), "]");
        });
        if (const auto inner = navigationDelegate())
            inner->navigationControllerWillShow(controller, shown, animated);
    });
}

void TallyPageViewDelegate::navigationControllerDidShow(platform::NavigationController &controller,
                                                        const Ref<ViewController> &shown, bool animated)
{
    tallyGuarded([&] {
        tallyDebug([&] {
            return cat("Tally: TallyPageViewDelegate [", controller.description(), "] [", shown->description(), "] [",
                       flag(animated), "]");
        });
        if (const auto inner = navigationDelegate())
            inner->navigationControllerDidShow(controller, shown, animated);
        tallyDebug([&] { return cat("Tally: Navigation View [", controller.description(), "]"); });
        countPageView();
    });
}

bool TallyPageViewDelegate::tabBarControllerShouldSelect(platform::TabBarController &controller,
                                                         const Ref<ViewController> &tab)
{
    bool answer = true;
    tallyGuarded([&] {
        tallyDebug([&] {
            return cat("Tally: TallyPageViewDelegate [", controller.description(), "] [", tab->description(), "]");
        });
        if (const auto inner = tabBarDelegate())
            answer = inner->tabBarControllerShouldSelect(controller, tab);
    });
    return answer;
}

void TallyPageViewDelegate::tabBarControllerDidSelect(platform::TabBarController &controller,
                                                      const Ref<ViewController> &tab)
{
    tallyGuarded([&] {
        tallyDebug([&] {
            return cat("Tally: TallyPageViewDelegate [", controller.description(), "] [", tab->description(), "]");
        });
        if (const auto inner = tabBarDelegate())
            inner->tabBarControllerDidSelect(controller, tab);
        countPageView();
    });
}

void TallyPageViewDelegate::tabBarControllerWillBeginCustomizing(platform::TabBarController &controller,
                                                                 const std::vector<Ref<ViewController>> &tabs)
{
    tallyGuarded([&] {
        tallyDebug(
            [&] { return cat("Tally: TallyPageViewDelegate [", controller.description(), "] [", tabs.size(), "]"); });
        if (const auto inner = tabBarDelegate())
            inner->tabBarControllerWillBeginCustomizing(controller, tabs);
    });
}

void TallyPageViewDelegate::tabBarControllerWillEndCustomizing(platform::TabBarController &controller,
                                                               const std::vector<Ref<ViewController>> &tabs,
                                                               bool changed)
{
    tallyGuarded([&] {
        tallyDebug([&] {
            return cat("Tally: TallyPageViewDelegate [", controller.description(), "] [", tabs.size(), "] [",
                       flag(changed), "]");
        });
        if (const auto inner = tabBarDelegate())
            inner->tabBarControllerWillEndCustomizing(controller, tabs, changed);
    });
}

void TallyPageViewDelegate::tabBarControllerDidEndCustomizing(platform::TabBarController &controller,
                                                              const std::vector<Ref<ViewController>> &tabs,
                                                              bool changed)
{
    tallyGuarded([&] {
        tallyDebug([&] {
            return cat("Tally: TallyPageViewDelegate [", controller.description(), "] [", tabs.size(), "] [",
                       flag(changed), "]");
        });
        if (const auto inner = tabBarDelegate())
            inner->tabBarControllerDidEndCustomizing(controller, tabs, changed);
    });
}

} // namespace tally
