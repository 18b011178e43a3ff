#include "os/aura_os.h"
#include "files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using auratest::TempDir;

bool WriteFile(const std::string &path, const std::string &content)
{
    std::FILE *fp = std::fopen(path.c_str(), "wb");
    if (!fp) {
        return false;
    }
    const bool ok = std::fwrite(content.data(), 1, content.size(), fp) == content.size();
    return std::fclose(fp) == 0 && ok;
}

// Widens an ASCII path for the UTF-16 entry point.
std::u16string Widen(const std::string &ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

std::string Pattern(std::size_t size)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; i++) {
        s[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    }
    return s;
}

void *const kSentinel = reinterpret_cast<void *>(static_cast<std::uintptr_t>(0x1234));

} // namespace

TEST(OsFile, ReadsToTheEndThenReportsEndOfFileWithTheBytesRead)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string path = dir.path() + "/ten.bin";
    ASSERT_TRUE(WriteFile(path, "0123456789"));

    void *handle = nullptr;
    ASSERT_EQ(AURA_OS_File_Open(path.c_str(), "rb", false, nullptr, &handle), AURA_OK);
    ASSERT_NE(handle, nullptr);

    char buf[16] = {};
    unsigned int got = 99;
    EXPECT_EQ(AURA_OS_File_Read(handle, buf, 4, &got), AURA_OK);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(buf, 4), "0123");

    std::memset(buf, 0, sizeof(buf));
    EXPECT_EQ(AURA_OS_File_Read(handle, buf, sizeof(buf), &got), AURA_ERR_FILE_EOF);
    EXPECT_EQ(got, 6u);
    EXPECT_EQ(std::string(buf, 6), "456789");

    got = 99;
    EXPECT_EQ(AURA_OS_File_Read(handle, buf, sizeof(buf), &got), AURA_ERR_FILE_EOF);
    EXPECT_EQ(got, 0u);

    // A seek back clears the end-of-file state.
    EXPECT_EQ(AURA_OS_File_Seek(handle, 8), AURA_OK);
    EXPECT_EQ(AURA_OS_File_Read(handle, buf, 2, &got), AURA_OK);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::string(buf, 2), "89");

    EXPECT_EQ(AURA_OS_File_Close(handle), AURA_OK);
}

TEST(OsFile, SizeReceiverMeasuresAndLeavesThePositionAtTheStart)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    // Larger than any stdio buffer, so a measured-but-not-rewound stream shows.
    const std::string content = Pattern(100003);
    const std::string path = dir.path() + "/pattern.bin";
    ASSERT_TRUE(WriteFile(path, content));

    unsigned int size = 0;
    void *handle = nullptr;
    ASSERT_EQ(AURA_OS_File_Open(path.c_str(), "rb", false, &size, &handle), AURA_OK);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(size, content.size());

    std::vector<char> buf(4096);
    unsigned int got = 0;
    ASSERT_EQ(AURA_OS_File_Read(handle, buf.data(), 4096, &got), AURA_OK);
    ASSERT_EQ(got, 4096u);
    EXPECT_EQ(std::memcmp(buf.data(), content.data(), 4096), 0);

    ASSERT_EQ(AURA_OS_File_Seek(handle, 70001), AURA_OK);
    ASSERT_EQ(AURA_OS_File_Read(handle, buf.data(), 4096, &got), AURA_OK);
    EXPECT_EQ(std::memcmp(buf.data(), content.data() + 70001, 4096), 0);

    // A position past the end is accepted; reading there finds the end.
    ASSERT_EQ(AURA_OS_File_Seek(handle, 200000), AURA_OK);
    EXPECT_EQ(AURA_OS_File_Read(handle, buf.data(), 16, &got), AURA_ERR_FILE_EOF);
    EXPECT_EQ(got, 0u);

    AURA_OS_File_Close(handle);

    // An empty file measures 0 and reads as the end at once.
    const std::string empty = dir.path() + "/empty.bin";
    ASSERT_TRUE(WriteFile(empty, ""));
    size = 77;
    ASSERT_EQ(AURA_OS_File_Open(empty.c_str(), "rb", false, &size, &handle), AURA_OK);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(AURA_OS_File_Read(handle, buf.data(), 1, &got), AURA_ERR_FILE_EOF);
    AURA_OS_File_Close(handle);
}

TEST(OsFile, MissingFileGivesNotFoundAndANullHandle)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string path = dir.path() + "/absent.bin";

    void *handle = kSentinel;
    unsigned int size = 0;
    EXPECT_EQ(AURA_OS_File_Open(path.c_str(), "rb", false, &size, &handle), AURA_ERR_FILE_NOTFOUND);
    EXPECT_EQ(handle, nullptr);

    handle = kSentinel;
    const std::u16string wide = Widen(path);
    EXPECT_EQ(AURA_OS_File_Open(wide.c_str(), "rb", true, nullptr, &handle),
              AURA_ERR_FILE_NOTFOUND);
    EXPECT_EQ(handle, nullptr);

    handle = kSentinel;
    EXPECT_EQ(AURA_OS_File_Open(u"", "rb", true, nullptr, &handle), AURA_ERR_FILE_NOTFOUND);
    EXPECT_EQ(handle, nullptr);
}

TEST(OsFile, NullArgumentsAreRefused)
{
    void *handle = kSentinel;
    EXPECT_EQ(AURA_OS_File_Open(nullptr, "rb", false, nullptr, &handle), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(AURA_OS_File_Open("/dev/null", "rb", false, nullptr, nullptr),
              AURA_ERR_INVALID_PARAM);

    char buf[4];
    unsigned int got = 99;
    EXPECT_EQ(AURA_OS_File_Read(nullptr, buf, sizeof(buf), &got), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(AURA_OS_File_Seek(nullptr, 0), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_OS_File_Close(nullptr), AURA_OK);
    EXPECT_EQ(AURA_OS_File_Cancel(nullptr, nullptr), AURA_OK);

    // A real handle with no buffer to read into.
    ASSERT_EQ(AURA_OS_File_Open("/dev/zero", "rb", false, nullptr, &handle), AURA_OK);
    EXPECT_EQ(AURA_OS_File_Read(handle, nullptr, 4, &got), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_OS_File_Read(handle, buf, sizeof(buf), nullptr), AURA_OK);
    AURA_OS_File_Close(handle);
}

TEST(OsFile, WideNameWithNonAsciiCharactersOpensThatFile)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    // "ñ", a CJK character and an emoji outside the BMP (a surrogate pair).
    const std::string utf8Name = "/\xC3\xB1_\xE9\x9F\xB3_\xF0\x9F\x8E\xB5.txt";
    const std::u16string wideName = u"/\u00F1_\u97F3_\U0001F3B5.txt";
    ASSERT_TRUE(WriteFile(dir.path() + utf8Name, "wide"));
    // A neighbour that only differs in the emoji.
    ASSERT_TRUE(WriteFile(dir.path() + "/\xC3\xB1_\xE9\x9F\xB3_\xF0\x9F\x8E\xB6.txt", "other"));

    const std::u16string wide = Widen(dir.path()) + wideName;
    unsigned int size = 0;
    void *handle = nullptr;
    ASSERT_EQ(AURA_OS_File_Open(wide.c_str(), "rb", true, &size, &handle), AURA_OK);
    EXPECT_EQ(size, 4u);
    char buf[8] = {};
    unsigned int got = 0;
    EXPECT_EQ(AURA_OS_File_Read(handle, buf, sizeof(buf), &got), AURA_ERR_FILE_EOF);
    EXPECT_EQ(std::string(buf, got), "wide");
    AURA_OS_File_Close(handle);
}

TEST(OsFile, WideNameWithUnpairedSurrogatesIsRejected)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    // Files a lenient conversion could land on: the surrogate replaced by
    // U+FFFD, dropped, or encoded on its own as three bytes.
    for (const char *decoy : {"/bad\xEF\xBF\xBD", "/bad", "/bad\xED\xA0\xBC", "/bad\xEF\xBF\xBDz",
                              "/badz", "/bad\xED\xA0\xBCz", "/bad\xED\xBC\xB5",
                              "/bad\xEF\xBF\xBD\xEF\xBF\xBD"}) {
        ASSERT_TRUE(WriteFile(dir.path() + decoy, "decoy"));
    }

    const std::u16string names[] = {
        u"/bad\xD83C",        // high surrogate at the end
        u"/bad\xD83Cz",       // high surrogate followed by a plain character
        u"/bad\xDF35",        // low surrogate alone
        u"/bad\xDF35\xD83C",  // a pair in the wrong order
    };
    for (const std::u16string &name : names) {
        const std::u16string wide = Widen(dir.path()) + name;
        void *handle = kSentinel;
        EXPECT_EQ(AURA_OS_File_Open(wide.c_str(), "rb", true, nullptr, &handle),
                  AURA_ERR_FILE_NOTFOUND);
        EXPECT_EQ(handle, nullptr);
        AURA_OS_File_Close(handle == kSentinel ? nullptr : handle);
    }
}

TEST(OsFile, WideNameLimitIs512BytesOfUtf8)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());

    // Nest directories until a name ending in two four-byte characters lands
    // on exactly 512 bytes. Counting UTF-16 units instead of bytes would put
    // the limit elsewhere.
    std::string base = dir.path();
    while (base.size() < 400) {
        const std::size_t length = std::min<std::size_t>(100, 400 - base.size());
        base += '/';
        base.append(length, 'd');
        ASSERT_EQ(mkdir(base.c_str(), 0700), 0) << base;
    }
    const std::string emojis = "\xF0\x9F\x8E\xB5\xF0\x9F\x8E\xB6"; // 8 bytes, 4 units
    const std::size_t fill = 512 - base.size() - 1 - emojis.size();
    const std::string fits = base + "/" + std::string(fill, 'f') + emojis;
    const std::string over = base + "/" + std::string(fill + 1, 'f') + emojis;
    ASSERT_EQ(fits.size(), 512u);
    ASSERT_EQ(over.size(), 513u);
    ASSERT_TRUE(WriteFile(fits, "fits"));
    ASSERT_TRUE(WriteFile(over, "over"));

    const std::u16string wideEmojis = u"\U0001F3B5\U0001F3B6";
    const std::u16string wideFits = Widen(base) + u"/" + Widen(std::string(fill, 'f')) + wideEmojis;
    const std::u16string wideOver =
        Widen(base) + u"/" + Widen(std::string(fill + 1, 'f')) + wideEmojis;

    void *handle = nullptr;
    ASSERT_EQ(AURA_OS_File_Open(wideFits.c_str(), "rb", true, nullptr, &handle), AURA_OK);
    char buf[4];
    unsigned int got = 0;
    EXPECT_EQ(AURA_OS_File_Read(handle, buf, 4, &got), AURA_OK);
    EXPECT_EQ(std::string(buf, got), "fits");
    AURA_OS_File_Close(handle);

    handle = kSentinel;
    EXPECT_EQ(AURA_OS_File_Open(wideOver.c_str(), "rb", true, nullptr, &handle),
              AURA_ERR_FILE_NOTFOUND);
    EXPECT_EQ(handle, nullptr);

    // The plain-name entry point has no such limit.
    ASSERT_EQ(AURA_OS_File_Open(over.c_str(), "rb", false, nullptr, &handle), AURA_OK);
    AURA_OS_File_Close(handle);
}

TEST(OsFile, FilesBeyondThe32BitSizeAreRefusedWhenMeasured)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    // Sparse files: no data blocks are written.
    const std::string largest = dir.path() + "/largest.bin";
    const std::string tooLarge = dir.path() + "/toolarge.bin";
    ASSERT_TRUE(WriteFile(largest, ""));
    ASSERT_TRUE(WriteFile(tooLarge, ""));
    ASSERT_EQ(truncate(largest.c_str(), static_cast<off_t>(0xFFFFFFFFull)), 0);
    ASSERT_EQ(truncate(tooLarge.c_str(), static_cast<off_t>(0x100000000ull)), 0);

    unsigned int size = 0;
    void *handle = nullptr;
    ASSERT_EQ(AURA_OS_File_Open(largest.c_str(), "rb", false, &size, &handle), AURA_OK);
    EXPECT_EQ(size, 0xFFFFFFFFu);
    // The highest 32-bit position is reachable and holds the last byte.
    EXPECT_EQ(AURA_OS_File_Seek(handle, 0xFFFFFFFEu), AURA_OK);
    char buf[4] = {1, 1, 1, 1};
    unsigned int got = 0;
    EXPECT_EQ(AURA_OS_File_Read(handle, buf, 4, &got), AURA_ERR_FILE_EOF);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(buf[0], 0);
    AURA_OS_File_Close(handle);

    handle = kSentinel;
    EXPECT_EQ(AURA_OS_File_Open(tooLarge.c_str(), "rb", false, &size, &handle),
              AURA_ERR_FILE_NOTFOUND);
    EXPECT_EQ(handle, nullptr);

    // Without a size receiver nothing is measured and the file opens.
    ASSERT_EQ(AURA_OS_File_Open(tooLarge.c_str(), "rb", false, nullptr, &handle), AURA_OK);
    AURA_OS_File_Close(handle);
}

TEST(OsFile, StreamsThatCannotSeekOrReadGiveTheirCodes)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());

    // A pipe cannot seek, nor be measured.
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK); // keeps opens from blocking
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "abc", 3), 3);

    unsigned int size = 0;
    void *handle = kSentinel;
    EXPECT_EQ(AURA_OS_File_Open(fifo.c_str(), "rb", false, &size, &handle), AURA_ERR_FILE_NOTFOUND);
    EXPECT_EQ(handle, nullptr);

    ASSERT_EQ(AURA_OS_File_Open(fifo.c_str(), "rb", false, nullptr, &handle), AURA_OK);
    EXPECT_EQ(AURA_OS_File_Seek(handle, 1), AURA_ERR_FILE_BAD);
    char buf[3] = {};
    unsigned int got = 0;
    EXPECT_EQ(AURA_OS_File_Read(handle, buf, 3, &got), AURA_OK);
    EXPECT_EQ(std::string(buf, got), "abc");
    AURA_OS_File_Close(handle);
    close(writer);

    // A directory opens for reading but every read fails.
    ASSERT_EQ(AURA_OS_File_Open(dir.path().c_str(), "rb", false, nullptr, &handle), AURA_OK);
    got = 99;
    EXPECT_EQ(AURA_OS_File_Read(handle, buf, 3, &got), AURA_ERR_FILE_BAD);
    EXPECT_EQ(got, 0u);
    AURA_OS_File_Close(handle);
}
