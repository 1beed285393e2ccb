#include "app/split_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Piece(const std::string& strText, const char* szDelimiter, int nIndex,
                  size_t nCapacity = 100, int* pResult = nullptr) {
    char szOut[200] = "untouched";
    int nResult = SplitText(strText.c_str(), szDelimiter, nIndex, szOut, nCapacity);
    if (pResult != nullptr)
        *pResult = nResult;
    return szOut;
}

TEST(SplitText, CountsOnlyNonEmptyPieces) {
    EXPECT_EQ(SplitText("A=1<br>B=2", "<br>", 0, nullptr, 0), 2);
    EXPECT_EQ(SplitText("<br><br>A=1<br>", "<br>", 0, nullptr, 0), 1);
    EXPECT_EQ(SplitText("", "<br>", 0, nullptr, 0), 0);
    EXPECT_EQ(SplitText("<br>", "<br>", 0, nullptr, 0), 0);
    EXPECT_EQ(SplitText("NAME=", "=", 0, nullptr, 0), 1);
    EXPECT_EQ(Piece("<br><br>A=1<br>", "<br>", 0), "A=1");
    EXPECT_EQ(Piece("x<br><br>y", "<br>", 1), "y");
}

TEST(SplitText, MatchesDoNotOverlap) {
    // "xaaay" on "aa": one match at 1, then "ay" is the rest.
    EXPECT_EQ(SplitText("xaaay", "aa", 0, nullptr, 0), 2);
    EXPECT_EQ(Piece("xaaay", "aa", 1), "ay");
    EXPECT_EQ(SplitText("aaaa", "aa", 0, nullptr, 0), 0);
}

TEST(SplitText, MissingPieceLeavesTheBufferUnchanged) {
    int nResult = 0;
    EXPECT_EQ(Piece("NAME=", "=", 1, 100, &nResult), "untouched");
    EXPECT_EQ(nResult, 1);
}

TEST(SplitText, CopyIsCutToCapacityMinusOne) {
    int nResult = 0;
    // A cut piece that is not the last: the count comes back.
    EXPECT_EQ(Piece("abcdef<br>g", "<br>", 0, 4, &nResult), "abc");
    EXPECT_EQ(nResult, 2);
    // A piece followed only by a delimiter is not the trailing piece either.
    EXPECT_EQ(Piece("abcdef<br>", "<br>", 0, 4, &nResult), "abc");
    EXPECT_EQ(nResult, 1);
    // The trailing piece cut, or exactly filling the room: -1.
    EXPECT_EQ(Piece("g<br>abcdef", "<br>", 1, 4, &nResult), "abc");
    EXPECT_EQ(nResult, -1);
    EXPECT_EQ(Piece("g<br>abc", "<br>", 1, 4, &nResult), "abc");
    EXPECT_EQ(nResult, -1);
    EXPECT_EQ(Piece("g<br>ab", "<br>", 1, 4, &nResult), "ab");
    EXPECT_EQ(nResult, 2);
}

TEST(SplitText, RefusesTextsOverTheLimit) {
    std::string strLimit(kSplitTextMaxLength, 'a');
    EXPECT_EQ(SplitText(strLimit.c_str(), "<br>", 0, nullptr, 0), 1);
    std::string strOver = strLimit + "a";
    int nResult = 0;
    EXPECT_EQ(Piece(strOver, "<br>", 0, 100, &nResult), "untouched");
    EXPECT_EQ(nResult, -1);
}

}  // namespace
