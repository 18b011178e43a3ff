// The input as a DLS file through the codec road (see fuzz_codec_road.h).
#include "codec/aura_codec_dls.h"
#include "fuzz_codec_road.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzroad::run(*AURA::CodecDLS::getDescriptionEx(), data, size);
    return 0;
}
