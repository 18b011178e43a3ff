// The pull reader, its string buffer and the URL host lookup. Documents are
// copied into heap buffers of exactly their length, with no terminator, so
// that AddressSanitizer catches any read past the end.
#include "kwexnet/xml_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using KwexNet::String::stringbase;
using KwexNet::String::XmlReader;

class ExactBuffer {
public:
    explicit ExactBuffer(const std::string &text) : mSize(text.size()), mData(new char[text.size()])
    {
        std::memcpy(mData.get(), text.data(), text.size());
    }
    [[nodiscard]] const char *data() const { return mData.get(); }
    [[nodiscard]] unsigned long size() const { return mSize; }

private:
    unsigned long mSize;
    std::unique_ptr<char[]> mData;
};

struct Node {
    int type;
    std::string name;
    std::string value;
    bool empty;
    friend bool operator==(const Node &, const Node &) = default;
};

void PrintTo(const Node &n, std::ostream *os)
{
    *os << "{" << n.type << ", \"" << n.name << "\", \"" << n.value << "\", " << n.empty << "}";
}

// Every node up to the first false Read.
std::vector<Node> readAll(const std::string &text)
{
    ExactBuffer buffer(text);
    XmlReader reader(buffer.data(), buffer.size());
    std::vector<Node> nodes;
    while (reader.Read()) {
        nodes.push_back({reader.getNodeType(), reader.getName().c_str(), reader.getValue().c_str(),
                         reader.isEmptyElement()});
    }
    EXPECT_EQ(reader.getNodeType(), XmlReader::kNodeNone);
    return nodes;
}

constexpr int kElement = XmlReader::kNodeElement;
constexpr int kText = XmlReader::kNodeText;
constexpr int kSpace = XmlReader::kNodeWhitespace;
constexpr int kEnd = XmlReader::kNodeEndElement;
constexpr int kDecl = XmlReader::kNodeXmlDeclaration;

const std::string kReply = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<appserver>\r\n\t<result id=\"0\"/>\n"
                           "<session_id>ab12</session_id>"
                           "<user_name>Jo &amp; Mo</user_name>\n"
                           "<server type='https' host=\"h.example/x/\" />"
                           "</appserver >";

TEST(XmlReaderNodes, ReadsATypicalReplyNodeByNode)
{
    const std::vector<Node> expected = {
        {kDecl, "", " version=\"1.0\" encoding=\"UTF-8\"", false},
        {kSpace, "", "\n", false},
        {kElement, "appserver", "", false},
        {kSpace, "", "\r\n\t", false},
        {kElement, "result", "", true},
        {kSpace, "", "\n", false},
        {kElement, "session_id", "", false},
        {kText, "", "ab12", false},
        {kEnd, "session_id", "", false},
        {kElement, "user_name", "", false},
        {kText, "", "Jo &amp; Mo", false}, // entities stay as written
        {kEnd, "user_name", "", false},
        {kSpace, "", "\n", false},
        {kElement, "server", "", true},
        {kEnd, "appserver", "", false}, // a space before ">" is allowed
    };
    EXPECT_EQ(readAll(kReply), expected);
}

TEST(XmlReaderNodes, TextRunsToTheNextTagAndTrailingTextIsNoNode)
{
    EXPECT_TRUE(readAll("abc").empty());
    EXPECT_EQ(readAll("<a>two words</a>"),
              (std::vector<Node>{{kElement, "a", "", false},
                                 {kText, "", "two words", false},
                                 {kEnd, "a", "", false}}));
    // Text with no "<" after it ends the document.
    EXPECT_EQ(readAll("<a>x</a>tail"),
              (std::vector<Node>{{kElement, "a", "", false},
                                 {kText, "", "x", false},
                                 {kEnd, "a", "", false}}));
    // Whitespace at the very end is still a node.
    EXPECT_EQ(readAll("<a/> \t"),
              (std::vector<Node>{{kElement, "a", "", true}, {kSpace, "", " \t", false}}));
}

TEST(XmlReaderNodes, EmptyElementTagsHaveNoEndNode)
{
    EXPECT_EQ(readAll("<a/><b x='1'/><c></c>"),
              (std::vector<Node>{{kElement, "a", "", true},
                                 {kElement, "b", "", true},
                                 {kElement, "c", "", false},
                                 {kEnd, "c", "", false}}));
}

TEST(XmlReaderNodes, FlagAndTextsAreResetForEveryNode)
{
    ExactBuffer buffer("<a/>text<b>");
    XmlReader reader(buffer.data(), buffer.size());
    ASSERT_TRUE(reader.Read());
    EXPECT_TRUE(reader.isEmptyElement());
    ASSERT_TRUE(reader.Read());
    EXPECT_EQ(reader.getNodeType(), kText);
    EXPECT_FALSE(reader.isEmptyElement());
    EXPECT_STREQ(reader.getName().c_str(), "");
    EXPECT_STREQ(reader.getValue().c_str(), "text");
}

TEST(XmlReaderAttributes, QuotesRepeatsAndAbsentNames)
{
    ExactBuffer buffer("<e a='1' b=\"1\" q='say \"hi\"' r=\"it's\" a=\"2\" s =  'x'  >");
    XmlReader reader(buffer.data(), buffer.size());
    ASSERT_TRUE(reader.Read());
    EXPECT_EQ(reader.getNodeType(), kElement);
    EXPECT_FALSE(reader.isEmptyElement());
    EXPECT_EQ(reader.getAttributeCount(), 6u);
    EXPECT_STREQ(reader.GetAttribute("b").c_str(), "1");
    EXPECT_STREQ(reader.GetAttribute("q").c_str(), "say \"hi\"");
    EXPECT_STREQ(reader.GetAttribute("r").c_str(), "it's");
    // The later of two equal names wins.
    EXPECT_STREQ(reader.GetAttribute("a").c_str(), "2");
    // Spaces before "=" belong to the name; spaces after it are skipped.
    EXPECT_STREQ(reader.GetAttribute("s ").c_str(), "x");
    EXPECT_STREQ(reader.GetAttribute("s").c_str(), "");
    EXPECT_STREQ(reader.GetAttribute("missing").c_str(), "");
    EXPECT_STREQ(reader.GetAttribute(nullptr).c_str(), "");
    // The next node drops the list.
    EXPECT_FALSE(reader.Read());
    EXPECT_EQ(reader.getAttributeCount(), 0u);
    EXPECT_STREQ(reader.GetAttribute("b").c_str(), "");
}

TEST(XmlReaderAttributes, AddAttributePushesAtTheFront)
{
    XmlReader reader(nullptr, 0);
    const char text[] = "kv1v2";
    reader.AddAttribute(text, text + 1, text + 1, text + 3);
    reader.AddAttribute(text, text + 1, text + 3, text + 5);
    EXPECT_EQ(reader.getAttributeCount(), 2u);
    EXPECT_STREQ(reader.GetAttribute("k").c_str(), "v2");
    EXPECT_FALSE(reader.Read());
}

TEST(XmlReaderMalformed, EachBadConstructFailsWithNodeTypeNone)
{
    const char *bad[] = {
        "<",            "<ab",          "</a",         "</ a>",     "</a x>",    "<a x=1>",
        "<a x>",        "<a x='1>",     "<a x=\"1'>",  "<a/ >",     "<a  ",      "<a/",
        "<?xm version?>", "<?xml?>",    "<?xml a",     "<?xmlfoo?>", "<!-- c -->", "<a x='1'/ >",
        "<?x",
    };
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(readAll(text).empty());
    }
}

TEST(XmlReaderMalformed, ShortTagsNeedThreeBytesAfterTheBracket)
{
    EXPECT_TRUE(readAll("<a>").empty());
    EXPECT_EQ(readAll("<a>b"), (std::vector<Node>{{kElement, "a", "", false}}));
    EXPECT_EQ(readAll("</a>"), (std::vector<Node>{{kEnd, "a", "", false}}));
    EXPECT_TRUE(readAll("</>").empty());
}

TEST(XmlReaderMalformed, EveryPrefixReadsAPrefixOfTheNodes)
{
    // A cut document yields the nodes before the cut, except that a
    // whitespace run may come out shorter; nothing else is invented.
    const auto full = readAll(kReply);
    for (std::size_t cut = 0; cut <= kReply.size(); ++cut) {
        SCOPED_TRACE(cut);
        const auto nodes = readAll(kReply.substr(0, cut));
        ASSERT_LE(nodes.size(), full.size());
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (i + 1 == nodes.size() && nodes[i].type == kSpace) {
                EXPECT_EQ(full[i].type, kSpace);
                EXPECT_EQ(full[i].value.rfind(nodes[i].value, 0), 0u);
            } else {
                EXPECT_EQ(nodes[i], full[i]);
            }
        }
        if (cut == kReply.size()) {
            EXPECT_EQ(nodes, full);
        }
    }
}

TEST(XmlReaderMalformed, NeverReadsPastTheGivenLengthInsideALargerBuffer)
{
    // The bytes after the given length would complete each construct.
    const std::string text = "<a x='1'/><b>t</b>";
    for (std::size_t cut = 0; cut < text.size(); ++cut) {
        XmlReader reader(text.data(), cut);
        unsigned long count = 0;
        while (reader.Read()) {
            ++count;
            EXPECT_LE(reader.getOffset(), cut);
        }
        EXPECT_LE(reader.getOffset(), cut);
        EXPECT_LT(count, 4u) << cut;
    }
}

TEST(XmlReaderMalformed, HugeAttributeListsAreRefused)
{
    std::string text = "<a";
    for (int i = 0; i < 200000; ++i) {
        text += " k='v'";
    }
    text += "/>";
    ExactBuffer buffer(text);
    XmlReader reader(buffer.data(), buffer.size());
    EXPECT_FALSE(reader.Read());
    EXPECT_EQ(reader.getNodeType(), XmlReader::kNodeNone);
    EXPECT_LE(reader.getAttributeCount(), XmlReader::kMaxAttributes);
}

TEST(XmlStringBase, SetCopyAndGrowOnly)
{
    stringbase<char> s;
    EXPECT_FALSE(s.isSet());
    EXPECT_STREQ(s.c_str(), "");
    s.setString("hello");
    EXPECT_STREQ(s.c_str(), "hello");
    EXPECT_EQ(s.capacity(), 5u);
    s.setString("abc", 2);
    EXPECT_STREQ(s.c_str(), "ab");
    EXPECT_EQ(s.capacity(), 5u); // shorter texts reuse the array
    const char range[] = "0123456789";
    s.setString(range + 2, range + 9);
    EXPECT_STREQ(s.c_str(), "2345678");
    EXPECT_EQ(s.capacity(), 7u);
    s.setString(range + 5, range + 2);
    EXPECT_STREQ(s.c_str(), "");
    s = static_cast<const char *>(nullptr);
    EXPECT_TRUE(s.isSet());
    EXPECT_STREQ(s.c_str(), "");

    s.copy("wxyz");
    s.setString(s.c_str() + 1); // from its own array
    EXPECT_STREQ(s.c_str(), "xyz");

    stringbase<char> copy(s);
    s.setString("changed");
    EXPECT_STREQ(copy.c_str(), "xyz");
    copy = s;
    EXPECT_STREQ(copy.c_str(), "changed");
    stringbase<char> unset;
    copy = unset;
    EXPECT_STREQ(copy.c_str(), "");

    EXPECT_EQ(stringbase<char>::length(nullptr), 0u);
    EXPECT_EQ(stringbase<char>::length("four"), 4u);
}

TEST(XmlStringBase, CompareAndEquality)
{
    stringbase<char> unset;
    stringbase<char> empty;
    empty.setString("");
    stringbase<char> b;
    b.setString("b");

    EXPECT_EQ(unset.compare(nullptr), 0);
    EXPECT_EQ(unset.compare(""), -1);
    EXPECT_EQ(empty.compare(nullptr), 1);
    EXPECT_EQ(empty.compare(""), 0);
    EXPECT_EQ(b.compare("a"), 1);
    EXPECT_EQ(b.compare("c"), -1);
    EXPECT_EQ(b.compare("b"), 0);
    EXPECT_EQ(b.compare("bb"), -1);
    // Signed characters: a byte of 0x80 or more sorts before ASCII.
    EXPECT_EQ(b.compare("\x80"), 1);

    EXPECT_TRUE(unset == nullptr);
    EXPECT_TRUE(unset == "");
    EXPECT_FALSE(unset == "b");
    EXPECT_TRUE(empty == "");
    EXPECT_FALSE(empty == nullptr);
    EXPECT_TRUE(b == "b");
    EXPECT_FALSE(b == "B");
}

TEST(XmlUrlHostName, HostWithoutSchemeUserPortOrPath)
{
    struct Case {
        const char *url;
        const char *host;
    };
    const Case cases[] = {
        {"https://cdn.example.net/boards/1.xml", "cdn.example.net"},
        {"http://cdn.example.net:8080/x?y#z", "cdn.example.net"},
        {"http://user:pw@Cdn.Example.net:81", "Cdn.Example.net"},
        {"http://host?q=a/b", "host"},
        {"https://[2001:db8::1]:443/p", "[2001:db8::1]"},
        {"svn+ssh://h.example/", "h.example"},
    };
    for (const auto &c : cases) {
        std::string host = "old";
        EXPECT_TRUE(KwexNet::Encode::URL::getHostNameFromURL(host, c.url)) << c.url;
        EXPECT_EQ(host, c.host);
    }
    const char *noHost[] = {nullptr, "", "cdn.example.net/boards", "://x/", "1http://x/",
                            "http:///path", "http://:80/", "http://[::1/", "http://[::1]x/",
                            "ht tp://x/"};
    for (const char *url : noHost) {
        std::string host = "old";
        EXPECT_FALSE(KwexNet::Encode::URL::getHostNameFromURL(host, url)) << (url ? url : "null");
        EXPECT_EQ(host, "");
    }
}

} // namespace
