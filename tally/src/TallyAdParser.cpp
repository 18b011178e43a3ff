#include "tally/TallyAdParser.h"

#include "platform/keyed_archive.h"
#include "tally/TallyCaches.h"
#include "tally/TallyUtil.h"

#include <mutex>

namespace tally {
namespace {

std::mutex gParserMutex;
std::shared_ptr<TallyAdParser> gCurrent;
std::shared_ptr<TallyAdParser> gOld;

} // namespace

std::shared_ptr<TallyAdParser> TallyAdParser::instance()
{
    std::lock_guard lock(gParserMutex);
    if (!gCurrent) gCurrent = std::make_shared<TallyAdParser>();
    return gCurrent;
}

std::shared_ptr<TallyAdParser> TallyAdParser::recreateInstance()
{
    tallyDebug([] { return std::string("Tally: recreate current TallyAdParser"); });
    {
        std::lock_guard lock(gParserMutex);
        gCurrent.reset();
    }
    return instance();
}

std::shared_ptr<TallyAdParser> TallyAdParser::oldInstance()
{
    std::lock_guard lock(gParserMutex);
    if (!gOld) {
        if (const auto fileCache = TallyFileCache::instance()) {
            if (const auto archived = fileCache->get("adParser")) {
                try {
                    gOld = initWithCoder(*archived);
                } catch (const platform::ArchiveError &) {
                    gOld.reset(); // a damaged archive serves no ads
                }
            }
        }
    }
    return gOld;
}

std::shared_ptr<TallyAdParser> TallyAdParser::recreateOldInstance()
{
    tallyDebug([] { return std::string("Tally: recreate old TallyAdParser"); });
    {
        std::lock_guard lock(gParserMutex);
        gOld.reset();
    }
    return oldInstance();
}

bool TallyAdParser::isAdParserFinished() { return instance()->adParsingPhase() > 0; }

platform::PlistValue TallyAdParser::encodeWithCoder() const
{
    tallyDebug([] { return std::string("Tally: Encode TallyAdParser"); });
    platform::KeyedArchiver coder("TallyAdParser");
    coder.encodeObject("versionId", versionId);
    coder.encodeObject("adBlockMap", adBlockMap);
    coder.encodeObject("canvasMap", canvasMap);
    coder.encodeObject("hookMap", hookMap);
    coder.encodeObject("themeMap", themeMap);
    coder.encodeObject("imageCodeMap", imageCodeMap);
    coder.encodeInt("adParsingPhase", adParsingPhase());
    return platform::PlistValue(coder.take());
}

std::shared_ptr<TallyAdParser> TallyAdParser::initWithCoder(const platform::PlistValue &archived)
{
    const platform::KeyedUnarchiver coder(archived, "TallyAdParser");
    auto parser = std::make_shared<TallyAdParser>();
    auto take = [&](const char *key) {
        const auto *value = coder.decodeObject(key);
        return value != nullptr ? *value : platform::PlistValue();
    };
    parser->versionId = take("versionId");
    parser->adBlockMap = take("adBlockMap");
    parser->canvasMap = take("canvasMap");
    parser->hookMap = take("hookMap");
    parser->themeMap = take("themeMap");
    parser->imageCodeMap = take("imageCodeMap");
    parser->setAdParsingPhase(coder.decodeInt("adParsingPhase"));
    return parser;
}

bool TallyAdParser::saveToFileCache() const
{
    const auto fileCache = TallyFileCache::instance();
    return fileCache && fileCache->save(encodeWithCoder(), "adParser").has_value();
}

} // namespace tally
