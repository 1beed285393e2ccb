// HttpRequest against a loopback listener that records the raw request.
#include "net/http_request.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/scripted_server.h"

namespace {

using Steps = std::vector<CScriptedServer::SStep>;

bool HasLine(const std::string& strRequest, const std::string& strLine) {
    std::vector<std::string> lines = HeadLines(strRequest);
    return std::find(lines.begin(), lines.end(), strLine) != lines.end();
}

TEST(HttpRequest, PlainGetCarriesTheAddedLinesWithZeroLength) {
    CScriptedServer listener(CScriptedServer::Reply(200, "A=1<br>B=2"));
    std::optional<std::string> reply =
        HttpRequest(listener.BaseUrl() + "/Kelpo/html/new_config.php", kHttpGet);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "A=1<br>B=2");

    std::string strRequest = listener.Request();
    EXPECT_EQ(HeadLines(strRequest)[0], "GET /Kelpo/html/new_config.php HTTP/1.1");
    EXPECT_TRUE(HasLine(strRequest, "Accept: text/*"));
    EXPECT_TRUE(HasLine(strRequest, "User-Agent: Mozilla/4.0 (compatible; MSIE 5.0;* Windows NT)"));
    EXPECT_TRUE(HasLine(strRequest, "Content-type: application/x-www-form-urlencoded"));
    EXPECT_TRUE(HasLine(strRequest, "Content-length: 0"));
    EXPECT_TRUE(HasLine(strRequest, "Referer: text/*"));
    // The added lines replace the layer's own, never stand beside them.
    EXPECT_EQ(CountHeader(strRequest, "Content-Length"), 1);
    EXPECT_EQ(CountHeader(strRequest, "Content-Type"), 1);
    EXPECT_EQ(CountHeader(strRequest, "User-Agent"), 1);
    EXPECT_EQ(CountHeader(strRequest, "Accept"), 1);
    EXPECT_EQ(BodyOf(strRequest), "");
}

TEST(HttpRequest, PostSendsTheBodyBytesAsGivenWithTheirLength) {
    CScriptedServer listener(CScriptedServer::Reply(200, "+OK<br>"));
    // CP949 bytes of a Korean id go out unescaped.
    const std::string strBody = "mode=du&id=\xB0\xA1\xB3\xAA";
    std::optional<std::string> reply =
        HttpRequest(listener.BaseUrl() + "/Kelpo/html/auth.php", kHttpPost, strBody);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "+OK<br>");

    std::string strRequest = listener.Request();
    EXPECT_EQ(HeadLines(strRequest)[0], "POST /Kelpo/html/auth.php HTTP/1.1");
    EXPECT_TRUE(HasLine(strRequest, "Content-length: 15"));
    EXPECT_EQ(CountHeader(strRequest, "Content-Length"), 1);
    EXPECT_EQ(CountHeader(strRequest, "Expect"), 0);
    EXPECT_EQ(BodyOf(strRequest), strBody);
}

TEST(HttpRequest, OnlyTheLowByteOfTheSelectorChoosesGet) {
    for (int nSelector : {0x101, 0, 2, 0x201}) {
        CScriptedServer listener(CScriptedServer::Reply(200, "x"));
        HttpRequest(listener.BaseUrl() + "/p", nSelector);
        std::string strExpected = (nSelector & 0xFF) == 1 ? "GET /p HTTP/1.1" : "POST /p HTTP/1.1";
        EXPECT_EQ(HeadLines(listener.Request())[0], strExpected) << nSelector;
    }
}

TEST(HttpRequest, ReplyInSeveralPiecesComesBackAsOneTextInOrder) {
    std::string strHead = "HTTP/1.1 200 OK\r\nContent-Length: 9\r\nConnection: close\r\n\r\n";
    CScriptedServer listener(Steps{{strHead + "abc", 0}, {"def", 50}, {"ghi", 50}});
    EXPECT_EQ(HttpRequest(listener.BaseUrl() + "/p", kHttpGet), "abcdefghi");
}

TEST(HttpRequest, NulByteCutsItsPieceButLaterPiecesStillCount) {
    std::string strHead = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n";
    CScriptedServer listener(Steps{
        {strHead + std::string("AB\0XYZ", 6), 0}, {"CD", 100}, {std::string("E\0F", 2), 100}});
    EXPECT_EQ(HttpRequest(listener.BaseUrl() + "/p", kHttpGet), "ABCDE");
}

TEST(HttpRequest, EmptyBodyAndUnreachableServerBothGiveNothing) {
    CScriptedServer listener(CScriptedServer::Reply(200, ""));
    EXPECT_EQ(HttpRequest(listener.BaseUrl() + "/p", kHttpGet), std::nullopt);
    // ... but the exchange itself tells them apart.
    SHttpResult empty = HttpExchange(listener.BaseUrl() + "/p", kHttpGet, nullptr);
    EXPECT_TRUE(empty.bTransportOk);
    EXPECT_EQ(empty.nStatus, 200);

    CClosedPort closed;
    std::string strDead = closed.BaseUrl() + "/p";
    EXPECT_EQ(HttpRequest(strDead, kHttpGet), std::nullopt);
    SHttpResult dead = HttpExchange(strDead, kHttpGet, nullptr);
    EXPECT_FALSE(dead.bTransportOk);
    EXPECT_EQ(dead.nStatus, 0);
    EXPECT_FALSE(dead.strError.empty());
}

TEST(HttpRequest, ErrorStatusReturnsTheErrorPageBody) {
    for (int nStatus : {404, 500}) {
        CScriptedServer listener(CScriptedServer::Reply(nStatus, "<h1>gone</h1>"));
        EXPECT_EQ(HttpRequest(listener.BaseUrl() + "/p", kHttpGet), "<h1>gone</h1>");
        SHttpResult reply = HttpExchange(listener.BaseUrl() + "/p", kHttpGet, nullptr);
        EXPECT_TRUE(reply.bTransportOk);
        EXPECT_EQ(reply.nStatus, nStatus);
    }
}

TEST(HttpRequest, ReplyCutOffMidBodyCountsAsNoReply) {
    // Promises 100 bytes, sends 10, closes: a truncated text is not the server's answer.
    std::string strHead = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n";
    CScriptedServer listener(strHead + "MAX_UPLOAD");
    EXPECT_EQ(HttpRequest(listener.BaseUrl() + "/p", kHttpGet), std::nullopt);
    SHttpResult reply = HttpExchange(listener.BaseUrl() + "/p", kHttpGet, nullptr);
    EXPECT_FALSE(reply.bTransportOk);
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_EQ(reply.strBody, "MAX_UPLOAD");
}

}  // namespace
