// Built outside the tree against the installed library's CMake package.
#include <aura.h>
#include <aura_errors.h>

#include <cstdio>
#include <string_view>

int main()
{
    const std::string_view message = AURA_ErrorString(AURA_ERR_MEMORY);
    if (message != "Not enough memory or resources. ") {
        std::fprintf(stderr, "unexpected message: %s\n", AURA_ErrorString(AURA_ERR_MEMORY));
        return 1;
    }
    std::printf("C++ consumer: %s\n", AURA_ErrorString(AURA_OK));
    return 0;
}
