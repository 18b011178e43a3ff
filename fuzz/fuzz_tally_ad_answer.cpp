// Parses the input as an ads answer into a fresh parser, with a file cache
// and image cache under a private directory, so images are decoded and
// stored and the end-of-message chunk archives the parser. The walk must
// end, stay inside the body and keep allocations within the image caps; the
// archive it writes must read back to the same archive, and every lookup
// must answer without fault.
#include "platform/files.h"
#include "tally/TallyAdParser.h"
#include "tally/TallyAdServing.h"
#include "tally/TallyCaches.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

namespace {

void require(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void setUpOnce()
{
    static const bool ready = [] {
        char pattern[] = "/tmp/fuzz-tally-ads-XXXXXX";
        const char *dir = ::mkdtemp(pattern);
        require(dir != nullptr);
        platform::setApplicationRoot(dir);
        tally::TallyFileCache::createInstanceWithApiKey("fuzz");
        return true;
    }();
    (void)ready;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    setUpOnce();
    tally::TallyImageCache::recreateInstanceWithFileCache(tally::TallyFileCache::instance());
    tally::TallyAdAssignment::recreateInstance();
    const auto parser = tally::TallyAdParser::recreateInstance();
    parser->parseData(std::span(data, size));
    // An answer past the caps is refused whole: not parsed, nothing kept.
    const bool refused = size > 0 && parser->adParsingPhase() == 0;
    require(parser->adParsingPhase() == (size > 0 && !refused ? 1 : 0));
    require(!refused || (parser->hookNames().empty() && parser->adBlockIds().empty()));
    require(parser->hookNames().size() <= tally::TallyAdParser::kMaxHooks);
    require(parser->imageCodes().size() <= tally::TallyAdParser::kMaxImageCodes);
    require(parser->decodedImageBytes() <= tally::TallyAdParser::kMaxDecodedImageBytes);

    const platform::PlistValue archived = parser->encodeWithCoder();
    require(tally::TallyAdParser::initWithCoder(archived)->encodeWithCoder() == archived);

    for (const std::string &name : parser->hookNames()) {
        (void)parser->adWithHook(name, std::string("<UIView: 0x1>"));
        (void)parser->hookWithName(name);
    }
    for (const auto &[code, id] : parser->imageCodes())
        (void)parser->getImageWithCode(code);
    for (const auto id : parser->imageIds()) {
        if (const auto image = parser->getImage(id)) {
            require(image->rgba.size() == std::size_t{image->width} * image->height * 4);
        }
    }
    require(parser->decodedImageBytes() <= tally::TallyAdParser::kMaxDecodedImageBytes);
    return 0;
}
