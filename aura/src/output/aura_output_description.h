// An output driver's registry record: its name and the type that selects it.
#ifndef AURA_OUTPUT_DESCRIPTION_H
#define AURA_OUTPUT_DESCRIPTION_H

#include "aura.h"
#include "base/aura_globals.h"
#include "base/aura_plugin.h"

namespace AURA {

struct AURA_OUTPUT_DESCRIPTION_EX {
    const char *name = nullptr;
    AURA_OUTPUTTYPE mType = AURA_OUTPUTTYPE_AUTODETECT;
    LinkedListNode mNode; // the registry's list
    unsigned int mHandle = 0; // the registry's handle of the entry
};

// Clears an output's record and writes its name and type; the record.
AURA_OUTPUT_DESCRIPTION_EX *describeOutput(AURA_OUTPUT_DESCRIPTION_EX &record, const char *name, AURA_OUTPUTTYPE type);

} // namespace AURA

#endif // AURA_OUTPUT_DESCRIPTION_H
