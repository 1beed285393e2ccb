// CHttpTransfer: the streamed POST and GET of the upload and download workers.
#include "net/http_transfer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/scripted_server.h"
#include "support/wine.h"

namespace {

std::string Pattern(size_t nBytes) {
    std::string strData(nBytes, '\0');
    for (size_t i = 0; i < nBytes; ++i)
        strData[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return strData;
}

bool HasLine(const std::string& strRequest, const std::string& strLine) {
    std::vector<std::string> lines = HeadLines(strRequest);
    return std::find(lines.begin(), lines.end(), strLine) != lines.end();
}

TEST(HttpTransfer, PostStreamsTheExactBodyWithItsAnnouncedLength) {
    CScriptedServer listener(CScriptedServer::Reply(200, "stored"));
    const std::string strBody = Pattern(3 * 1024 * 1024 + 17);
    size_t nOffset = 0;
    size_t nCalls = 0;
    auto readFn = [&](char* pBuffer, size_t nSize) -> size_t {
        // Irregular blocks, as a file reader would give them.
        size_t n = std::min({nSize, strBody.size() - nOffset, size_t{10240} + (nCalls++ % 7)});
        std::copy_n(strBody.data() + nOffset, n, pBuffer);
        nOffset += n;
        return n;
    };
    CHttpTransfer transfer;
    SHttpResult result = transfer.Post(listener.BaseUrl() + "/Kelpo/html/post.php?userid=gamer01",
                                       {"Content-Type: multipart/form-data, boundary=AaB03x"},
                                       strBody.size(), readFn);
    EXPECT_TRUE(result.bTransportOk) << result.strError;
    EXPECT_EQ(result.nStatus, 200);
    EXPECT_EQ(result.strBody, "stored");

    std::string strRequest = listener.Request();
    EXPECT_EQ(HeadLines(strRequest)[0], "POST /Kelpo/html/post.php?userid=gamer01 HTTP/1.1");
    EXPECT_TRUE(HasLine(strRequest, "Content-Type: multipart/form-data, boundary=AaB03x"));
    EXPECT_TRUE(HasLine(strRequest, "Content-Length: " + std::to_string(strBody.size())));
    EXPECT_EQ(CountHeader(strRequest, "Content-Type"), 1);
    EXPECT_EQ(CountHeader(strRequest, "Transfer-Encoding"), 0);
    EXPECT_EQ(CountHeader(strRequest, "Expect"), 0);
    EXPECT_TRUE(BodyOf(strRequest) == strBody);
}

TEST(HttpTransfer, PostStopsWhenTheReaderAborts) {
    CScriptedServer listener(CScriptedServer::Reply(200, "stored"));
    size_t nGiven = 0;
    auto readFn = [&](char* pBuffer, size_t nSize) -> size_t {
        if (nGiven >= 20000)
            return CHttpTransfer::kAbort;
        size_t n = std::min(nSize, size_t{10000});
        std::fill_n(pBuffer, n, 'x');
        nGiven += n;
        return n;
    };
    CHttpTransfer transfer;
    SHttpResult result = transfer.Post(listener.BaseUrl() + "/p", {}, 100000, readFn);
    EXPECT_FALSE(result.bTransportOk);
    EXPECT_TRUE(result.bAborted);
}

TEST(HttpTransfer, PostWhoseReaderEndsEarlyFailsAtOnce) {
    // A file that shrank after its length was announced.
    CScriptedServer listener(CScriptedServer::Reply(200, "stored"));
    size_t nGiven = 0;
    auto readFn = [&](char* pBuffer, size_t nSize) -> size_t {
        size_t n = std::min(nSize, 5000 - nGiven);
        std::fill_n(pBuffer, n, 'y');
        nGiven += n;
        return n;
    };
    CHttpTransfer transfer;
    SHttpResult result = transfer.Post(listener.BaseUrl() + "/p", {}, 8000, readFn);
    EXPECT_FALSE(result.bTransportOk);
    EXPECT_FALSE(result.bAborted);
    EXPECT_EQ(result.strError, "the body ended before its announced length");
    // The client hung up itself: a client that waited for the rest would have been answered
    // after the server's own wait ran out, and the request would not count as closed by it.
    std::vector<CScriptedServer::SRequest> requests = listener.Requests(1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].bPeerClosed);
}

TEST(HttpTransfer, PostToUnreachableServerIsATransportFailure) {
    CClosedPort closed;
    CHttpTransfer transfer;
    auto readFn = [](char*, size_t) -> size_t { return 0; };
    SHttpResult result = transfer.Post(closed.BaseUrl() + "/p", {}, 0, readFn);
    EXPECT_FALSE(result.bTransportOk);
    EXPECT_FALSE(result.bAborted);
    EXPECT_EQ(result.nStatus, 0);
}

TEST(HttpTransfer, GetSpeaksHttp10WithTheAgentAndStreamsTheBody) {
    const std::string strArchive = Pattern(2 * 1024 * 1024 + 5);
    CScriptedServer listener(CScriptedServer::Reply(200, strArchive));
    std::string strReceived;
    CHttpTransfer transfer;
    SHttpResult result = transfer.Get(listener.BaseUrl() + "/Kelpo/UserData/gamer01/__WTF.zip", {},
                                      true, "Tavrin", [&](const char* p, size_t n) {
                                          strReceived.append(p, n);
                                          return true;
                                      });
    EXPECT_TRUE(result.bTransportOk) << result.strError;
    EXPECT_EQ(result.nStatus, 200);
    EXPECT_TRUE(strReceived == strArchive);

    std::string strRequest = listener.Request();
    EXPECT_EQ(HeadLines(strRequest)[0], "GET /Kelpo/UserData/gamer01/__WTF.zip HTTP/1.0");
    EXPECT_TRUE(HasLine(strRequest, "User-Agent: Tavrin"));
    EXPECT_TRUE(HasLine(strRequest, "Cache-Control: no-cache"));
}

// The member id's CP949 bytes go into the path as they are, as the service looks them up.
TEST(HttpTransfer, GetSendsTheBytesOfAKoreanIdInThePathUnescaped) {
    if (const auto reason = WineCannotSendCp949Paths())
        GTEST_SKIP() << *reason;
    CScriptedServer listener(CScriptedServer::Reply(200, "PK"));
    const std::string strPath = "/Kelpo/UserData/\xB0\xD4\xC0\xCC\xB8\xD3/__WTF.zip";
    CHttpTransfer transfer;
    SHttpResult result = transfer.Get(listener.BaseUrl() + strPath, {}, true, "Tavrin",
                                      [](const char*, size_t) { return true; });
    EXPECT_TRUE(result.bTransportOk) << result.strError;
    EXPECT_EQ(HeadLines(listener.Request())[0], "GET " + strPath + " HTTP/1.0");
}

TEST(HttpTransfer, GetKeepsTheStatusOfAnErrorReplyAndStopsWhenTheWriterSaysSo) {
    CScriptedServer missing(CScriptedServer::Reply(404, "not here"));
    CHttpTransfer transfer;
    std::string strBody;
    SHttpResult result =
        transfer.Get(missing.BaseUrl() + "/x", {}, true, "", [&](const char* p, size_t n) {
            strBody.append(p, n);
            return true;
        });
    EXPECT_TRUE(result.bTransportOk);
    EXPECT_EQ(result.nStatus, 404);
    EXPECT_EQ(strBody, "not here");
    EXPECT_EQ(CountHeader(missing.Request(), "User-Agent"), 0);

    CScriptedServer big(CScriptedServer::Reply(200, Pattern(1 << 20)));
    SHttpResult stopped = transfer.Get(big.BaseUrl() + "/x", {}, false, "",
                                       [](const char*, size_t) { return false; });
    EXPECT_FALSE(stopped.bTransportOk);
    EXPECT_TRUE(stopped.bAborted);
    EXPECT_EQ(HeadLines(big.Request())[0], "GET /x HTTP/1.1");
}

TEST(HttpTransfer, GetCutOffMidBodyIsATransportFailure) {
    std::string strHead = "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n";
    CScriptedServer listener(strHead + std::string(1000, 'z'));
    size_t nReceived = 0;
    CHttpTransfer transfer;
    SHttpResult result =
        transfer.Get(listener.BaseUrl() + "/x", {}, true, "", [&](const char*, size_t n) {
            nReceived += n;
            return true;
        });
    EXPECT_FALSE(result.bTransportOk);
    EXPECT_EQ(result.nStatus, 200);
    EXPECT_EQ(nReceived, 1000u);
}

}  // namespace
