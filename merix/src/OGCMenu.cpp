#include "merix/OGCMenu.h"

#include "merix/OGCButton.h"
#include "merix/OGCViewController.h"

#include "platform/resources.h"

#include <algorithm>

namespace merix {

int activeMenuView = 0;
platform::Ref<platform::View> displayMenuView[2];
platform::Ref<platform::ScrollView> scrollWindow[2];
platform::Ref<platform::ImageView> scrollimage[2];
platform::Ref<platform::Label> Header[2];
platform::Ref<platform::TextField> emailTextField[2];
platform::Ref<platform::TextField> passwordTextField[2];
platform::Ref<platform::TextField> screenNameTextField[2];
platform::Ref<platform::TextField> firstNameTextField[2];
platform::Ref<platform::TextField> lastNameTextField[2];

int transitionMenuScrollState = 0;
int transitionStyle = 0;
int activeMenuScrollState = 0;
int scrollState = 0;
int scrollCount = 0;
int currentButton = 0;

mainMenu *menuMain = nullptr;
loginMenu *menuLogin = nullptr;
createMenu *menuCreate = nullptr;
loginWaitMenu *menuLoginWait = nullptr;
retrieveMenu *menuRetrieve = nullptr;
editMenu *menuEdit = nullptr;
achievementMenu *menuAchievement = nullptr;
leaderboardMenu *menuLeaderboard = nullptr;
chatMenu *menuChat = nullptr;
friendMenu *menuFriend = nullptr;
challengeMenu *menuChallenge = nullptr;
gameMenu *menuGame = nullptr;
helpMenu *menuHelp = nullptr;
OGCMenu *lastMenu = nullptr;
OGCMenu *loggedMenu = nullptr;
platform::Ref<platform::ImageView> faceImage;
int currentImagePic = 0;

int GetActiveMenuView()
{
    return activeMenuView;
}

int GetNextActiveMenuView()
{
    return (activeMenuView + 1) % 2;
}

void IncrementActiveMenuView()
{
    activeMenuView = GetNextActiveMenuView();
}

void InitActiveMenuView(int n)
{
    activeMenuView = n;
}

void OGCMenu::setlable(const platform::Ref<platform::Label> &label, const std::string &text,
                       platform::TextAlignment align, double x, double y, double size, bool orient, double red,
                       double green, double blue)
{
    label->setTextColor({red, green, blue, 1.0});
    label->setFont("Arial", size);
    label->setText(text);
    label->setBackgroundColor({});
    label->setTextAlignment(align);
    label->setLineBreakMode(0);
    label->setNumberOfLines(0);
    label->setOpaque(false);
    platform::Point at{x, y};
    if (orient && controller != nullptr) {
        double angle = 0.0;
        controller->setOrientedPosition(at, angle);
        label->setTransform(platform::AffineTransform::rotation(angle));
    }
    label->setCenter(at);
}

void OGCMenu::setlable(const platform::Ref<platform::Label> &label, const std::string &text,
                       platform::TextAlignment align, double x, double y, double size)
{
    setlable(label, text, align, x, y, size, true, 1.0, 1.0, 1.0);
}

platform::Ref<platform::View> OGCMenu::container()
{
    auto &slot = displayMenuView[viewSet];
    const auto host = controller != nullptr ? controller->getView() : platform::Ref<platform::View>();
    if (!slot || slot->superview() != host) {
        slot = platform::make<platform::View>(platform::Rect::make(0, 0, 320, 480));
        slot->setBackgroundColor({});
        slot->setOpaque(false);
        host->addSubview(slot);
    }
    host->bringSubviewToFront(slot);
    // The switch buttons stay over whichever screen is in front.
    if (controller != nullptr) {
        for (const auto &button : {controller->profileButton(), controller->leaderboardButton()}) {
            if (button && button->superview() == host)
                host->bringSubviewToFront(button);
        }
    }
    return slot;
}

void OGCMenu::buildScrollWindow()
{
    // Whatever another screen left in this view set goes first.
    scrollWindow[viewSet]->removeFromSuperview();
    auto window = platform::make<platform::ScrollView>(platform::Rect::make(0, 0, 320, 300));
    window->setCenter({160, 150});
    window->setBackgroundColor({});
    container()->addSubview(window);
    scrollWindow[viewSet] = window;
    mOwned.push_back(window);

    auto image = platform::make<platform::ImageView>("OGC_window.png");
    image->setCenter({162, 150});
    window->addSubview(image);
    scrollimage[viewSet] = image;
}

void OGCMenu::buildHeader(const std::string &text)
{
    auto header = platform::make<platform::Label>(platform::Rect::make(0, 0, 320, 40));
    header->setUserInteractionEnabled(false);
    setlable(header, text, platform::kTextAlignmentCenter, 160, 30, 20);
    place(header);
    Header[viewSet] = header;
}

void OGCMenu::place(const platform::Ref<platform::View> &view)
{
    scrollWindow[viewSet]->addSubview(view);
}

platform::Ref<platform::TextField> OGCMenu::makeField(double x, double y, const std::string &text,
                                                      const std::string &placeholder, int keyboardType)
{
    auto field = platform::make<platform::TextField>(platform::Rect::make(0, 0, 290, 23));
    field->setCenter({x, y});
    field->setPlaceholder(placeholder);
    field->setBackgroundColor({});
    field->setKeyboardType(keyboardType);
    field->setReturnKeyType(9); // done
    field->setClearButtonMode(3);
    field->setText(text);
    if (controller != nullptr) {
        field->setDelegate(std::shared_ptr<platform::TextFieldDelegate>(
            refTo(*controller).shared(), static_cast<platform::TextFieldDelegate *>(controller)));
    }
    place(field);
    return field;
}

platform::Ref<platform::Button> OGCMenu::makeButton(const std::string &title, const char *action, double x, double y,
                                                    double width, double height)
{
    auto button = platform::make<platform::Button>(platform::Rect::make(0, 0, width, height));
    button->setCenter({x, y});
    button->setBackgroundImageNamed("OGC_GEN_button.png");
    button->setBackgroundImageNamed("OGC_GEN_button_dwn.png", platform::kControlStateHighlighted);
    button->setTitle(title);
    if (controller != nullptr)
        controller->wire(button, action);
    place(button);
    return button;
}

platform::Ref<platform::Label> OGCMenu::makeLabel(const std::string &text, double x, double y, double width,
                                                  double fontSize)
{
    auto label = platform::make<platform::Label>(platform::Rect::make(0, 0, width, 40));
    label->setUserInteractionEnabled(false);
    label->setFont("ArialRoundedMTBold", fontSize);
    label->setTextColor({1.0, 1.0, 1.0, 1.0});
    label->setText(text);
    label->setBackgroundColor({});
    label->setTextAlignment(platform::kTextAlignmentCenter);
    label->setLineBreakMode(0);
    label->setOpaque(false);
    label->setCenter({x, y});
    place(label);
    return label;
}

platform::Ref<platform::Button> OGCMenu::makeButton(const std::string &title, std::function<void()> action, double x,
                                                    double y, double width, double height)
{
    auto button = platform::make<platform::Button>(platform::Rect::make(0, 0, width, height));
    button->setCenter({x, y});
    button->setBackgroundImageNamed("OGC_GEN_button.png");
    button->setBackgroundImageNamed("OGC_GEN_button_dwn.png", platform::kControlStateHighlighted);
    button->setTitle(title);
    if (controller != nullptr) {
        button->addTarget(std::weak_ptr<const void>(refTo(*controller).shared()),
                          [run = std::move(action)](platform::Button &) { run(); });
    }
    place(button);
    return button;
}

platform::Ref<platform::View> OGCMenu::makeIcon(const char *image, const char *notification, double x, double y)
{
    auto icon = platform::make<OGCButton>(image);
    icon->setButton({0, 0, image, "", notification, ""});
    icon->setFrame(platform::Rect::make(x - 22, y - 22, 44, 44));
    place(icon);
    return icon;
}

void OGCMenu::keepAboveKeyboard(platform::TextField &field, int keyboardHeight)
{
    const auto window = scrollWindow[viewSet];
    if (!window || keyboardHeight <= 0)
        return;
    constexpr double kRowBelow = 44.0;
    const double bottom = field.convertToWindow({0, field.bounds().size.height}).y + kRowBelow;
    const double visible = platform::screenBounds().size.height - keyboardHeight;
    if (bottom > visible) {
        const platform::Point offset = window->contentOffset();
        window->setContentOffset({offset.x, offset.y + (bottom - visible)});
    }
}

void OGCMenu::scrollBack()
{
    if (const auto window = scrollWindow[viewSet])
        window->setContentOffset({0, 0});
}

platform::Ref<platform::TextField> OGCMenu::editingField() const
{
    const auto field = platform::Ref<platform::TextField>(
        std::dynamic_pointer_cast<platform::TextField>(platform::Application::shared().firstResponder()));
    for (auto v = platform::Ref<platform::View>(field); v; v = v->superview()) {
        if (std::find(mOwned.begin(), mOwned.end(), v) != mOwned.end())
            return field;
    }
    return {};
}

void OGCMenu::endEditing()
{
    if (const auto field = editingField())
        field->resignFirstResponder();
}

void OGCMenu::removeOwnViews()
{
    for (const auto &view : mOwned)
        view->removeFromSuperview();
    const auto clearIfOurs = [this](auto &slot) {
        if (!slot)
            return;
        // Ours when it sits in one of our views (or is one).
        for (auto v = platform::Ref<platform::View>(slot); v; v = v->superview()) {
            if (std::find(mOwned.begin(), mOwned.end(), v) != mOwned.end()) {
                slot->removeFromSuperview();
                slot.reset();
                return;
            }
        }
    };
    for (int set = 0; set < 2; ++set) {
        clearIfOurs(scrollWindow[set]);
        clearIfOurs(scrollimage[set]);
        clearIfOurs(Header[set]);
        clearIfOurs(emailTextField[set]);
        clearIfOurs(passwordTextField[set]);
        clearIfOurs(screenNameTextField[set]);
        clearIfOurs(firstNameTextField[set]);
        clearIfOurs(lastNameTextField[set]);
    }
    mOwned.clear();
}

} // namespace merix
