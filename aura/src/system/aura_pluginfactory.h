// The plug-in registry of a system: the codecs that sound creation offers a
// file to, in probe order, the DSP units that can be made by type, and the
// output drivers that can be chosen.
#ifndef AURA_PLUGINFACTORY_H
#define AURA_PLUGINFACTORY_H

#include "aura.h"
#include "aura_dsp.h"
#include "codec/aura_codec_description.h"
#include "base/aura_globals.h"
#include "dsp/aura_dspi.h"
#include "output/aura_output_description.h"

namespace AURA {

class SystemI;

// Every register call keeps a copy of the caller's record, owned by the
// factory until release, so a plug-in may fill one static record and
// reuse it. Names that the copy points at are copied with it. Handles are a
// running count shared by all three lists and never 0, so one handle
// names one entry of one list.
//
// Registration happens while the system starts, before other threads look
// at the lists; the lists are not locked.
class PluginFactory {
public:
    PluginFactory();
    ~PluginFactory();
    PluginFactory(const PluginFactory &) = delete;
    PluginFactory &operator=(const PluginFactory &) = delete;

    // The system that createDSP builds units for.
    [[nodiscard]] AURA_RESULT init(SystemI *system);
    // Frees every registered copy; the factory is then empty and forgets
    // its system. Handles given later still do not repeat earlier ones.
    AURA_RESULT release();

    // Codecs, kept in ascending priority; an entry goes after those of equal
    // priority, so ties keep their registration order. handle may be null.
    [[nodiscard]] AURA_RESULT registerCodec(AURA_CODEC_DESCRIPTION_EX *description, unsigned int *handle,
                                            unsigned int priority);
    // 68 (and null) when no codec has the handle.
    [[nodiscard]] AURA_RESULT getCodec(unsigned int handle, AURA_CODEC_DESCRIPTION_EX **description);
    [[nodiscard]] AURA_RESULT getNumCodecs(int *numcodecs);
    // In probe order; 37 for an index outside the list.
    [[nodiscard]] AURA_RESULT getCodecByIndex(int index, AURA_CODEC_DESCRIPTION_EX **description);

    // DSP units, kept in registration order.
    [[nodiscard]] AURA_RESULT registerDSP(AURA_DSP_DESCRIPTION_EX *description, unsigned int *handle);
    [[nodiscard]] AURA_RESULT getDSP(unsigned int handle, AURA_DSP_DESCRIPTION_EX **description);
    // Makes a unit of the description's category through the system; 81
    // before init.
    [[nodiscard]] AURA_RESULT createDSP(AURA_DSP_DESCRIPTION_EX *description, DSPI **dsp);
    // Makes a unit from the first registered description of that type; 68
    // when none has it.
    [[nodiscard]] AURA_RESULT createDSPByType(AURA_DSP_TYPE type, DSPI **dsp);

    // Output drivers, kept in registration order.
    [[nodiscard]] AURA_RESULT registerOutput(AURA_OUTPUT_DESCRIPTION_EX *description, unsigned int *handle);
    [[nodiscard]] AURA_RESULT getNumOutputs(int *numoutputs);
    [[nodiscard]] AURA_RESULT getOutputByIndex(int index, AURA_OUTPUT_DESCRIPTION_EX **description);

private:
    unsigned int nextHandle();

    SystemI *mSystem = nullptr;
    LinkedListNode mCodecHead;
    LinkedListNode mDSPHead;
    LinkedListNode mOutputHead;
    unsigned int mCurrentPluginHandle = 0; // the last handle given
};

} // namespace AURA

#endif // AURA_PLUGINFACTORY_H
