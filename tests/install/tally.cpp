// Uses the installed tally: the report encodings and the URL builder.
#include <tally/TallyHTTP.h>
#include <tally/TallyProtocolData.h>

#include <cstdio>

int main()
{
    tally::Bytes data;
    tally::TallyProtocolData::appendUshort(0x0102, data);
    tally::TallyProtocolData::appendInt(-2, data);
    const tally::Bytes expected{0x01, 0x02, 0xff, 0xff, 0xff, 0xfe};
    const std::string url =
        tally::TallyHTTPEater::urlWithProtocol("https", "example.com", 8443, "aap.do", tally::TallyQuery{{"k", "v"}});
    if (data != expected || url != "https://example.com:8443/aap.do?k=v") {
        std::fprintf(stderr, "tally: %zu bytes, url %s\n", data.size(), url.c_str());
        return 1;
    }
    std::puts("tally: ok");
    return 0;
}
