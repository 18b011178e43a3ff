// The controls of the interface model: image views, labels, buttons, text
// fields and scroll views.
#include "platform/resources.h"
#include "platform/ui.h"

#include <algorithm>

namespace platform {

// ---------------------------------------------------------- image views

// Image views let touches through to what lies beneath unless told to take them.
ImageView::ImageView()
{
    setUserInteractionEnabled(false);
}

ImageView::ImageView(const std::string &imageName)
    : ImageView()
{
    setImageNamed(imageName);
    if (mImage)
        setFrame(Rect::make(0, 0, mImage->width, mImage->height));
}

void ImageView::setImageNamed(const std::string &name)
{
    if (isNil())
        return;
    mImageName = name;
    mImage = name.empty() ? nullptr : imageNamed(name);
}

void ImageView::setImage(std::shared_ptr<const Image> image)
{
    if (isNil())
        return;
    mImageName.clear();
    mImage = std::move(image);
}

std::string ImageView::imageName() const
{
    return mImage ? mImageName : std::string();
}

void ImageView::describeContent(std::string &line) const
{
    if (mImage)
        appendField(line, "image", mImageName);
}

// ---------------------------------------------------------------- labels

void Label::becomeNil()
{
    View::becomeNil();
    mFontName.clear();
    mFontSize = 0.0;
    mTextColor = {};
    mLines = 0;
    mLineBreak = 0;
}

void Label::setFont(std::string name, double size)
{
    if (isNil())
        return;
    mFontName = std::move(name);
    mFontSize = size;
}

void Label::describeContent(std::string &line) const
{
    appendField(line, "text", mText);
}

// --------------------------------------------------------------- buttons

void Button::becomeNil()
{
    View::becomeNil();
    mEnabled = false;
}

Button::PerState &Button::slot(ControlState state)
{
    const auto it = std::find_if(mStates.begin(), mStates.end(), [&](const PerState &s) { return s.state == state; });
    if (it != mStates.end())
        return *it;
    mStates.push_back({state, {}, {}, nullptr});
    return mStates.back();
}

const Button::PerState *Button::find(ControlState state, bool wantTitle) const
{
    const PerState *normal = nullptr;
    for (const auto &s : mStates) {
        const bool has = wantTitle ? !s.title.empty() : !s.imageName.empty();
        if (!has)
            continue;
        if (s.state == state)
            return &s;
        if (s.state == kControlStateNormal)
            normal = &s;
    }
    return normal;
}

void Button::setTitle(std::string title, ControlState state)
{
    if (!isNil())
        slot(state).title = std::move(title);
}

std::string Button::titleForState(ControlState state) const
{
    const PerState *s = find(state, true);
    return s != nullptr ? s->title : std::string();
}

std::string Button::currentTitle() const
{
    return titleForState(state());
}

void Button::setBackgroundImageNamed(const std::string &name, ControlState state)
{
    if (isNil())
        return;
    auto &s = slot(state);
    s.image = name.empty() ? nullptr : imageNamed(name);
    s.imageName = s.image ? name : std::string();
}

std::string Button::backgroundImageNameForState(ControlState state) const
{
    const PerState *s = find(state, false);
    return s != nullptr ? s->imageName : std::string();
}

std::string Button::currentBackgroundImageName() const
{
    return backgroundImageNameForState(state());
}

std::shared_ptr<const Image> Button::currentBackgroundImage() const
{
    const PerState *s = find(state(), false);
    return s != nullptr ? s->image : nullptr;
}

void Button::setEnabled(bool enabled)
{
    if (isNil())
        return;
    mEnabled = enabled;
    if (!enabled)
        mHighlighted = false;
}

ControlState Button::state() const
{
    if (!mEnabled)
        return kControlStateDisabled;
    return mHighlighted ? kControlStateHighlighted : kControlStateNormal;
}

void Button::addTarget(std::weak_ptr<const void> receiver, Action action, unsigned events)
{
    if (isNil() || !action || events == 0)
        return;
    mTargets.push_back({std::move(receiver), std::move(action), events});
}

void Button::removeAllTargets()
{
    mTargets.clear();
}

void Button::sendActions(unsigned events)
{
    if (isNil())
        return;
    const auto self = shared_from_this(); // an action may drop the last handle
    // Receivers that have gone leave for good; the list is copied because
    // an action may add or remove targets.
    std::erase_if(mTargets, [](const Target &t) { return t.receiver.expired(); });
    const std::vector<Target> targets = mTargets;
    for (const auto &t : targets) {
        if ((t.events & events) == 0)
            continue;
        if (const auto alive = t.receiver.lock())
            t.action(*this);
    }
}

bool Button::touchInside(const Touches &touches) const
{
    if (touches.empty())
        return false;
    return pointInside(touches.front()->locationInView(refTo(const_cast<Button &>(*this))));
}

void Button::touchesBegan(const Touches &touches)
{
    if (!mEnabled)
        return View::touchesBegan(touches);
    mHighlighted = true;
    sendActions(kControlEventTouchDown);
}

void Button::touchesMoved(const Touches &touches)
{
    if (!mEnabled)
        return View::touchesMoved(touches);
    mHighlighted = touchInside(touches);
}

void Button::touchesEnded(const Touches &touches)
{
    if (!mEnabled)
        return View::touchesEnded(touches);
    mHighlighted = false;
    sendActions(touchInside(touches) ? kControlEventTouchUpInside : kControlEventTouchUpOutside);
}

void Button::touchesCancelled(const Touches &touches)
{
    if (!mEnabled)
        return View::touchesCancelled(touches);
    mHighlighted = false;
}

void Button::describeContent(std::string &line) const
{
    appendField(line, "title", currentTitle());
    if (const std::string image = currentBackgroundImageName(); !image.empty())
        appendField(line, "image", image);
}

// ----------------------------------------------------------- text fields

bool TextField::replaceCharacters(TextRange range, const std::string &replacement)
{
    if (!isFirstResponder() || range.location > mText.size())
        return false;
    range.length = std::min(range.length, mText.size() - range.location);
    const auto self = shared_from_this();
    if (const auto delegate = mDelegate.lock()) {
        if (!delegate->textFieldShouldChangeCharacters(*this, range, replacement))
            return false;
    }
    // The delegate may have changed the text meanwhile.
    if (range.location > mText.size())
        return false;
    mText.replace(range.location, std::min(range.length, mText.size() - range.location), replacement);
    return true;
}

bool TextField::typeText(const std::string &text)
{
    return replaceCharacters({mText.size(), 0}, text);
}

bool TextField::deleteBackward()
{
    if (mText.empty())
        return false;
    std::size_t start = mText.size() - 1;
    // Back over UTF-8 continuation bytes to the character's first byte.
    while (start > 0 && (static_cast<unsigned char>(mText[start]) & 0xC0) == 0x80)
        --start;
    return replaceCharacters({start, mText.size() - start}, {});
}

bool TextField::pressReturn()
{
    if (!isFirstResponder())
        return false;
    const auto self = shared_from_this();
    const auto delegate = mDelegate.lock();
    return delegate ? delegate->textFieldShouldReturn(*this) : true;
}

void TextField::touchesEnded(const Touches &touches)
{
    if (!touches.empty() && pointInside(touches.front()->locationInView(refTo(*this)))) {
        becomeFirstResponder();
        return;
    }
    View::touchesEnded(touches);
}

void TextField::didBecomeFirstResponder()
{
    Application::shared().showKeyboard();
    if (const auto delegate = mDelegate.lock())
        delegate->textFieldDidBeginEditing(*this);
}

void TextField::didResignFirstResponder()
{
    // Handed over to another field: the keyboard stays.
    if (std::dynamic_pointer_cast<TextField>(Application::shared().firstResponder()))
        return;
    Application::shared().hideKeyboard();
}

void TextField::describeContent(std::string &line) const
{
    appendField(line, "text", mText);
    if (!mPlaceholder.empty())
        appendField(line, "placeholder", mPlaceholder);
}

// ----------------------------------------------------------- scroll views

Point ScrollView::contentOffset() const
{
    return bounds().origin;
}

void ScrollView::setContentOffset(Point offset)
{
    Rect b = bounds();
    b.origin = offset;
    setBounds(b);
}

} // namespace platform
