// The upload body parser: the desktop client's form and the standard form, fed in every way a
// network can split them, and the malformed bodies it must refuse.
#include "service/multipart.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct SPart {
    std::string strName;
    std::string strFileName;
    std::string strData;
    bool bEnded = false;
};

class CRecordingSink : public zavsvc::IMultipartSink {
public:
    bool OnPartBegin(const zavsvc::SPartHeaders& headers) override {
        m_vecParts.push_back({headers.strName, headers.strFileName, "", false});
        return m_nRefuseAt != m_vecParts.size();
    }
    bool OnPartData(const char* p, size_t n) override {
        m_vecParts.back().strData.append(p, n);
        return true;
    }
    bool OnPartEnd() override {
        m_vecParts.back().bEnded = true;
        return true;
    }
    std::vector<SPart> m_vecParts;
    size_t m_nRefuseAt = 0;
};

// Data that holds near-misses of the delimiter.
const std::string kTricky = std::string("PK\x03\x04\r\n--AaB03\r\n-AaB03x--AaB03x\r\n--AaB0", 36) +
                            std::string(1, '\0') + "\r";

std::string ClientBody() {
    std::string strBody;
    auto part = [&](const char* pszField, const char* pszFile, const std::string& strData) {
        strBody += std::string("--AaB03x\r\ncontent-disposition: form-data; name=\"") + pszField +
                   "\"; filename=\"" + pszFile + "\"\r\n";
        strBody += "Content-Type: multipart/mixed\r\nContent-Transfer-Encoding: binary\r\n\r\n";
        strBody += strData + "\r\n";
    };
    part("UserFile001", "__Interface.zip", kTricky);
    part("UserFile002", "__WTF.zip", "");
    part("UserFile004", "__Fonts.zip", "x");
    return strBody + "--AaB03x\r\n\r\n";
}

bool ParseInPieces(const std::string& strBody, const std::vector<size_t>& vecCuts,
                   CRecordingSink& rSink, std::string* pStrError = nullptr) {
    zavsvc::CMultipartParser parser("AaB03x", rSink);
    size_t nPos = 0;
    for (size_t nCut : vecCuts) {
        if (!parser.Feed(strBody.data() + nPos, nCut - nPos)) {
            break;
        }
        nPos = nCut;
    }
    bool bOk = parser.Feed(strBody.data() + nPos, strBody.size() - nPos) && parser.Finish();
    if (pStrError != nullptr) {
        *pStrError = parser.Error();
    }
    return bOk;
}

void ExpectClientParts(const CRecordingSink& sink) {
    ASSERT_EQ(sink.m_vecParts.size(), 3u);
    EXPECT_EQ(sink.m_vecParts[0].strName, "UserFile001");
    EXPECT_EQ(sink.m_vecParts[0].strFileName, "__Interface.zip");
    EXPECT_EQ(sink.m_vecParts[0].strData, kTricky);
    EXPECT_EQ(sink.m_vecParts[1].strName, "UserFile002");
    EXPECT_EQ(sink.m_vecParts[1].strData, "");
    EXPECT_EQ(sink.m_vecParts[2].strName, "UserFile004");
    EXPECT_EQ(sink.m_vecParts[2].strData, "x");
    for (const auto& part : sink.m_vecParts) {
        EXPECT_TRUE(part.bEnded);
    }
}

TEST(MultipartParser, ReadsTheClientBodyWhereverTheNetworkSplitsIt) {
    const std::string strBody = ClientBody();
    {
        CRecordingSink sink;
        ASSERT_TRUE(ParseInPieces(strBody, {}, sink));
        ExpectClientParts(sink);
    }
    for (size_t nCut = 1; nCut < strBody.size(); ++nCut) {
        CRecordingSink sink;
        ASSERT_TRUE(ParseInPieces(strBody, {nCut}, sink)) << "cut at " << nCut;
        ExpectClientParts(sink);
    }
    std::vector<size_t> vecEveryByte;
    for (size_t i = 1; i < strBody.size(); ++i) {
        vecEveryByte.push_back(i);
    }
    CRecordingSink sink;
    ASSERT_TRUE(ParseInPieces(strBody, vecEveryByte, sink));
    ExpectClientParts(sink);
}

TEST(MultipartParser, ReadsTheStandardFormWithPreambleAndEpilogue) {
    const std::string strBody =
        "preamble\r\n--AaB03x\r\nContent-Disposition: form-data; name=\"UserFile003\"; "
        "filename=\"a;b.zip\"\r\nContent-Type: application/zip\r\n\r\n" +
        kTricky + "\r\n--AaB03x--\r\nepilogue --AaB03x garbage";
    for (size_t nCut = 1; nCut < strBody.size(); ++nCut) {
        CRecordingSink sink;
        ASSERT_TRUE(ParseInPieces(strBody, {nCut}, sink)) << "cut at " << nCut;
        ASSERT_EQ(sink.m_vecParts.size(), 1u);
        EXPECT_EQ(sink.m_vecParts[0].strName, "UserFile003");
        EXPECT_EQ(sink.m_vecParts[0].strFileName, "a;b.zip");
        EXPECT_EQ(sink.m_vecParts[0].strData, kTricky);
    }
}

TEST(MultipartParser, RefusesIncompleteAndMalformedBodies) {
    const std::string strClient = ClientBody();
    struct SCase {
        const char* pszWhat;
        std::string strBody;
    };
    const std::vector<SCase> vecCases = {
        {"cut inside the data", strClient.substr(0, 150)},
        {"cut before the closing line", strClient.substr(0, strClient.size() - 12)},
        {"cut inside part headers", strClient.substr(0, 40)},
        {"empty body", ""},
        {"no delimiter at all", "just some text"},
        {"header line without colon", "--AaB03x\r\nbroken header\r\n\r\ndata\r\n--AaB03x--\r\n"},
        {"part without disposition", "--AaB03x\r\nContent-Type: a/b\r\n\r\nd\r\n--AaB03x--\r\n"},
        {"data after the client's closing line", strClient + "more"},
        {"text after a delimiter", "--AaB03xyz\r\n\r\n"},
    };
    for (const auto& testCase : vecCases) {
        CRecordingSink sink;
        std::string strError;
        EXPECT_FALSE(ParseInPieces(testCase.strBody, {}, sink, &strError)) << testCase.pszWhat;
        EXPECT_FALSE(strError.empty()) << testCase.pszWhat;
    }
}

TEST(MultipartParser, OverlongPartHeadersAreRefusedWithoutUnboundedBuffering) {
    std::string strBody = "--AaB03x\r\ncontent-disposition: form-data; name=\"x\"\r\nX: ";
    strBody += std::string(64 * 1024, 'a');
    CRecordingSink sink;
    EXPECT_FALSE(ParseInPieces(strBody, {}, sink));
}

TEST(MultipartParser, StopsWhenTheReceiverRefusesAPart) {
    CRecordingSink sink;
    sink.m_nRefuseAt = 2;
    zavsvc::CMultipartParser parser("AaB03x", sink);
    const std::string strBody = ClientBody();
    EXPECT_FALSE(parser.Feed(strBody.data(), strBody.size()));
    EXPECT_TRUE(parser.SinkRefused());
    EXPECT_FALSE(parser.Finish());
}

TEST(MultipartBoundary, AcceptsCommaAndSemicolonFormsOnlyForFormData) {
    EXPECT_EQ(zavsvc::MultipartBoundary("multipart/form-data, boundary=AaB03x"), "AaB03x");
    EXPECT_EQ(zavsvc::MultipartBoundary("multipart/form-data; boundary=AaB03x"), "AaB03x");
    EXPECT_EQ(zavsvc::MultipartBoundary("Multipart/Form-Data; charset=x; BOUNDARY=\"a b;c\""),
              "a b;c");
    EXPECT_EQ(zavsvc::MultipartBoundary("multipart/mixed; boundary=AaB03x"), std::nullopt);
    EXPECT_EQ(zavsvc::MultipartBoundary("multipart/form-data"), std::nullopt);
    EXPECT_EQ(zavsvc::MultipartBoundary("multipart/form-data; boundary="), std::nullopt);
    EXPECT_EQ(zavsvc::MultipartBoundary("multipart/form-data; boundary=" + std::string(71, 'b')),
              std::nullopt);
}

}  // namespace
