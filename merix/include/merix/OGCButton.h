// The small image button that floats over the game and opens the online
// screens: a normal and a pressed image, and a notification posted when a
// touch is released inside it.
#ifndef MERIX_OGCBUTTON_H
#define MERIX_OGCBUTTON_H

#include "platform/ui.h"

#include <cstdint>
#include <string>

namespace merix {

// How a screen describes one of its buttons; the button itself keeps the two
// image names and the notification name.
struct OGCButtonElement {
    std::int32_t first = 0;
    std::int32_t second = 0;
    std::string image;
    std::string imageDown;
    std::string function; // the notification posted on release inside
    std::string extra;
};

class OGCButton : public platform::ImageView {
public:
    // Takes touches, unlike a plain image view. Sized to its image, or
    // kSizeWithoutImage points square when the resources lack it.
    OGCButton();
    explicit OGCButton(const std::string &imageName);
    static constexpr double kSizeWithoutImage = 44.0;
    [[nodiscard]] const char *className() const override { return "OGCButton"; }

    void setButton(const OGCButtonElement &element);
    void setFunction(std::string function);
    [[nodiscard]] const std::string &getFunction() const { return function; }
    [[nodiscard]] const std::string &getimage() const { return myElement.image; }
    [[nodiscard]] const std::string &getimageDown() const { return myElement.imageDown; }

    void touchesBegan(const platform::Touches &touches) override;
    void touchesMoved(const platform::Touches &touches) override;
    void touchesEnded(const platform::Touches &touches) override;

private:
    // Inside when the touch's point in the button, each coordinate truncated
    // toward zero, lies strictly between 0 and the frame's width or height:
    // a release on an edge does not count.
    [[nodiscard]] bool touchInside(const platform::Touches &touches);
    void show(const std::string &imageName);

    OGCButtonElement myElement;
    std::string function;
};

} // namespace merix

#endif // MERIX_OGCBUTTON_H
