// Uses the installed bounty: the connect call's query string.
#include <bounty/BountyConnect.h>

#include <cstdio>

int main()
{
    const std::string query =
        bounty::BountyConnect::createQueryStringFromDict({{"app id", "a&b"}, {"udid", "0A-9z_.~"}});
    if (query != "app%20id=a%26b&udid=0A-9z_.~") {
        std::fprintf(stderr, "bounty: %s\n", query.c_str());
        return 1;
    }
    std::puts("bounty: ok");
    return 0;
}
