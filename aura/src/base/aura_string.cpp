#include "base/aura_string.h"

#include "base/aura_memory.h"

#include <cstring>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_string";

constexpr unsigned char toUpper(unsigned char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

constexpr unsigned char toLower(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

const char *orEmpty(const char *s)
{
    return s ? s : "";
}
} // namespace

char *AURA_strcpy(char *dest, const char *src)
{
    if (!dest) {
        return dest;
    }
    src = orEmpty(src);
    char *out = dest;
    while ((*out++ = *src++) != '\0') {
    }
    return dest;
}

char *AURA_strncpy(char *dest, const char *src, int len)
{
    if (!dest || len <= 0) {
        return dest;
    }
    src = orEmpty(src);
    int i = 0;
    for (; i < len && src[i] != '\0'; ++i) {
        dest[i] = src[i];
    }
    for (; i < len; ++i) {
        dest[i] = '\0';
    }
    return dest;
}

int AURA_strcmp(const char *a, const char *b)
{
    const auto *pa = reinterpret_cast<const unsigned char *>(orEmpty(a));
    const auto *pb = reinterpret_cast<const unsigned char *>(orEmpty(b));
    while (*pa && *pa == *pb) {
        ++pa;
        ++pb;
    }
    return static_cast<int>(*pa) - static_cast<int>(*pb);
}

int AURA_strncmp(const char *a, const char *b, int len)
{
    const auto *pa = reinterpret_cast<const unsigned char *>(orEmpty(a));
    const auto *pb = reinterpret_cast<const unsigned char *>(orEmpty(b));
    for (int i = 0; i < len; ++i) {
        if (pa[i] != pb[i] || pa[i] == '\0') {
            return static_cast<int>(pa[i]) - static_cast<int>(pb[i]);
        }
    }
    return 0;
}

int AURA_strnicmp(const char *a, const char *b, int len)
{
    const auto *pa = reinterpret_cast<const unsigned char *>(orEmpty(a));
    const auto *pb = reinterpret_cast<const unsigned char *>(orEmpty(b));
    for (int i = 0; i < len; ++i) {
        const unsigned char ca = toLower(pa[i]);
        const unsigned char cb = toLower(pb[i]);
        if (ca != cb || ca == '\0') {
            return static_cast<int>(ca) - static_cast<int>(cb);
        }
    }
    return 0;
}

int AURA_strlen(const char *s)
{
    return static_cast<int>(std::strlen(orEmpty(s)));
}

char *AURA_strdup(const char *s)
{
    if (!s) {
        return nullptr;
    }
    const std::size_t len = std::strlen(s);
    if (len >= static_cast<std::size_t>(AURA::MemPool::MAX_SIZE)) {
        return nullptr;
    }
    auto *copy = static_cast<char *>(AURA_Memory_Alloc(static_cast<int>(len + 1)));
    if (copy) {
        std::memcpy(copy, s, len + 1);
    }
    return copy;
}

char *AURA_strupr(char *s)
{
    if (!s) {
        return s;
    }
    for (auto *p = reinterpret_cast<unsigned char *>(s); *p; ++p) {
        *p = toUpper(*p);
    }
    return s;
}

int AURA_memcmp(const void *a, const void *b, unsigned int len)
{
    if (len == 0) {
        return 0;
    }
    const auto *pa = static_cast<const unsigned char *>(a);
    const auto *pb = static_cast<const unsigned char *>(b);
    for (unsigned int i = 0; i < len; ++i) {
        if (pa[i] != pb[i]) {
            return static_cast<int>(pa[i]) - static_cast<int>(pb[i]);
        }
    }
    return 0;
}
