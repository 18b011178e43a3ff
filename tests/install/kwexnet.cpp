// Uses the installed kwexnet: the XML pull reader over a login reply.
#include <kwexnet/xml_reader.h>

#include <cstdio>
#include <cstring>
#include <string>

int main()
{
    const char *reply = "<appserver><result id=\"0\"/><session_id>00c0ffee</session_id></appserver>";
    KwexNet::String::XmlReader reader(reply, std::strlen(reply));
    std::string result, session, element;
    while (reader.Read()) {
        if (reader.getNodeType() == KwexNet::String::XmlReader::kNodeElement) {
            element = reader.getName().c_str();
            if (element == "result")
                result = reader.GetAttribute("id").c_str();
        } else if (reader.getNodeType() == KwexNet::String::XmlReader::kNodeText && element == "session_id") {
            session = reader.getValue().c_str();
        }
    }
    if (result != "0" || session != "00c0ffee") {
        std::fprintf(stderr, "kwexnet: result '%s', session '%s'\n", result.c_str(), session.c_str());
        return 1;
    }
    std::puts("kwexnet: ok");
    return 0;
}
