// Outputs that write the mix to a WAV file: 16-bit PCM, or 32-bit IEEE
// float when the format is PCMFLOAT. The file name comes through init's
// extra driver data (a const char *); without one it is aura_output.wav.
#ifndef AURA_OUTPUT_WAVWRITER_H
#define AURA_OUTPUT_WAVWRITER_H

#include "output/aura_output_nosound.h"

#include <cstdint>

namespace AURA {

// A RIFF WAVE file being written. The header goes out at open with sizes of
// zero and is rewritten with the real sizes at close. After a failed write
// nothing more is written and every later call reports AURA_ERR_FILE_BAD.
class WavFile {
public:
    WavFile() = default;
    ~WavFile();
    WavFile(const WavFile &) = delete;
    WavFile &operator=(const WavFile &) = delete;

    // 23 when the path's folder does not exist, 19 when the file cannot be
    // created or its header cannot be written.
    [[nodiscard]] AURA_RESULT open(const char *name, const OutputFormat &format);
    [[nodiscard]] AURA_RESULT write(const void *data, unsigned int bytes);
    // Fixes the header and closes; 19 when a write failed on the way.
    AURA_RESULT close();

    [[nodiscard]] bool isOpen() const { return mFd >= 0; }
    [[nodiscard]] uint32_t getDataBytes() const { return mDataBytes; }

    static constexpr const char *DEFAULT_NAME = "aura_output.wav";

private:
    [[nodiscard]] unsigned int headerBytes() const;
    [[nodiscard]] bool writeHeader(uint32_t dataBytes);
    [[nodiscard]] bool writeAll(const void *data, unsigned int bytes, unsigned int *written);

    int mFd = -1;
    bool mFloat = false;
    int mChannels = 0;
    int mRate = 0;
    unsigned int mFrameBytes = 0;
    uint32_t mDataBytes = 0;
    uint32_t mMaxDataBytes = 0;
    AURA_RESULT mError = AURA_OK;
};

// Adds a WAV file to a buffered output: every mixed block is written to it.
template <class Base>
class OutputWavFile : public Base {
public:
    ~OutputWavFile() override;

    AURA_RESULT init(DSPMixer *system, OutputFormat &format, void *extradriverdata) override;
    // Stops mixing first, so the file is complete when its header is fixed.
    AURA_RESULT close() override;

    [[nodiscard]] const WavFile &getFile() const { return mFile; }

protected:
    AURA_RESULT writeBlock(const void *data, unsigned int bytes, unsigned int frames) override;

private:
    WavFile mFile;
};

// The registry records of the WAV writers: empty until getDescriptionEx
// fills them.
extern AURA_OUTPUT_DESCRIPTION_EX wavwriteroutput;
extern AURA_OUTPUT_DESCRIPTION_EX wavwriteroutput_nrt;

// In real time, on a mixer thread paced like the no-sound output.
class OutputWavWriter final : public OutputWavFile<OutputNoSound> {
public:
    static AURA_OUTPUT_DESCRIPTION_EX *getDescriptionEx();
    [[nodiscard]] const char *getName() const override { return "wavwriter"; }
};

// One block per update on the caller's thread.
class OutputWavWriterNRT final : public OutputWavFile<OutputNoSoundNRT> {
public:
    static AURA_OUTPUT_DESCRIPTION_EX *getDescriptionEx();
    [[nodiscard]] const char *getName() const override { return "wavwriter_nrt"; }
};

extern template class OutputWavFile<OutputNoSound>;
extern template class OutputWavFile<OutputNoSoundNRT>;

} // namespace AURA

#endif // AURA_OUTPUT_WAVWRITER_H
