// The tag list moved to base/ (files collect tags too).
#include "base/aura_metadata.h"
