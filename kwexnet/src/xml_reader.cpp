#include "kwexnet/xml_reader.h"

#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

namespace KwexNet {
namespace String {

// ---------------------------------------------------------------------------
// stringbase

template <typename T>
stringbase<T>::stringbase(const stringbase &other)
{
    if (other.mString) {
        assign(other.mString.get(), length(other.mString.get()));
    }
}

template <typename T>
stringbase<T>::stringbase(stringbase &&other) noexcept
    : mString(std::move(other.mString)), mCapacity(std::exchange(other.mCapacity, 0))
{
}

template <typename T>
stringbase<T> &stringbase<T>::operator=(const stringbase &other)
{
    if (this != &other) {
        if (other.mString) {
            assign(other.mString.get(), length(other.mString.get()));
        } else if (mString) {
            mString[0] = T();
        }
    }
    return *this;
}

template <typename T>
stringbase<T> &stringbase<T>::operator=(stringbase &&other) noexcept
{
    if (this != &other) {
        mString = std::move(other.mString);
        mCapacity = std::exchange(other.mCapacity, 0);
    }
    return *this;
}

template <typename T>
stringbase<T> &stringbase<T>::operator=(const T *text)
{
    setString(text);
    return *this;
}

template <typename T>
void stringbase<T>::assign(const T *text, unsigned long count)
{
    if (!mString || count > mCapacity) {
        // Grows only; the source cannot lie in the old array, which is shorter.
        mString = std::make_unique<T[]>(count + 1);
        mCapacity = count;
    }
    if (count > 0) {
        // The source may be this very buffer (a suffix of it).
        std::memmove(mString.get(), text, count * sizeof(T));
    }
    mString[count] = T();
}

template <typename T>
void stringbase<T>::setString(const T *text)
{
    assign(text, length(text));
}

template <typename T>
void stringbase<T>::setString(const T *text, unsigned long count)
{
    assign(text, text ? count : 0);
}

template <typename T>
void stringbase<T>::setString(const T *begin, const T *end)
{
    if (!begin || !end || end < begin) {
        assign(nullptr, 0);
        return;
    }
    assign(begin, static_cast<unsigned long>(end - begin));
}

template <typename T>
void stringbase<T>::copy(const T *text)
{
    setString(text);
}

template <typename T>
int stringbase<T>::compare(const T *text) const
{
    if (!text) {
        return mString ? 1 : 0;
    }
    if (!mString) {
        return -1;
    }
    using Signed = std::make_signed_t<T>;
    for (const T *a = mString.get(), *b = text;; ++a, ++b) {
        const auto ca = static_cast<Signed>(*a);
        const auto cb = static_cast<Signed>(*b);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        if (ca == 0) {
            return 0;
        }
    }
}

template <typename T>
bool stringbase<T>::operator==(const T *text) const
{
    if (!mString) {
        return !text || text[0] == T();
    }
    return compare(text) == 0;
}

template <typename T>
unsigned long stringbase<T>::length(const T *text)
{
    if (!text) {
        return 0;
    }
    unsigned long n = 0;
    while (text[n] != T()) {
        ++n;
    }
    return n;
}

template <typename T>
const T *stringbase<T>::c_str() const
{
    static constexpr T kEmpty[1] = {T()};
    return mString ? mString.get() : kEmpty;
}

template class stringbase<char>;

// ---------------------------------------------------------------------------
// XmlReader

namespace {

constexpr bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Bytes left from p to the end.
inline unsigned long left(const char *p, const char *end)
{
    return p < end ? static_cast<unsigned long>(end - p) : 0;
}

} // namespace

XmlReader::XmlReader(const char *document, unsigned long length)
    : mBegin(document), mCursor(document), mEnd(document ? document + length : nullptr)
{
}

XmlReader::~XmlReader()
{
    clearAttributes();
}

void XmlReader::clearAttributes()
{
    // Iterative: a hostile tag may carry a very long list.
    while (mAttributes) {
        Attribute *next = mAttributes->next;
        delete mAttributes;
        mAttributes = next;
    }
    mAttributeCount = 0;
}

unsigned long XmlReader::getOffset() const
{
    return left(mBegin, mCursor);
}

void XmlReader::AddAttribute(const char *nameBegin, const char *nameEnd, const char *valueBegin,
                             const char *valueEnd)
{
    auto *attribute = new Attribute;
    attribute->name.setString(nameBegin, nameEnd);
    attribute->value.setString(valueBegin, valueEnd);
    attribute->next = mAttributes;
    mAttributes = attribute;
    ++mAttributeCount;
}

const stringbase<char> *XmlReader::findAttribute(const char *name) const
{
    for (const Attribute *a = mAttributes; a; a = a->next) {
        if (a->name == name) {
            return &a->value;
        }
    }
    return nullptr;
}

stringbase<char> XmlReader::GetAttribute(const char *name) const
{
    stringbase<char> result;
    if (const auto *value = findAttribute(name)) {
        result = *value;
    } else {
        result.setString("");
    }
    return result;
}

bool XmlReader::fail()
{
    mNodeType = kNodeNone;
    return false;
}

bool XmlReader::Read()
{
    mNodeType = kNodeNone;
    mEmptyElement = false;
    mName.setString("");
    mValue.setString("");
    clearAttributes();

    if (left(mCursor, mEnd) == 0) {
        return false;
    }
    const char c = *mCursor;
    if (isSpace(c)) {
        const char *p = mCursor;
        while (p < mEnd && isSpace(*p)) {
            ++p;
        }
        mValue.setString(mCursor, p);
        mCursor = p;
        mNodeType = kNodeWhitespace;
        return true;
    }
    if (c == '<') {
        return readMarkup();
    }
    const auto *lt = static_cast<const char *>(std::memchr(mCursor, '<', left(mCursor, mEnd)));
    if (!lt) {
        // Trailing text without markup after it is not a node.
        mCursor = mEnd;
        return fail();
    }
    mValue.setString(mCursor, lt);
    mCursor = lt;
    mNodeType = kNodeText;
    return true;
}

bool XmlReader::readMarkup()
{
    const char *p = mCursor + 1; // after "<"
    if (left(p, mEnd) == 0) {
        return fail();
    }
    switch (*p) {
    case '/':
        return readEndTag(p);
    case '?':
        return readDeclaration(p);
    default:
        return readStartTag(p);
    }
}

bool XmlReader::readEndTag(const char *p)
{
    if (left(p, mEnd) < 3) {
        return fail();
    }
    const char *nameBegin = p + 1;
    const char *q = nameBegin;
    while (q < mEnd && *q != '>' && !isSpace(*q)) {
        ++q;
    }
    if (q == mEnd) {
        mCursor = q;
        return fail();
    }
    const char *nameEnd = q;
    while (q < mEnd && isSpace(*q)) {
        ++q;
    }
    if (q == mEnd || *q != '>') {
        mCursor = q;
        return fail();
    }
    mName.setString(nameBegin, nameEnd);
    mCursor = q + 1;
    mNodeType = kNodeEndElement;
    return true;
}

bool XmlReader::readDeclaration(const char *p)
{
    if (left(p, mEnd) < 6 || std::memcmp(p + 1, "xml", 3) != 0) {
        return fail();
    }
    const char *q = p + 4;
    while (q < mEnd && !isSpace(*q)) {
        ++q;
    }
    if (q == mEnd) {
        mCursor = q;
        return fail();
    }
    const char *valueBegin = q;
    for (; left(q, mEnd) >= 2; ++q) {
        if (q[0] == '?' && q[1] == '>') {
            mValue.setString(valueBegin, q);
            mCursor = q + 2;
            mNodeType = kNodeXmlDeclaration;
            return true;
        }
    }
    mCursor = mEnd;
    return fail();
}

bool XmlReader::readStartTag(const char *p)
{
    if (left(p, mEnd) < 3) {
        return fail();
    }
    const char *q = p;
    while (q < mEnd && *q != '/' && *q != '>' && !isSpace(*q)) {
        ++q;
    }
    if (q == mEnd) {
        mCursor = q;
        return fail();
    }
    mName.setString(p, q);

    if (*q == '/') {
        if (left(q, mEnd) < 2 || q[1] != '>') {
            mCursor = q;
            return fail();
        }
        mEmptyElement = true;
        mCursor = q + 2;
        mNodeType = kNodeElement;
        return true;
    }
    if (*q == '>') {
        mCursor = q + 1;
        mNodeType = kNodeElement;
        return true;
    }

    // Attributes.
    for (;;) {
        while (q < mEnd && isSpace(*q)) {
            ++q;
        }
        if (q == mEnd) {
            mCursor = q;
            return fail();
        }
        if (*q == '/' && left(q, mEnd) >= 2 && q[1] == '>') {
            mEmptyElement = true;
            mCursor = q + 2;
            mNodeType = kNodeElement;
            return true;
        }
        if (*q == '>') {
            mCursor = q + 1;
            mNodeType = kNodeElement;
            return true;
        }
        // The name runs to "="; spaces before "=" are part of it.
        const char *nameBegin = q;
        while (q < mEnd && *q != '=' && *q != '>') {
            ++q;
        }
        if (q == mEnd || *q == '>') {
            mCursor = q;
            return fail();
        }
        const char *nameEnd = q++;
        while (q < mEnd && isSpace(*q)) {
            ++q;
        }
        if (q == mEnd || (*q != '"' && *q != '\'')) {
            mCursor = q;
            return fail();
        }
        const char quote = *q++;
        const char *valueBegin = q;
        const auto *close = static_cast<const char *>(std::memchr(q, quote, left(q, mEnd)));
        if (!close) {
            mCursor = mEnd;
            return fail();
        }
        if (mAttributeCount >= kMaxAttributes) {
            mCursor = q;
            return fail();
        }
        AddAttribute(nameBegin, nameEnd, valueBegin, close);
        q = close + 1;
    }
}

} // namespace String

namespace Encode {
namespace URL {

namespace {

constexpr bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

constexpr bool isSchemeChar(char c)
{
    return isAlpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

} // namespace

bool getHostNameFromURL(std::string &host, const char *url)
{
    host.clear();
    if (!url) {
        return false;
    }
    const std::string_view text(url);
    const auto colon = text.find("://");
    if (colon == std::string_view::npos || colon == 0 || !isAlpha(text[0])) {
        return false;
    }
    for (std::size_t i = 1; i < colon; ++i) {
        if (!isSchemeChar(text[i])) {
            return false;
        }
    }
    std::string_view authority = text.substr(colon + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string_view name;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        name = authority.substr(0, close + 1);
        const auto rest = authority.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return false;
        }
    } else {
        name = authority.substr(0, authority.find(':'));
    }
    if (name.empty() || name == "[]") {
        return false;
    }
    host.assign(name);
    return true;
}

} // namespace URL
} // namespace Encode
} // namespace KwexNet
