// zav-service over real sockets: the configuration text, the pages, the login reply layout and
// the auth.php grammar, as the desktop client reads them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "service/service_client.h"
#include "support/live_service.h"

namespace {

using namespace svctest;

const std::string kNickname = "라룸의 전사";

std::map<std::string, std::string> SplitConfig(const std::string& strText) {
    std::map<std::string, std::string> map;
    size_t nPos = 0;
    while (nPos <= strText.size()) {
        size_t nEnd = strText.find("<br>", nPos);
        std::string strPiece = strText.substr(nPos, nEnd == std::string::npos ? nEnd : nEnd - nPos);
        size_t nEq = strPiece.find('=');
        if (nEq != std::string::npos) {
            map[strPiece.substr(0, nEq)] = strPiece.substr(nEq + 1);
        }
        if (nEnd == std::string::npos) {
            break;
        }
        nPos = nEnd + 4;
    }
    return map;
}

TEST(LiveService, ConfigurationTextCarriesEveryNameAndTheCommandLineValues) {
    CLiveService service({"--max-upload-mb", "7", "--client-version", "9.9"});
    ASSERT_TRUE(service.IsRunning());
    SReply reply = Get(service, "/Kelpo/html/new_config.php");
    ASSERT_EQ(reply.nStatus, 200);
    auto map = SplitConfig(reply.strBody);
    for (const char* pszName : {"MAX_UPLOAD_LIMIT", "DOWNLOAD_INTERVAL", "DOWNLOAD_ADDPOINT_ENABLE",
                                "DOWNLOAD_DEFAULT_SIZE", "SIZE_FOR_ADDPOINT", "POINT_FOR_DNLOAD",
                                "POINT_FOR_EXCEED", "POINT_FOR_WDB", "CRRT_VERSION"}) {
        ASSERT_TRUE(map.count(pszName)) << pszName << " missing in " << reply.strBody;
        EXPECT_FALSE(map[pszName].empty()) << pszName;
        EXPECT_LE(map[pszName].size(), 48u) << pszName;
    }
    EXPECT_EQ(map["MAX_UPLOAD_LIMIT"], "7");
    EXPECT_EQ(map["CRRT_VERSION"], "9.9");
    EXPECT_EQ(reply.strBody.find("<br><br>"), std::string::npos);
}

TEST(LiveService, DefaultsAnswerVersionOneTwoAndTwentyMegabytes) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    auto map = SplitConfig(Get(service, "/Kelpo/html/new_config.php").strBody);
    EXPECT_EQ(map["MAX_UPLOAD_LIMIT"], "20");
    EXPECT_EQ(map["CRRT_VERSION"], "1.2");
    EXPECT_NE(
        service.RunCommand({"serve", "--data", service.DataDir(), "--client-version", "a<br>b"}),
        0);
    EXPECT_NE(service.RunCommand({"serve", "--data", service.DataDir(), "--max-upload-mb", "2148"}),
              0);
}

TEST(LiveService, LogoPageBoardPageAndImageAreServed) {
    CLiveService service({"--client-version", "1.3"});
    ASSERT_TRUE(service.IsRunning());
    SReply page = Get(service, "/Kelpo/html/logo.html");
    ASSERT_EQ(page.nStatus, 200);
    EXPECT_NE(page.strBody.find("288"), std::string::npos);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(page.strBody, match, std::regex("src=\"([^\"]+)\"")));
    SReply image = Get(service, "/Kelpo/html/" + match[1].str());
    ASSERT_EQ(image.nStatus, 200);
    ASSERT_GT(image.strBody.size(), 24u);
    EXPECT_EQ(image.strBody.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(image.strBody.substr(16, 4), std::string("\0\0\x01\x20", 4));  // width 288

    SReply board = Get(service, "/board/powerbbs.php?come_idx=1206");
    ASSERT_EQ(board.nStatus, 200);
    EXPECT_NE(board.strBody.find("1.3"), std::string::npos);
    EXPECT_EQ(Get(service, "/board/powerbbs.php?come_idx=1").nStatus, 404);
    EXPECT_EQ(Get(service, "/Kelpo/html/nothing.php").nStatus, 404);
}

// A reply always carries the whole body: a Range request is answered as if it had none, never
// half applied.
TEST(LiveService, RangeRequestsGetTheWholeBody) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    const SReply whole = Get(service, "/Kelpo/html/logo.png");
    ASSERT_EQ(whole.nStatus, 200);
    for (const char* pszRange : {"bytes=0-5999", "bytes=0-1,5-6", "bytes=-100", "bytes=x"}) {
        SReply reply =
            ParseReply(Exchange(service.HttpPort(), BuildRequest("GET", "/Kelpo/html/logo.png", "",
                                                                 std::string("Range: ") + pszRange +
                                                                     "\r\nIf-Range: x\r\n")));
        EXPECT_EQ(reply.nStatus, 200) << pszRange;
        EXPECT_TRUE(reply.strBody == whole.strBody) << pszRange;
        EXPECT_EQ(reply.strHeaders.find("Content-Range"), std::string::npos) << pszRange;
    }
}

TEST(LiveService, LoginReplyHasTheFixedLayout) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", kNickname));
    ASSERT_TRUE(service.AddMember("nonick", "secret", ""));

    SReply ok = Login(service, "gamer01", "secret");
    ASSERT_EQ(ok.nStatus, 200);
    const std::string& strOk = ok.strBody;
    ASSERT_EQ(strOk.size(), 105 + kNickname.size());
    EXPECT_EQ(strOk.substr(67, 2), "OK");
    EXPECT_EQ(strOk.substr(87, strOk.size() - 18 - 87), kNickname);

    SReply empty = Login(service, "nonick", "secret");
    EXPECT_EQ(empty.strBody.size(), 105u);
    EXPECT_EQ(empty.strBody.substr(67, 2), "OK");

    // The template around the payload stays the same for every reply.
    SReply wrong = Login(service, "gamer01", "Secret");
    const std::string& strErr = wrong.strBody;
    ASSERT_GT(strErr.size(), 106u);
    EXPECT_EQ(strErr.substr(67, 3), "ERR");
    EXPECT_NE(strErr.substr(67, 2), "OK");
    EXPECT_EQ(strErr.substr(0, 67), strOk.substr(0, 67));
    EXPECT_EQ(strErr.substr(strErr.size() - 18), strOk.substr(strOk.size() - 18));
    const std::string strMessage = strErr.substr(88, strErr.size() - 18 - 88);
    EXPECT_LE(strMessage.size(), 200u);
    EXPECT_NE(Cp949(strMessage), "<iconv failed>") << "the refusal is Korean UTF-8 text";
    EXPECT_NE(strMessage.find("\xEB"), std::string::npos) << strMessage;

    // An unknown id gets the same refusal as a wrong password; a foreign client code another.
    SReply unknown = Login(service, "nobody", "secret");
    EXPECT_EQ(unknown.strBody, strErr);
    SReply badCode = Login(service, "gamer01", "secret", nullptr, std::string(48, '0'));
    EXPECT_EQ(badCode.strBody.substr(67, 3), "ERR");
    EXPECT_NE(badCode.strBody, strErr);
}

TEST(LiveService, LoginTakesPasswordsAsTypedIncludingAmpersandAndKorean) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("amp", "a&pw=b=c", "x"));
    ASSERT_TRUE(service.AddMember("hangul", "비밀번호1", "y"));
    EXPECT_EQ(Login(service, "amp", "a&pw=b=c").strBody.substr(67, 2), "OK");
    EXPECT_EQ(Login(service, "amp", "a").strBody.substr(67, 3), "ERR");
    // The client sends the typed text in CP949.
    EXPECT_EQ(Login(service, "hangul", Cp949("비밀번호1")).strBody.substr(67, 2), "OK");
    EXPECT_EQ(Login(service, "hangul", "비밀번호1").strBody.substr(67, 3), "ERR");
}

TEST(LiveService, AuthRepliesFollowTheGrammar) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", kNickname));

    // Before a login the member's data is refused with -ERR and a CP949 message at byte 15.
    SReply before = PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01");
    EXPECT_EQ(before.nStatus, 403);
    ASSERT_GT(before.strBody.size(), 15u);
    EXPECT_EQ(before.strBody.substr(0, 4), "-ERR");
    EXPECT_NE(Utf8FromCp949(before.strBody.substr(15)), "<iconv failed>");

    ASSERT_EQ(Login(service, "gamer01", "secret").strBody.substr(67, 2), "OK");
    SReply du = PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01");
    EXPECT_EQ(du.nStatus, 200);
    EXPECT_EQ(du.strBody, "+OK<br>Fonts=0|Interface=0|WDB=0|WTF=0|LASTUPLOAD=|Data=0");

    SReply removeAll = PostForm(service, "/Kelpo/html/auth.php", "mode=removeall&id=gamer01");
    EXPECT_EQ(removeAll.strBody.substr(0, 3), "+OK");

    for (const char* pszBody : {"mode=dx&id=gamer01", "mode=du", "", "mode=du&id=../gamer01",
                                "mode=du&id=gamer01/..", "id=gamer01"}) {
        SReply bad = PostForm(service, "/Kelpo/html/auth.php", pszBody);
        EXPECT_EQ(bad.nStatus / 100, 4) << pszBody;
        EXPECT_EQ(bad.strBody.substr(0, 4), "-ERR") << pszBody;
        EXPECT_GT(bad.strBody.size(), 15u) << pszBody;
    }
    SReply huge = PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=" + std::string(5000, 'a'));
    EXPECT_EQ(huge.nStatus, 413);
}

TEST(LiveService, FreeSpaceReportsTheShareOfTheCapacityInUse) {
    CLiveService service({"--capacity-mb", "1"});
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    ASSERT_EQ(Login(service, "gamer01", "secret").strBody.substr(67, 2), "OK");

    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=freespace").strBody, "+OK<br> 0%");
    // The share is kept as uploads and removals go (counted once at start), not looked up in
    // every member folder at each query: a file put there behind the service's back is not in it.
    std::filesystem::create_directories(service.DataDir() + "/UserData/ghost");
    std::ofstream(service.DataDir() + "/UserData/ghost/__WTF.zip") << std::string(600000, 'g');
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=freespace").strBody, "+OK<br> 0%");
    ASSERT_EQ(
        Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", RandomBytes(500000, 1)}}).nStatus,
        200);
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=freespace").strBody, "+OK<br>50%");

    // Beyond the capacity nothing is stored; a full store reads as 99, never as 100.
    SReply over =
        Upload(service, "gamer01", {{"UserFile001", "__Interface.zip", RandomBytes(600000, 2)}});
    EXPECT_EQ(over.nStatus, 507);
    ASSERT_EQ(
        Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", RandomBytes(1000000, 3)}}).nStatus,
        200);
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=freespace").strBody, "+OK<br>99%");
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01")
                  .strBody.find("Interface=0|"),
              7u + 8u);
}

TEST(LiveService, FreeSpaceWithoutCapacityMeasuresTheFileSystem) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    std::smatch match;
    std::string strBody = PostForm(service, "/Kelpo/html/auth.php", "mode=freespace").strBody;
    ASSERT_TRUE(std::regex_match(strBody, match, std::regex(R"(\+OK<br>([ 0-9][0-9])%)")))
        << strBody;
}

TEST(LiveService, LogsOneLinePerRequestAndStopsCleanlyOnSigterm) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    SReply reply = Get(service, "/Kelpo/html/new_config.php");
    ASSERT_EQ(reply.nStatus, 200);
    Get(service, "/Kelpo/UserData/x/__WTF.zip");
    const std::string strLine =
        "GET /Kelpo/html/new_config.php 200 " + std::to_string(reply.strBody.size());
    EXPECT_TRUE(service.WaitForLogLine(strLine, std::chrono::seconds(5)));
    EXPECT_TRUE(
        service.WaitForLogLine("GET /Kelpo/UserData/x/__WTF.zip 403", std::chrono::seconds(5)));
    EXPECT_EQ(service.Stop(), 0);
}

}  // namespace

namespace {

TEST(LiveService, StopsOnSigtermEvenRightAfterItStarted) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(service.Stop(), 0) << "round " << i;
        ASSERT_TRUE(service.Start());
    }
}

}  // namespace

namespace {

TEST(LiveService, APortInUseIsReportedAndTheServiceExits) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    const std::string strOther = service.DataDir() + "-second";
    EXPECT_EQ(service.RunCommand({"serve", "--data", strOther, "--http",
                                  "127.0.0.1:" + std::to_string(service.HttpPort()), "--https",
                                  "127.0.0.1:0"}),
              1);
    EXPECT_EQ(service.RunCommand(
                  {"serve", "--data", strOther, "--http", "127.0.0.1:0", "--https", "[::1:0"}),
              2);
    EXPECT_EQ(svctest::Get(service, "/Kelpo/html/new_config.php").nStatus, 200);
}

}  // namespace
