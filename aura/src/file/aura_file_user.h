// A file whose every operation goes to the application's callbacks.
#ifndef AURA_FILE_USER_H
#define AURA_FILE_USER_H

#include "file/aura_file.h"

namespace AURA {

class UserFile : public File {
public:
    // The file's own callbacks; a kind left null falls back to the system's.
    void setCallbacks(const FileCallbacks &callbacks) { mCallbacks = callbacks; }

    AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker) override;
    AURA_RESULT reallyOpen(const char *name, unsigned int *filesize) override;
    AURA_RESULT reallyClose() override;
    AURA_RESULT reallyRead(void *buffer, unsigned int size, unsigned int *read) override;
    AURA_RESULT reallySeek(unsigned int position) override;
    AURA_RESULT reallyCancel() override;
    AURA_RESULT reallyAsyncRead(AURA_ASYNCREADINFO *info) override;

private:
    template <class F>
    F pick(F own, F FileCallbacks::*kind) const
    {
        if (own) {
            return own;
        }
        return mSettings ? mSettings->callbacks.*kind : nullptr;
    }

    FileCallbacks mCallbacks;
    void *mUserHandle = nullptr;
    void *mUserHandleData = nullptr;
};

} // namespace AURA

#endif // AURA_FILE_USER_H
