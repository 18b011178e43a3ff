#include "tally/TallyHeartBeater.h"

#include "platform/notifications.h"

#include <atomic>
#include <mutex>

namespace tally {
namespace {

std::mutex gInstanceMutex;
std::atomic<TallyHeartBeater *> gInstance{nullptr};

} // namespace

TallyHeartBeater *TallyHeartBeater::createAndStartInstance(double seconds)
{
    std::lock_guard lock(gInstanceMutex);
    if (gInstance.load() == nullptr) {
        // Lives for the rest of the process, like the timer it owns.
        auto *beater = new TallyHeartBeater();
        beater->start(seconds);
        gInstance.store(beater);
    }
    return gInstance.load();
}

TallyHeartBeater *TallyHeartBeater::instance() { return gInstance.load(); }

void TallyHeartBeater::start(double seconds)
{
    if (mTimer != 0) platform::RunLoop::main().cancelTimer(mTimer);
    mInterval = seconds;
    mTimer = platform::RunLoop::main().addRepeatingTimer(seconds, [this] { heartBeat(); });
}

void TallyHeartBeater::heartBeat() { platform::NotificationCenter::defaultCenter().post(kTallyHeartBeatNotification); }

TallyHeartBeater::~TallyHeartBeater()
{
    if (mTimer != 0) platform::RunLoop::main().cancelTimer(mTimer);
}

} // namespace tally
