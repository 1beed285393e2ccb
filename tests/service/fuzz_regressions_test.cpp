// Inputs that the fuzz targets of the service turned up, kept so that the faults stay fixed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/multipart.h"

namespace {

class CCountingSink : public zavsvc::IMultipartSink {
public:
    bool OnPartBegin(const zavsvc::SPartHeaders& headers) override {
        m_vecNames.push_back(headers.strName);
        return true;
    }
    bool OnPartData(const char* p, size_t n) override {
        m_strData.append(p, n);
        return true;
    }
    bool OnPartEnd() override { return true; }
    std::vector<std::string> m_vecNames;
    std::string m_strData;
};

// Part headers whose empty line starts at byte nEnd of the header block, then one part.
std::string BodyWithHeaderBlock(size_t nEnd) {
    std::string strHead = "Content-Disposition: form-data; name=\"UserFile002\"\r\nX-Pad: ";
    return "--b\r\n" + strHead + std::string(nEnd - strHead.size(), 'p') +
           "\r\n\r\nPK\r\n--b--\r\n";
}

bool Parse(const std::string& strBody, size_t nCut, CCountingSink& rSink) {
    zavsvc::CMultipartParser parser("b", rSink);
    return parser.Feed(strBody.data(), nCut) &&
           parser.Feed(strBody.data() + nCut, strBody.size() - nCut) && parser.Finish();
}

// A header block at the size limit was refused when the network cut the body inside its
// closing empty line, and accepted when the empty line arrived in one piece.
TEST(MultipartFuzzRegression, HeaderBlockAtTheLimitDoesNotDependOnWhereTheBodyIsCut) {
    constexpr size_t kLimit = 16 * 1024;
    for (size_t nEnd : {kLimit - 1, kLimit}) {
        const std::string strBody = BodyWithHeaderBlock(nEnd);
        const size_t nBlock = 5;  // "--b" CR LF
        for (size_t nInLine = 0; nInLine <= 4; ++nInLine) {
            CCountingSink sink;
            EXPECT_TRUE(Parse(strBody, nBlock + nEnd + nInLine, sink)) << nEnd << " " << nInLine;
            EXPECT_EQ(sink.m_vecNames, std::vector<std::string>{"UserFile002"});
            EXPECT_EQ(sink.m_strData, "PK");
        }
    }
    // One byte more is refused however it arrives.
    const std::string strBody = BodyWithHeaderBlock(kLimit + 1);
    for (size_t nCut : {size_t{5}, size_t{5} + kLimit + 2, size_t{5} + kLimit + 4}) {
        CCountingSink sink;
        EXPECT_FALSE(Parse(strBody, nCut, sink)) << nCut;
    }
}

}  // namespace
