#include "platform/resources.h"

#include "platform/files.h"
#include "platform/plist.h"

#include <cstdlib>
#include <mutex>

namespace platform {
namespace {

std::mutex &resourceMutex()
{
    static std::mutex m;
    return m;
}

std::string &chosenDirectory()
{
    static std::string dir;
    return dir;
}

// A plain file name inside the directory, never a way out of it.
bool isPlainName(const std::string &name)
{
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

constexpr std::size_t kMaxResourceBytes = std::size_t{32} << 20;

} // namespace

void setResourceDirectory(const std::string &path)
{
    std::lock_guard lock(resourceMutex());
    chosenDirectory() = path;
}

std::string resourceDirectory()
{
    {
        std::lock_guard lock(resourceMutex());
        if (!chosenDirectory().empty())
            return chosenDirectory();
    }
    if (const char *env = std::getenv("AURA_RESOURCE_DIR"); env != nullptr && *env != '\0')
        return env;
    return applicationRoot() + "/Resources";
}

std::shared_ptr<const Image> imageNamed(const std::string &name)
{
    if (!isPlainName(name))
        return nullptr;
    const auto bytes = readWholeFile(resourceDirectory() + "/" + name, kMaxResourceBytes);
    if (!bytes)
        return nullptr;
    auto image = decodePng(*bytes);
    if (!image)
        return nullptr;
    return std::make_shared<const Image>(std::move(*image));
}

std::string localizedString(const std::string &key, const std::string &table)
{
    if (!isPlainName(table + ".strings"))
        return key;
    const auto bytes = readWholeFile(resourceDirectory() + "/" + table + ".strings", kMaxResourceBytes);
    if (!bytes)
        return key;
    const auto root = plistFromBytes(*bytes);
    const PlistDict *dict = root ? root->get<PlistDict>() : nullptr;
    if (dict == nullptr)
        return key;
    const auto it = dict->find(key);
    if (it == dict->end())
        return key;
    const std::string *value = it->second.get<std::string>();
    return value != nullptr ? *value : key;
}

} // namespace platform
