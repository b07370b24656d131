// Behaviour both variants share: the level test, the switch, message and header formats and the
// memory dump. Built once against each variant; the output is read back through trace_capture.
#include "trace_capture.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using tracetest::takeOutput;
using tracetest::TraceTest;

struct LevelCase {
    const char *name;
    int type;
    int current;
    int level;
    bool passes;
};

const LevelCase kLevels[] = {
    {"zero passes with the initial settings", 1, 0, 0, true},
    {"initial settings stop level 1", 1, 0, 1, false},
    {"zero passes in mask mode", 2, 0, 0, true},
    {"zero passes with a single-level filter", 1, -64, 0, true},
    {"zero passes when INT_MIN selects nothing", 1, INT_MIN, 0, true},
    {"mask 0x44 lets 4 pass", 2, 0x44, 4, true},
    {"mask 0x44 lets 64 pass", 2, 0x44, 64, true},
    {"mask 0x44 stops 2", 2, 0x44, 2, false},
    {"mask 0x44 lets 0x40|2 pass (any common bit)", 2, 0x44, 0x42, true},
    {"mask with bit 31 lets INT_MIN pass", 2, INT_MIN, INT_MIN, true},
    {"-64 lets 64 pass", 1, -64, 64, true},
    {"-64 stops 4", 1, -64, 4, false},
    {"-64 stops 128", 1, -64, 128, false},
    {"-64 stops -64", 1, -64, -64, false},
    {"INT_MIN stops 1", 1, INT_MIN, 1, false},
    {"INT_MIN stops INT_MAX", 1, INT_MIN, INT_MAX, false},
    {"INT_MIN stops INT_MIN (no wrap on negation)", 1, INT_MIN, INT_MIN, false},
    {"threshold 16 lets 1 pass", 1, 16, 1, true},
    {"threshold 16 lets 8 pass", 1, 16, 8, true},
    {"threshold 16 lets 16 pass", 1, 16, 16, true},
    {"threshold 16 stops 17", 1, 16, 17, false},
    {"threshold 16 stops 32", 1, 16, 32, false},
    {"threshold compares signed", 1, 16, -5, true},
    {"type 0 is a threshold too", 0, 16, 32, false},
    {"type 3 is a threshold too", 3, 16, 8, true},
};

TEST_F(TraceTest, LevelTestFollowsTypeAndCurrentLevel)
{
    for (const LevelCase &c : kLevels) {
        _dsetlevel(c.current, c.type);
        EXPECT_EQ(_dlevel(c.level) != 0, c.passes) << c.name;
    }
}

TEST_F(TraceTest, LevelTestIgnoresTheSwitch)
{
    _dsetlevel(256, 2);
    EXPECT_NE(_dlevel(256), 0);
    _debug(1);
    EXPECT_NE(_dlevel(256), 0);
}

TEST_F(TraceTest, SwitchBitsAndQuery)
{
    int flag = -1;
    _dget_debug(&flag);
    EXPECT_EQ(flag, 0);
    _dbiton(5);
    _dbiton(8);
    _dget_debug(&flag);
    EXPECT_EQ(flag, 13);
    _dbitoff(1);
    _dget_debug(&flag);
    EXPECT_EQ(flag, 12);
    _debug(0);
    _dget_debug(&flag);
    EXPECT_EQ(flag, 0);
    _dget_debug(nullptr); // ignored
}

TEST_F(TraceTest, PrintfPrintsOnlyWhileTracingIsOn)
{
    _dprintf("off %d\n", 1);
    EXPECT_EQ(takeOutput(), "");
    _debug(1);
    _dprintf("on %d %s\n", 2, "x");
    EXPECT_EQ(takeOutput(), "on 2 x\n");
    _debug(0x10); // any non-zero value is on
    _dprintf("bits");
    EXPECT_EQ(takeOutput(), "bits"); // no line end added
}

TEST_F(TraceTest, DisabledCallDoesNotEvaluateItsArguments)
{
    int evaluated = 0;
    _dprintf("%d\n", ++evaluated);
    _dlprintf(1, "%d\n", ++evaluated);
    _dldumpmem(0, "x", ++evaluated, 1);
    EXPECT_EQ(evaluated, 0);
    _debug(1);
    _dprintf("%d\n", ++evaluated);
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(takeOutput(), "1\n");
}

TEST_F(TraceTest, LevelledPrintfNeedsSwitchAndLevel)
{
    _dsetlevel(0x44, 2);
    _dlprintf(4, "before the switch\n");
    EXPECT_EQ(takeOutput(), "");
    _debug(1);
    _dlprintf(4, "four\n");
    _dlprintf(2, "two\n");
    _dlprintf(64, "sixty-four\n");
    _dlprintf(0, "zero\n");
    EXPECT_EQ(takeOutput(), "four\nsixty-four\nzero\n");
}

TEST_F(TraceTest, InitialSettingsLetOnlyUnlevelledMessagesThrough)
{
    _debug(1);
    for (int level = 1; level <= 4096; level <<= 1)
        _dlprintf(level, "level %d\n", level);
    _dprintf("plain\n");
    EXPECT_EQ(takeOutput(), "plain\n");
}

TEST_F(TraceTest, PrintvIgnoresSwitchAndHeader)
{
    _dsetheader("NVX", 0);
    _dprintv("always %d\n", 7);
    EXPECT_EQ(takeOutput(), "always 7\n");
    _debug(1);
    _dprintv("still no header\n");
    EXPECT_EQ(takeOutput(), "still no header\n");
}

TEST_F(TraceTest, HeaderPrecedesEveryMessage)
{
    _debug(1);
    _dsetheader("NVX", 0);
    _dprintf("one\n");
    _dsetlevel(8, 1);
    _dlprintf(8, "two\n");
    EXPECT_EQ(takeOutput(), "NVX: one\nNVX: two\n");
    _dsetheader("", 0);
    _dprintf("bare\n");
    EXPECT_EQ(takeOutput(), "bare\n");
    _dsetheader(nullptr, 0); // no name at all: no header
    _dprintf("null\n");
    EXPECT_EQ(takeOutput(), "null\n");
}

TEST_F(TraceTest, HeaderNameIsCutAt79Characters)
{
    const std::string longName(100, 'H');
    _dsetheader(longName.c_str(), 0);
    EXPECT_EQ(std::strlen(dheader), 79u);
    EXPECT_EQ(std::string(dheader), longName.substr(0, 79));
    EXPECT_EQ(dheader_flags, 0);
    _debug(1);
    _dprintf("m\n");
    EXPECT_EQ(takeOutput(), longName.substr(0, 79) + ": m\n");
}

TEST_F(TraceTest, OverlongMessageIsCutAt1023Characters)
{
    _debug(1);
    const std::string text(3000, 'x');
    _dprintf("%s", text.c_str());
    EXPECT_EQ(takeOutput(), text.substr(0, 1023));
    _dprintv("%s", text.c_str());
    EXPECT_EQ(takeOutput(), text.substr(0, 1023));
    _dsetheader("NVX", 0);
    _dprintf("%s!", text.substr(0, 1022).c_str());
    EXPECT_EQ(takeOutput(), "NVX: " + text.substr(0, 1022) + "!");
}

TEST_F(TraceTest, MessageTextIsNeverTakenForAFormat)
{
    _debug(1);
    _dprintf("%s", "100%d %n %s\n");
    EXPECT_EQ(takeOutput(), "100%d %n %s\n");
}

// Dumps of 0x41, 0x42, ... ("ABC...").
std::vector<char> letters(int n)
{
    std::vector<char> bytes(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<char>(0x41 + i);
    return bytes;
}

std::string blanks(size_t n)
{
    return std::string(n, ' ');
}

TEST_F(TraceTest, DumpOfSixteenBytesIsOneLine)
{
    std::vector<char> bytes = letters(16);
    dumpmem(bytes.data(), 16); // dumps with the switch off too
    EXPECT_EQ(takeOutput(), "0000 - 4142 4344 4546 4748 494a 4b4c 4d4e 4f50 -  ABCDEFGHIJKLMNOP\n");
}

TEST_F(TraceTest, DumpOfTwentyBytesPadsTheSecondLine)
{
    std::vector<char> bytes = letters(20);
    dumpmem(bytes.data(), 20);
    // The second line: four bytes, then twelve blank positions (two blanks each, one more after
    // every second), the column separator, four characters and twelve blank characters.
    EXPECT_EQ(takeOutput(), "0000 - 4142 4344 4546 4748 494a 4b4c 4d4e 4f50 -  ABCDEFGHIJKLMNOP\n"
                            "0010 - 5152 5354 " +
                                blanks(30) + "-  QRST" + blanks(12) + "\n");
}

TEST_F(TraceTest, DumpShowsOnlyPrintableCharacters)
{
    const char bytes[] = {
        0x1f, 0x20, 0x7e, 0x7f, '\n', '\0', static_cast<char>(0x80), static_cast<char>(0xff)};
    dumpmem(bytes, 8);
    EXPECT_EQ(takeOutput(),
              "0000 - 1f20 7e7f 0a00 80ff " + blanks(20) + "-  . ~....." + blanks(8) + "\n");
}

TEST_F(TraceTest, DumpWritesPercentSignsUnchanged)
{
    const char bytes[] = "%s%n%d%%";
    dumpmem(bytes, 8);
    EXPECT_EQ(takeOutput(),
              "0000 - 2573 256e 2564 2525 " + blanks(20) + "-  %s%n%d%%" + blanks(8) + "\n");
}

TEST_F(TraceTest, DumpLeavesABlankLineAfterEveryEighthLine)
{
    std::vector<char> bytes(17 * 16, 'a');
    dumpmem(bytes.data(), static_cast<int>(bytes.size()));
    std::string out = takeOutput();
    const std::string line = " - 6161 6161 6161 6161 6161 6161 6161 6161 -  aaaaaaaaaaaaaaaa\n";
    std::string expected;
    for (int i = 0; i < 17; ++i) {
        char address[8];
        std::snprintf(address, sizeof address, "%04x", i * 16);
        expected += address + line;
        if (i % 8 == 7)
            expected += "\n";
    }
    EXPECT_EQ(out, expected);
}

TEST_F(TraceTest, DumpAddressWidthFollowsTheCount)
{
    std::vector<char> bytes(65536, 'z');
    dumpmem(bytes.data(), 65535);
    std::string four = takeOutput();
    EXPECT_EQ(four.rfind("0000 - 7a7a", 0), 0u);
    EXPECT_NE(four.find("\nfff0 - 7a7a"), std::string::npos);
    EXPECT_EQ(four.find("0000fff0"), std::string::npos);

    dumpmem(bytes.data(), 65536);
    std::string eight = takeOutput();
    EXPECT_EQ(eight.rfind("00000000 - 7a7a", 0), 0u);
    EXPECT_NE(eight.find("\n0000fff0 - 7a7a"), std::string::npos);
    EXPECT_EQ(eight.find("\n00010000"), std::string::npos); // no line past the last byte
}

TEST_F(TraceTest, DumpOfNothingPrintsNothing)
{
    dumpmem("abc", 0);
    dumpmem("abc", -1);
    dumpmem(nullptr, 16);
    EXPECT_EQ(takeOutput(), "");
}

TEST_F(TraceTest, AbsoluteDumpIndentsTheFirstLine)
{
    alignas(16) char bytes[32];
    std::memcpy(bytes, "...ABCDEFGHIJKLMNOPQRSTUVWXYZ...", 32);
    _debug(1);
    _dumpmem(bytes + 3, 16, 0);
    char address[2][20];
    const uintptr_t base = reinterpret_cast<uintptr_t>(bytes);
    std::snprintf(address[0], sizeof address[0], "%04x - ", static_cast<unsigned>(base));
    std::snprintf(address[1], sizeof address[1], "%04x - ", static_cast<unsigned>(base + 16));
    // Flag 0 is not exactly 1, so every eighth position adds two blanks more.
    EXPECT_EQ(takeOutput(), std::string(address[0]) + "    " + " " + "  41 4243 4445   " +
                                "4647 4849 4a4b 4c4d   " + "-     ABCDEFGHIJKLM\n" + address[1] +
                                "4e4f 50   " + blanks(10) + "  " + blanks(20) + "  " + "-  NOP" +
                                blanks(13) + "\n");
}

TEST_F(TraceTest, GuardedDumpsNeedSwitchAndLevel)
{
    std::vector<char> bytes = letters(2);
    const std::string line = "0000 - 4142 " + blanks(35) + "-  AB" + blanks(14) + "\n";
    _dumpmem(bytes.data(), 2, 1);
    _dsetlevel(32, 2);
    _dldumpmem(32, bytes.data(), 2, 1);
    EXPECT_EQ(takeOutput(), "");
    _debug(1);
    _dumpmem(bytes.data(), 2, 1);
    _dldumpmem(32, bytes.data(), 2, 1);
    _dldumpmem(16, bytes.data(), 2, 1);
    EXPECT_EQ(takeOutput(), line + line);
}

// Word mode shows 16-bit words as this host would load them.
std::string word(unsigned char first, unsigned char second)
{
    const unsigned char pair[2] = {first, second};
    uint16_t value;
    std::memcpy(&value, pair, sizeof value);
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x,", value);
    return text;
}

TEST_F(TraceTest, WordDumpShowsHostOrderWords)
{
    std::vector<char> bytes = letters(16);
    _debug(1);
    _dumpmem(bytes.data(), 16, 3);
    EXPECT_EQ(takeOutput(), "0000 - " + word(0x41, 0x42) + " " + word(0x43, 0x44) + " " +
                                word(0x45, 0x46) + " " + word(0x47, 0x48) + "   " +
                                word(0x49, 0x4a) + " " + word(0x4b, 0x4c) + " " + word(0x4d, 0x4e) +
                                " " + word(0x4f, 0x50) + "   \n");
}

TEST_F(TraceTest, WordDumpOfAnOddCountLeavesTheLastByteBlank)
{
    // Exactly five bytes on the heap, so that a word read past the end is caught.
    std::vector<char> bytes = letters(5);
    _debug(1);
    _dumpmem(bytes.data(), 5, 3);
    EXPECT_EQ(takeOutput(), "0000 - " + word(0x41, 0x42) + " " + word(0x43, 0x44) + " " + "    " +
                                " " + "    " + " " + "  " + blanks(4 * 5) + "  " + "\n");
}

TEST_F(TraceTest, WordDumpOfOneByteIsABlankLine)
{
    std::vector<char> bytes = letters(1);
    _debug(1);
    _dumpmem(bytes.data(), 1, 3);
    EXPECT_EQ(takeOutput(), "0000 - " + blanks(8 * 5 + 4) + "\n");
}

TEST_F(TraceTest, WordDumpContinuesOnTheNextLine)
{
    std::vector<char> bytes = letters(18);
    _debug(1);
    _dumpmem(bytes.data(), 18, 3);
    std::string out = takeOutput();
    const std::string second =
        "\n0010 - " + word(0x51, 0x52) + " " + blanks(3 * 5) + "  " + blanks(4 * 5) + "  " + "\n";
    ASSERT_GE(out.size(), second.size());
    EXPECT_EQ(out.substr(out.size() - second.size()), second);
    EXPECT_EQ(out.find("-  "), std::string::npos); // no character column in word mode
}

} // namespace
