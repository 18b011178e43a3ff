// The plain controller the application keeps as the host from which the
// game-centre views are presented; it decides only which orientations it
// accepts.
#ifndef MERIX_GCVIEWCONTROLLER_H
#define MERIX_GCVIEWCONTROLLER_H

#include "platform/ui.h"

namespace merix {

class GCViewController : public platform::ViewController {
public:
    [[nodiscard]] const char *className() const override { return "GCViewController"; }
    // A phone (or a device that does not answer the idiom question) takes
    // landscape-right only. A tablet takes either landscape and prints
    // its decision; other idioms take nothing.
    [[nodiscard]] bool shouldAutorotateToInterfaceOrientation(int orientation) override;
};

} // namespace merix

#endif // MERIX_GCVIEWCONTROLLER_H
