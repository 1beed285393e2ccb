// The front's request head parser and the address texts it compares.
#include "service/http_head.h"

#include <gtest/gtest.h>

#include <cctype>

#include "service/address.h"

namespace {

using zavsvc::CHeadParser;
using EState = CHeadParser::EState;

std::string Fields(size_t nCount) {
    std::string str;
    for (size_t i = 0; i < nCount; ++i) {
        str += "X-F" + std::to_string(i) + ": v\r\n";
    }
    return str;
}

struct SHeadCase {
    const char* pszWhat;
    std::string strHead;
    int nStatus;  // 0: complete
};

class HeadParser : public ::testing::TestWithParam<SHeadCase> {};

// Whole, and byte by byte: where the network cuts the head must not matter.
TEST_P(HeadParser, RefusesOrAcceptsWhateverPiecesTheHeadArrivesIn) {
    const SHeadCase& c = GetParam();
    for (size_t nPiece : {c.strHead.size(), size_t{1}, size_t{4093}}) {
        CHeadParser parser({});
        for (size_t i = 0; i < c.strHead.size() && parser.State() == EState::NeedMore;
             i += nPiece) {
            parser.Feed(std::string_view(c.strHead).substr(i, nPiece));
        }
        if (c.nStatus == 0) {
            EXPECT_EQ(parser.State(), EState::Complete) << c.pszWhat << " " << nPiece;
        } else {
            EXPECT_EQ(parser.State(), EState::Refused) << c.pszWhat << " " << nPiece;
            EXPECT_EQ(parser.Status(), c.nStatus) << c.pszWhat << " " << nPiece;
        }
    }
}

const std::string kGet = "GET /Kelpo/html/new_config.php HTTP/1.1\r\n";
INSTANTIATE_TEST_SUITE_P(
    Cases, HeadParser,
    ::testing::Values(
        SHeadCase{"plain", kGet + "Host: a\r\n\r\n", 0},
        SHeadCase{"CP949 bytes in the path", "GET /Kelpo/UserData/\xB0\xA1/a HTTP/1.0\r\n\r\n", 0},
        SHeadCase{"100 fields", kGet + Fields(100) + "\r\n", 0},
        SHeadCase{"101 fields", kGet + Fields(101) + "\r\n", 431},
        SHeadCase{"a flood of fields", kGet + Fields(200000), 431},
        SHeadCase{"field line at its limit",
                  kGet + "X-L: " + std::string(8192 - 5, 'v') + "\r\n\r\n", 0},
        SHeadCase{"field line over its limit",
                  kGet + "X-L: " + std::string(8192 - 4, 'v') + "\r\n\r\n", 431},
        SHeadCase{"request line at its limit",
                  "GET /" + std::string(8192 - 14, 'a') + " HTTP/1.1\r\n\r\n", 0},
        SHeadCase{"request line over its limit",
                  "GET /" + std::string(8192 - 13, 'a') + " HTTP/1.1\r\n\r\n", 414},
        SHeadCase{"request line without an end", "GET /" + std::string(100000, 'a'), 414},
        SHeadCase{"bare LF", "GET / HTTP/1.1\nHost: a\n\n", 400},
        // Found by the fuzzer: the limit decides first, whichever piece holds the LF.
        SHeadCase{"overlong field ended by a bare LF",
                  kGet + "X-L: " + std::string(8192, 'v') + "\n\r\n", 431},
        SHeadCase{"CR inside a line", kGet + "Host: a\rb\r\n\r\n", 400},
        SHeadCase{"folded field", kGet + "X-A: 1\r\n  2\r\n\r\n", 400},
        SHeadCase{"space before the colon", kGet + "Host : a\r\n\r\n", 400},
        SHeadCase{"control byte in a value", kGet + "X-A: \x01\r\n\r\n", 400},
        SHeadCase{"empty first line", "\r\n" + kGet + "\r\n", 400},
        SHeadCase{"unknown version", "GET / HTTP/9.9\r\n\r\n", 400},
        SHeadCase{"two lengths", kGet + "Content-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
        SHeadCase{"length and chunks",
                  kGet + "Content-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
        SHeadCase{"length not a number", kGet + "Content-Length: -5\r\n\r\n", 400},
        SHeadCase{"unknown coding", kGet + "Transfer-Encoding: gzip\r\n\r\n", 400}),
    [](const ::testing::TestParamInfo<SHeadCase>& caseInfo) {
        std::string strName;
        for (const char* p = caseInfo.param.pszWhat; *p != '\0'; ++p) {
            strName += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        }
        return strName;
    });

TEST(HeadParserLimits, AHeadOfExactlyTheLimitIsTakenAndOneByteMoreIsNot) {
    for (int nExtra : {0, 1}) {
        std::string strHead = kGet;
        while (strHead.size() + 8192 + 2 < 65536) {
            strHead += "X-P" + std::to_string(strHead.size() % 10) + ": " +
                       std::string(8192 - 7, 'p') + "\r\n";
        }
        const size_t nLast = 65536 - strHead.size() - 2 - 2 - 5 + static_cast<size_t>(nExtra);
        strHead += "X-Z: " + std::string(nLast, 'z') + "\r\n\r\n";
        ASSERT_EQ(strHead.size(), 65536u + static_cast<size_t>(nExtra));
        CHeadParser parser({});
        EXPECT_EQ(parser.Feed(strHead), nExtra == 0 ? EState::Complete : EState::Refused);
    }
}

TEST(HeadParserResult, KeepsTheBodyStartDropsRangesAndReadsTheForwardedClient) {
    CHeadParser parser({});
    ASSERT_EQ(parser.Feed("GET /a?b=1 HTTP/1.1\r\nRange: bytes=0-5\r\nIf-Range: x\r\n"
                          "X-Forwarded-For: 10.0.0.1, ::FFFF:127.0.0.3\r\n"
                          "x-forwarded-for: [::1]\r\nHost:  a \r\n\r\nBODY"),
              EState::Complete);
    EXPECT_EQ(parser.Rest(), "BODY");
    EXPECT_EQ(zavsvc::HeadForServer(parser.Head()),
              "GET /a?b=1 HTTP/1.1\r\nX-Forwarded-For: 10.0.0.1, ::FFFF:127.0.0.3\r\n"
              "x-forwarded-for: [::1]\r\nHost: a\r\n\r\n");
    // The last entry of the last field: what the nearest proxy recorded.
    EXPECT_EQ(zavsvc::LastForwardedFor(parser.Head()), "::1");

    for (auto [pszField, pszClient] :
         {std::pair{"X-Forwarded-For: 10.0.0.1, ::ffff:127.0.0.3", "127.0.0.3"},
          std::pair{"X-Forwarded-For: 10.0.0.1, junk", ""}, std::pair{"X-Other: 1", ""}}) {
        CHeadParser one({});
        ASSERT_EQ(one.Feed(kGet + pszField + "\r\n\r\n"), EState::Complete);
        EXPECT_EQ(zavsvc::LastForwardedFor(one.Head()), pszClient) << pszField;
    }
}

TEST(Address, OneHostHasOneTextWhateverListenerItReached) {
    for (auto [pszIn, pszOut] :
         {std::pair{"127.0.0.1", "127.0.0.1"}, std::pair{"::ffff:127.0.0.1", "127.0.0.1"},
          std::pair{"::FFFF:7f00:1", "127.0.0.1"}, std::pair{"[::1]", "::1"},
          std::pair{"0:0:0:0:0:0:0:1", "::1"}, std::pair{"2001:DB8::0:1", "2001:db8::1"},
          std::pair{"localhost", ""}, std::pair{"127.0.0.1:80", ""}, std::pair{"", ""}}) {
        EXPECT_EQ(zavsvc::NormalizeAddress(pszIn), pszOut) << pszIn;
    }
}

TEST(Address, IsCountedByTheWholeIpv4AddressOrTheIpv6SlashSixtyFour) {
    for (auto [pszIn, pszOut] :
         {std::pair{"127.0.0.1", "127.0.0.1"}, std::pair{"2001:db8:1:2::1", "2001:db8:1:2::/64"},
          std::pair{"2001:db8:1:2:ffff:1:2:3", "2001:db8:1:2::/64"}, std::pair{"::1", "::/64"}}) {
        EXPECT_EQ(zavsvc::AddressKey(pszIn), pszOut) << pszIn;
    }
}

// The framing of chunked bodies, fed whole and byte by byte: true while it may still go on.
TEST(ChunkFraming, TakesWellFormedChunksAndStopsAtLongLinesAndBadEnds) {
    const std::string strLong(zavsvc::CChunkFraming::kMaxLine, 'a');
    const std::vector<std::pair<std::string, bool>> vecCases = {
        {"5\r\nhello\r\nA;x=y\r\n0123456789\r\n0\r\n\r\nNEXT", true},
        {"ff\r\n" + std::string(255, 'z') + "\r\n0\r\n\r\n", true},
        {"1" + strLong, false},              // a size line that never ends
        {"5;" + strLong + "\r\n", false},    // nor one with a long extension
        {"1000000000000000\r\n", false},     // sixteen digits
        {"5\r\nhelloXX", false},             // data not ended by CR LF
        {"5\nhello\r\n", false},             // a bare LF
        {"\r\n", false},                     // no size
        {"-5\r\n", false},                   // no sign
        {" 5\r\n", false},                   // no space before
        {"0\r\nTrailer: x\r\n\r\n", false},  // no trailer fields
    };
    for (const auto& [strBody, bOk] : vecCases) {
        zavsvc::CChunkFraming whole;
        EXPECT_EQ(whole.Feed(strBody), bOk) << strBody.substr(0, 40);
        zavsvc::CChunkFraming bytes;
        bool bBytes = true;
        for (char c : strBody) {
            bBytes = bBytes && bytes.Feed(std::string_view(&c, 1));
        }
        EXPECT_EQ(bBytes, bOk) << strBody.substr(0, 40);
        EXPECT_EQ(whole.Done(), bOk);
    }
}

}  // namespace
