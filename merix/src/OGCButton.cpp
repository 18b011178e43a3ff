#include "merix/OGCButton.h"

#include "platform/notifications.h"

#include <cmath>

namespace merix {

OGCButton::OGCButton()
{
    setUserInteractionEnabled(true);
}

OGCButton::OGCButton(const std::string &imageName)
    : platform::ImageView(imageName)
{
    setUserInteractionEnabled(true);
    // Without its picture (resources not installed) the button would have
    // no size and could never be touched.
    if (!image())
        setFrame(platform::Rect::make(0, 0, kSizeWithoutImage, kSizeWithoutImage));
}

void OGCButton::setButton(const OGCButtonElement &element)
{
    if (isNil())
        return;
    myElement.image = element.image;
    myElement.imageDown = element.imageDown;
    function = element.function;
}

void OGCButton::setFunction(std::string name)
{
    if (!isNil())
        function = std::move(name);
}

bool OGCButton::touchInside(const platform::Touches &touches)
{
    if (touches.empty())
        return false;
    const platform::Point p = touches.front()->locationInView(platform::refTo(*this));
    const platform::Rect f = frame();
    const double x = std::trunc(p.x);
    const double y = std::trunc(p.y);
    return x > 0.0 && x < f.size.width && y > 0.0 && y < f.size.height;
}

void OGCButton::show(const std::string &imageName)
{
    if (!imageName.empty())
        setImageNamed(imageName);
}

void OGCButton::touchesBegan(const platform::Touches &touches)
{
    if (touchInside(touches))
        show(myElement.imageDown);
    platform::ImageView::touchesBegan(touches);
}

void OGCButton::touchesMoved(const platform::Touches &touches)
{
    show(touchInside(touches) ? myElement.imageDown : myElement.image);
    platform::ImageView::touchesMoved(touches);
}

void OGCButton::touchesEnded(const platform::Touches &touches)
{
    if (touchInside(touches))
        platform::NotificationCenter::defaultCenter().post(function);
    show(myElement.image);
    platform::ImageView::touchesEnded(touches);
}

} // namespace merix
