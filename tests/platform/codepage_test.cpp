// CP949 <-> UTF-8: iconv on POSIX, the system's code page 949 on Windows; both must agree.
#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace {

struct SPair {
    const char* szWhat;
    std::string strUtf8;
    std::string strCp949;
};

// Test names show the case's name, not its bytes.
void PrintTo(const SPair& pair, std::ostream* pOut) {
    *pOut << pair.szWhat;
}

class Cp949RoundTrip : public ::testing::TestWithParam<SPair> {};

TEST_P(Cp949RoundTrip, BothDirections) {
    const SPair& pair = GetParam();
    std::string strOut = "untouched";
    ASSERT_TRUE(Utf8ToCp949(pair.strUtf8, strOut));
    EXPECT_EQ(strOut, pair.strCp949);
    ASSERT_TRUE(Cp949ToUtf8(pair.strCp949, strOut));
    EXPECT_EQ(strOut, pair.strUtf8);
    EXPECT_EQ(Cp949ToUtf8Lossy(pair.strCp949), pair.strUtf8);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Cp949RoundTrip,
    ::testing::Values(SPair{"empty", "", ""}, SPair{"ascii", "WTF/Account", "WTF/Account"},
                      SPair{"hangul", "게이머", "\xB0\xD4\xC0\xCC\xB8\xD3"},
                      SPair{"path", "WTF/게임.lua", "WTF/\xB0\xD4\xC0\xD3.lua"},
                      // Outside KS X 1001: the extended (UHC) part of code page 949.
                      SPair{"extended", "똠", "\x8C\x63"},
                      SPair{"hanja", "漢字", "\xF9\xD3\xED\xAE"}, SPair{"symbol", "①", "\xA8\xE7"},
                      SPair{"nul inside", std::string("a\0b", 3), std::string("a\0b", 3)}),
    [](const ::testing::TestParamInfo<SPair>& param) {
        std::string strName = param.param.szWhat;
        for (char& c : strName)
            c = c == ' ' ? '_' : c;
        return strName;
    });

struct SRefusal {
    const char* szWhat;
    bool bFromUtf8;
    std::string strInput;
};

void PrintTo(const SRefusal& refusal, std::ostream* pOut) {
    *pOut << refusal.szWhat;
}

class Cp949Refusal : public ::testing::TestWithParam<SRefusal> {};

TEST_P(Cp949Refusal, LeavesTheOutputUntouched) {
    const SRefusal& refusal = GetParam();
    std::string strOut = "untouched";
    bool bOk = refusal.bFromUtf8 ? Utf8ToCp949(refusal.strInput, strOut)
                                 : Cp949ToUtf8(refusal.strInput, strOut);
    EXPECT_FALSE(bOk);
    EXPECT_EQ(strOut, "untouched");
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Cp949Refusal,
    ::testing::Values(SRefusal{"emoji", true, "a\xF0\x9F\x98\x80"},
                      SRefusal{"latin", true, "\xC3\xA9t\xC3\xA9"},  // no é in CP949
                      SRefusal{"bad_utf8", true, "a\xC3("},
                      SRefusal{"surrogate", true, "\xED\xA0\x80"},
                      SRefusal{"lone_lead", false, "a\xB0"},
                      SRefusal{"bad_trail", false, "\xB0\x20"}, SRefusal{"byte_ff", false, "\xFF"}),
    [](const ::testing::TestParamInfo<SRefusal>& param) {
        return std::string(param.param.szWhat);
    });

TEST(Cp949Lossy, ReplacesOnlyTheBadBytes) {
    EXPECT_EQ(Cp949ToUtf8Lossy("\xB0\xA1\xFF"
                               "b\xB0"),
              "가\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
}

}  // namespace
