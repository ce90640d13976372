// The string utilities, table by table.
#include "StringOperation.h"
#include "TestSupport.h"

TEST(Strings, IntToStringForms) {
    struct Case {
        int value, radix, pad;
        const char *out;
    } cases[] = {
        {0, 16, 1, "00"},          {5, 16, 1, "05"},   {0x2A, 16, 1, "2A"},    {int(0xC000238D), 16, 1, "C000238D"},
        {-1, 16, 1, "FFFFFFFF"},   {-2, 16, 1, "FFFFFFFE"}, {0x123, 16, 1, "123"}, {7, 10, 1, "07"},
        {30000, 10, 1, "30000"},   {-5, 10, 1, "-5"},  {5, 10, 0, "5"},        {123, 10, 1, "123"},
        {0, 10, 1, "00"},          {5, 8, 1, "05"},    {9, 10, 2, "9"},        {0xF, 16, 0, "F"},
    };
    for (const auto &c : cases) EXPECT_EQ(c.out, IntToString(c.value, c.radix, c.pad)) << c.value << "/" << c.radix;
}

TEST(Strings, StringToIntReadsTheLeadingNumber) {
    struct Case {
        const char *in;
        int radix, out;
    } cases[] = {
        {"", 16, 0},          {"abc", 10, 0},      {"1f", 16, 31},         {"0x1F", 16, 31},
        {"12abc", 10, 12},    {"  42", 10, 42},    {"-7", 10, -7},         {"00010002", 16, 0x10002},
        {"0023001A trailing", 16, 0x23001A}, {"FFFFFFFF", 16, -1}, {"xyz", 16, 0}, {"0x", 16, 0},
    };
    for (const auto &c : cases) EXPECT_EQ(c.out, StringToInt(c.in, c.radix)) << c.in;
}

TEST(Strings, CuttingBySeparators) {
    EXPECT_EQ("Key", GetLeftString("Key=Value", "="));
    EXPECT_EQ("Value", GetRightString("Key=Value", "="));
    EXPECT_EQ("", GetLeftString("KeyValue", "="));
    EXPECT_EQ("", GetRightString("KeyValue", "="));
    EXPECT_EQ("", GetRightString("Key=", "="));
    EXPECT_EQ("", GetLeftString("=Value", "="));
    EXPECT_EQ("b=c", GetRightString("a=b=c", "="));
    EXPECT_EQ("", GetLeftString("a=b", ""));
    EXPECT_EQ("", GetRightString("a=b", ""));
    EXPECT_EQ("ue", GetRightString("Key==Value", "=Val"));
    struct Case {
        const char *in, *out;
    } enclosed[] = {{"[Section]", "Section"}, {"[Section", ""}, {"Section]", ""}, {"[]", ""}, {"x[a]b]", "a"},
                    {"[00010002] tail", "00010002"}, {"", ""}};
    for (const auto &c : enclosed) EXPECT_EQ(c.out, GetEnclosedString(c.in, "[", "]")) << c.in;
    EXPECT_EQ("", GetEnclosedString("[a]", "", "]"));
}

TEST(Strings, SubstringsAndReplacementsNeverReturnPartialResults) {
    const std::string t = "2026-12-06T01:02:03";
    EXPECT_EQ("2026-12-06 01:02:03", GetReplaceString(t, 10, " "));
    EXPECT_EQ(t + "!", GetReplaceString(t, 19, "!"));
    EXPECT_EQ("", GetReplaceString(t, 20, " "));
    EXPECT_EQ("", GetReplaceString("", 0, " "));
    EXPECT_EQ("aXYc", GetReplaceString("abc", 1, "XY"));
    EXPECT_EQ("ac", GetReplaceString("abc", 1, ""));
    EXPECT_EQ("", GetSubString("0123456789", 0, 19)) << "never the shorter piece";
    EXPECT_EQ("0123456789", GetSubString("0123456789", 0, 0));
    EXPECT_EQ("", GetSubString("0123456789", 1, 0));
    EXPECT_EQ("#", GetSubString("#comment", 0, 1));
    EXPECT_EQ("89", GetSubString("0123456789", 8, 2));
    EXPECT_EQ("", GetSubString("0123456789", 9, 2));
    EXPECT_EQ("", GetSubString("0123456789", 0xFFFFFFFFu, 2)) << "no overflow of start + length";
    EXPECT_EQ("", GetSubString("", 0, 1));
}

TEST(Strings, WideTextBecomesEucJp) {
    EXPECT_EQ("", WideCharToChar(nullptr));
    EXPECT_EQ("", WideCharToChar(L""));
    EXPECT_EQ("Fan 3", WideCharToChar(L"Fan 3"));
    EXPECT_EQ("\xA4\xA2", WideCharToChar(L"\u3042"));
    EXPECT_EQ("\xC6\xFC\xBB\xFE", WideCharToChar(L"\u65E5\u6642"));
    EXPECT_EQ("", WideCharToChar(L"ok \U0001F600")) << "a character EUC-JP cannot hold empties the text";
    const std::wstring big(100000, L'\u3042');
    EXPECT_EQ(200000u, WideCharToChar(big.c_str()).size());
    EXPECT_EQ("x", WideCharToChar(L"x")) << "the conversion buffer is reusable after a large text";
}
