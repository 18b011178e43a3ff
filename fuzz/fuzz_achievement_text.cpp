// The achievement list's stored text: reading any bytes, merging what was
// read, and writing the list again must never fail or grow the list.
#include <merix/AchievementManager.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const auto read = AchievementManager::ReadDBString(text);
    int number = 0;
    for (const auto &a : read) {
        if (a.number != number++)
            std::abort();
    }
    AchievementManager *list = AchievementManager::GetInstance();
    list->InitializeToAllLocked();
    list->DeserializeFromDBString(text);
    if (list->records().size() != static_cast<std::size_t>(kAchievementCount))
        std::abort();
    const std::string written = list->SerializeToDBString();
    // What was written reads back as the same 25 values.
    if (AchievementManager::ReadDBString(written).size() != static_cast<std::size_t>(kAchievementCount))
        std::abort();
    return 0;
}
