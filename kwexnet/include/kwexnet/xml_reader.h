// A forward-only XML pull reader over a byte range, the owned character
// buffer it keeps its texts in, and the host lookup used for request headers.
//
// The reader knows elements, attributes, text, whitespace runs and the XML
// declaration; it decodes no entities and reads no comments, CDATA or
// namespaces. Every read is bounded by the end of the given range: the
// document need not be zero-terminated.
#ifndef KWEXNET_XML_READER_H
#define KWEXNET_XML_READER_H

#include <cstddef>
#include <memory>
#include <string>

namespace KwexNet {
namespace String {

// An owned, zero-terminated character array that only grows. A string that
// was never set holds no array at all ("unset"); reading it gives "".
template <typename T>
class stringbase {
public:
    stringbase() = default;
    stringbase(const stringbase &other);
    stringbase(stringbase &&other) noexcept;
    stringbase &operator=(const stringbase &other);
    stringbase &operator=(stringbase &&other) noexcept;
    stringbase &operator=(const T *text);
    ~stringbase() = default;

    // A null text gives the empty string.
    void setString(const T *text);
    // Copies exactly `length` characters and terminates them.
    void setString(const T *text, unsigned long length);
    // Copies [begin, end); an inverted or null range gives the empty string.
    void setString(const T *begin, const T *end);
    // Copies a zero-terminated text with its terminator.
    void copy(const T *text);

    // Three-way comparison (-1, 0, 1) over the characters taken as signed.
    // A null text is below every set string and equal to an unset one; an
    // unset string is below every non-null text.
    [[nodiscard]] int compare(const T *text) const;
    // An unset string equals only a null or empty text.
    [[nodiscard]] bool operator==(const T *text) const;

    // Characters before the terminator; 0 for a null text.
    [[nodiscard]] static unsigned long length(const T *text);

    // Never null: an unset string reads as "".
    [[nodiscard]] const T *c_str() const;
    [[nodiscard]] bool isSet() const { return static_cast<bool>(mString); }
    [[nodiscard]] unsigned long capacity() const { return mCapacity; }

private:
    void assign(const T *text, unsigned long length);

    std::unique_ptr<T[]> mString;
    unsigned long mCapacity = 0; // characters, not counting the terminator
};

extern template class stringbase<char>;

class XmlReader {
public:
    enum NodeType : int {
        kNodeNone = 0,
        kNodeElement = 1,
        kNodeText = 3,
        kNodeWhitespace = 13,
        kNodeEndElement = 15,
        kNodeXmlDeclaration = 17,
    };

    struct Attribute {
        Attribute *next = nullptr;
        stringbase<char> name;
        stringbase<char> value;
    };

    // A start tag with more attributes than this cannot be read: no reply
    // needs more than a handful, and each one costs far more in memory than
    // its few bytes on the wire.
    static constexpr unsigned long kMaxAttributes = 64;

    // The document is not copied: it must outlive the reader. A null
    // document reads as an empty one.
    XmlReader(const char *document, unsigned long length);
    ~XmlReader();
    XmlReader(const XmlReader &) = delete;
    XmlReader &operator=(const XmlReader &) = delete;

    // Reads the next node. False at the end of the document or on markup it
    // cannot read (a start tag past kMaxAttributes included); the node type
    // is then kNodeNone and the cursor stays where the scan stopped.
    bool Read();

    // A copy of the value of the attribute named `name` on the current start
    // tag (the last one written when the tag repeats a name); "" when absent.
    [[nodiscard]] stringbase<char> GetAttribute(const char *name) const;
    // The same value without a copy; nullptr when absent.
    [[nodiscard]] const stringbase<char> *findAttribute(const char *name) const;
    // Pushes an attribute at the front of the list.
    void AddAttribute(const char *nameBegin, const char *nameEnd, const char *valueBegin,
                      const char *valueEnd);

    [[nodiscard]] int getNodeType() const { return mNodeType; }
    // Element name for start and end tags.
    [[nodiscard]] const stringbase<char> &getName() const { return mName; }
    // Text of text, whitespace and declaration nodes.
    [[nodiscard]] const stringbase<char> &getValue() const { return mValue; }
    // True when the current start tag ended with "/>".
    [[nodiscard]] bool isEmptyElement() const { return mEmptyElement; }
    [[nodiscard]] unsigned long getAttributeCount() const { return mAttributeCount; }
    // Bytes consumed so far.
    [[nodiscard]] unsigned long getOffset() const;

private:
    bool fail();
    bool readMarkup();
    bool readEndTag(const char *p);
    bool readDeclaration(const char *p);
    bool readStartTag(const char *p);
    void clearAttributes();

    const char *mBegin;
    const char *mCursor;
    const char *mEnd;
    Attribute *mAttributes = nullptr;
    unsigned long mAttributeCount = 0;
    int mNodeType = kNodeNone;
    stringbase<char> mName;
    stringbase<char> mValue;
    bool mEmptyElement = false;
};

} // namespace String

namespace Encode {
namespace URL {

// Assigns the host of `url` (no scheme, user, port or path) to `host`. An
// IPv6 literal keeps its brackets, as a Host header needs them. A null text,
// a text without "scheme://" or one with an empty host gives "" and false.
bool getHostNameFromURL(std::string &host, const char *url);

} // namespace URL
} // namespace Encode
} // namespace KwexNet

#endif // KWEXNET_XML_READER_H
