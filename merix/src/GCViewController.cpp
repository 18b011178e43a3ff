#include "merix/GCViewController.h"

#include "platform/device.h"

#include <cstdio>

namespace merix {

bool GCViewController::shouldAutorotateToInterfaceOrientation(int orientation)
{
    const auto idiom = platform::deviceFacts().idiom;
    if (idiom && *idiom != platform::UserInterfaceIdiom::Phone) {
        const bool accepted =
            *idiom == platform::UserInterfaceIdiom::Pad &&
            (orientation == platform::kOrientationLandscapeRight || orientation == platform::kOrientationLandscapeLeft);
        std::printf("Autorotating to orientation %d: %s\n", orientation, accepted ? "true" : "false");
        std::fflush(stdout);
        return accepted;
    }
    return orientation == platform::kOrientationLandscapeRight;
}

} // namespace merix
