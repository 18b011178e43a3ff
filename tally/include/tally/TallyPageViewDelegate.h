// Counting page views of a navigation or tab-bar controller: a proxy that
// takes the controller's delegate's place, passes every message on to the
// old delegate unchanged and, after a screen was shown or a tab selected,
// counts a page view in the session current at that moment.
#ifndef TALLY_TALLY_PAGE_VIEW_DELEGATE_H
#define TALLY_TALLY_PAGE_VIEW_DELEGATE_H

#include "platform/ui_navigation.h"

#include <memory>

namespace tally {

class TallyPageViewDelegate : public platform::NavigationControllerDelegate, public platform::TabBarControllerDelegate {
public:
    // Installs a proxy on a navigation or tab-bar controller; nullptr (and
    // nothing changed) for any other controller. The proxy lives as long as
    // its controller.
    static std::shared_ptr<TallyPageViewDelegate>
    createDelegateOnTarget(const platform::Ref<platform::ViewController> &target);
    // Forgets the proxies of every controller.
    static void resetForTesting();

    // The inner delegate is held weakly: it often owns the controller.
    TallyPageViewDelegate(std::weak_ptr<platform::NavigationControllerDelegate> navigationDelegate,
                          std::weak_ptr<platform::TabBarControllerDelegate> tabBarDelegate);

    void navigationControllerWillShow(platform::NavigationController &controller,
                                      const platform::Ref<platform::ViewController> &shown, bool animated) override;
    void navigationControllerDidShow(platform::NavigationController &controller,
                                     const platform::Ref<platform::ViewController> &shown, bool animated) override;
    bool tabBarControllerShouldSelect(platform::TabBarController &controller,
                                      const platform::Ref<platform::ViewController> &tab) override;
    void tabBarControllerDidSelect(platform::TabBarController &controller,
                                   const platform::Ref<platform::ViewController> &tab) override;
    void
    tabBarControllerWillBeginCustomizing(platform::TabBarController &controller,
                                         const std::vector<platform::Ref<platform::ViewController>> &tabs) override;
    void tabBarControllerWillEndCustomizing(platform::TabBarController &controller,
                                            const std::vector<platform::Ref<platform::ViewController>> &tabs,
                                            bool changed) override;
    void tabBarControllerDidEndCustomizing(platform::TabBarController &controller,
                                           const std::vector<platform::Ref<platform::ViewController>> &tabs,
                                           bool changed) override;

private:
    static void countPageView();

    std::shared_ptr<platform::NavigationControllerDelegate> navigationDelegate() const;
    std::shared_ptr<platform::TabBarControllerDelegate> tabBarDelegate() const;

    std::weak_ptr<platform::NavigationControllerDelegate> mNavigationDelegate;
    std::weak_ptr<platform::TabBarControllerDelegate> mTabBarDelegate;
};

} // namespace tally

#endif // TALLY_TALLY_PAGE_VIEW_DELEGATE_H
