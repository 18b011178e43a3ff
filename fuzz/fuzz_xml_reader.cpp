// Reads the input as an XML document to its end, and as a URL. The input
// buffer is exactly the input's size, so any read past it is caught.
//
// Traps when a successful Read does not move forward, when the reader claims
// to have consumed more than it was given, or when a node type is not one
// the reader defines.
#include "kwexnet/xml_reader.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using KwexNet::String::XmlReader;
    const auto *text = reinterpret_cast<const char *>(data);
    XmlReader reader(text, size);
    unsigned long before = 0;
    while (reader.Read()) {
        const unsigned long now = reader.getOffset();
        require(now > before && now <= size);
        before = now;
        switch (reader.getNodeType()) {
        case XmlReader::kNodeElement: {
            // Look up a few names, including the one the element carries.
            const auto value = reader.GetAttribute("id");
            require(value.c_str() != nullptr);
            (void)reader.GetAttribute(reader.getName().c_str());
            require(reader.getAttributeCount() < size);
            require(reader.getAttributeCount() <= XmlReader::kMaxAttributes);
            break;
        }
        case XmlReader::kNodeText:
        case XmlReader::kNodeWhitespace:
        case XmlReader::kNodeEndElement:
        case XmlReader::kNodeXmlDeclaration:
            require(reader.getAttributeCount() == 0);
            break;
        default:
            require(false);
        }
    }
    require(reader.getNodeType() == XmlReader::kNodeNone);

    const std::string url(text, size);
    std::string host;
    if (KwexNet::Encode::URL::getHostNameFromURL(host, url.c_str())) {
        require(!host.empty() && host.size() < size);
    }
    return 0;
}
