// zav-service against hostile or mistaken requests: address binding of a login, ids and paths
// that try to leave the data folder, password storage and guessing, and malformed traffic.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "service/service_client.h"
#include "support/live_service.h"

namespace {

using namespace svctest;

constexpr const char* kOther = "127.0.0.2";

bool LoggedIn(const SReply& reply) {
    return reply.strBody.size() >= 69 && reply.strBody.substr(67, 2) == "OK";
}

TEST(LiveSecurity, MemberDataIsServedOnlyToTheAddressOfTheLastLogin) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    ASSERT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));
    const std::string strWtf = RandomBytes(3000, 1);
    ASSERT_EQ(Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", strWtf}}).nStatus, 200);

    SReply du = PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01", kOther);
    ASSERT_TRUE(du.bOk) << "could not connect from " << kOther;
    EXPECT_EQ(du.nStatus, 403);
    EXPECT_EQ(du.strBody.substr(0, 4), "-ERR");
    EXPECT_EQ(
        PostForm(service, "/Kelpo/html/auth.php", "mode=removeall&id=gamer01", kOther).nStatus,
        403);
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip", kOther).nStatus, 403);
    EXPECT_EQ(Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", "evil"}}, kOther).nStatus,
              403);
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip").strBody, strWtf);

    // A login from the other address moves the binding there.
    ASSERT_TRUE(LoggedIn(Login(service, "gamer01", "secret", kOther)));
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip", kOther).strBody, strWtf);
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip").nStatus, 403);
    // A failed login does not move it.
    EXPECT_FALSE(LoggedIn(Login(service, "gamer01", "wrong")));
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip", kOther).nStatus, 200);
}

TEST(LiveSecurity, TheBindingEndsWhenTheSessionHoursHavePassed) {
    CLiveService service({"--session-hours", "2"});
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    ASSERT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));
    ASSERT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01").nStatus, 200);

    // Move the login back in time, as the clock would: 1 h 59 min is still inside, 2 h is not.
    auto backdate = [&](int nMinutes) {
        sqlite3* pDb = nullptr;
        ASSERT_EQ(sqlite3_open((service.DataDir() + "/zav.db").c_str(), &pDb), SQLITE_OK);
        sqlite3_busy_timeout(pDb, 5000);
        const std::string strSql = "UPDATE members SET session_time = session_time - " +
                                   std::to_string(int64_t{nMinutes} * 60 * 1000) +
                                   " WHERE id = 'gamer01'";
        EXPECT_EQ(sqlite3_exec(pDb, strSql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(pDb);
    };
    backdate(119);
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01").nStatus, 200);
    backdate(1);
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01").nStatus, 403);
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip").nStatus, 403);
    ASSERT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01").nStatus, 200);
}

TEST(LiveSecurity, ListenersTakeOnlyTheAddressTheyWereGiven) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    // 127.0.0.2 is loopback too, but the listeners were bound to 127.0.0.1 alone.
    for (int nPort : {service.HttpPort(), service.HttpsPort()}) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(nPort));
        ::inet_pton(AF_INET, kOther, &addr.sin_addr);
        EXPECT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << nPort;
        ::close(fd);
    }
    EXPECT_EQ(Get(service, "/Kelpo/html/new_config.php").nStatus, 200);
}

TEST(LiveSecurity, IdsAndPathsCannotReachOutsideTheMembersFolder) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    ASSERT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));
    ASSERT_EQ(Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", "abc"}}).nStatus, 200);

    for (const char* pszTarget :
         {"/Kelpo/UserData/gamer01/../../zav.db", "/Kelpo/UserData/%2e%2e/zav.db",
          "/Kelpo/UserData/gamer01/..%2f..%2fzav.db", "/Kelpo/UserData/gamer01/zav.db",
          "/Kelpo/UserData/gamer01/__wtf.zip", "/Kelpo/UserData/gamer01%2f..%2f../zav.db",
          "/Kelpo/UserData/.gamer01/__WTF.zip", "/Kelpo/UserData/gamer01/%2e%2e",
          "/Kelpo/UserData/../tls/key.pem", "/Kelpo/UserData/tls/key.pem"}) {
        SReply reply = Get(service, pszTarget);
        EXPECT_TRUE(reply.nStatus == 404 || reply.nStatus == 400 || reply.nStatus == 403)
            << pszTarget << " -> " << reply.nStatus;
        EXPECT_EQ(reply.strBody.find("PRIVATE KEY"), std::string::npos) << pszTarget;
    }
    for (const char* pszId : {"..", "../gamer01", "gamer01%2f..", "%2e%2e", ".x", "a%00b",
                              "abcdefghijklmnopqrstuvwxyz012345"}) {
        SReply reply = Upload(service, pszId, {{"UserFile002", "__WTF.zip", "zzz"}});
        EXPECT_EQ(reply.nStatus, 400) << pszId;
    }
    SReply reply = PostForm(service, "/Kelpo/html/auth.php", "mode=removeall&id=..");
    EXPECT_EQ(reply.nStatus, 400);
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip").strBody, "abc");

    // Only the member folders and the service's own files exist in the data folder.
    std::vector<std::string> vecTop;
    for (const auto& entry : std::filesystem::directory_iterator(service.DataDir())) {
        std::string strName = entry.path().filename().string();
        if (strName.rfind("zav.db", 0) != 0) {
            vecTop.push_back(strName);
        }
    }
    std::sort(vecTop.begin(), vecTop.end());
    EXPECT_EQ(vecTop, (std::vector<std::string>{"UserData", "tls"}));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(service.DataDir()).parent_path() /
                                         "__WTF.zip"));
}

TEST(LiveSecurity, MemberCommandsValidateAndManageMembers) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    for (const char* pszId :
         {"", ".hidden", "a/b", "../x", "ㄱㄴ", "abcdefghijklmnopqrstuvwxyz012345"}) {
        EXPECT_FALSE(service.AddMember(pszId, "pw", "n")) << pszId;
    }
    EXPECT_FALSE(service.AddMember("empty", "", "n"));
    EXPECT_FALSE(service.AddMember("toolong", std::string(82, 'p'), "n"));  // id + pw over 88
    EXPECT_TRUE(service.AddMember("longpw", std::string(82, 'p'), "n"));
    // A Hangul id counts in CP949, as the client sends it: 30 bytes for 15 syllables.
    std::string strHangul;
    for (int i = 0; i < 15; ++i) {
        strHangul += "가";
    }
    EXPECT_FALSE(service.AddMember(strHangul, std::string(59, 'p'), "n"));
    EXPECT_TRUE(service.AddMember(strHangul, std::string(58, 'p'), "n"));
    EXPECT_FALSE(service.AddMember("bad", "pw", std::string(201, 'n')));
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "닉네임"));
    EXPECT_FALSE(service.AddMember("gamer01", "other", "x"));

    std::string strList;
    ASSERT_EQ(service.RunCommand({"member", "list", "--data", service.DataDir()}, &strList), 0);
    EXPECT_NE(strList.find("gamer01\t닉네임\t"), std::string::npos) << strList;

    ASSERT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));
    ASSERT_EQ(Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", "abc"}}).nStatus, 200);
    ASSERT_EQ(service.RunCommand({"member", "remove", "--data", service.DataDir(), "gamer01"}), 0);
    EXPECT_FALSE(LoggedIn(Login(service, "gamer01", "secret")));
    EXPECT_FALSE(std::filesystem::exists(service.DataDir() + "/UserData/gamer01"));
    EXPECT_NE(service.RunCommand({"member", "remove", "--data", service.DataDir(), "gamer01"}), 0);
    EXPECT_EQ(service.RunCommand({"member", "frobnicate", "--data", service.DataDir()}), 2);
}

TEST(LiveSecurity, PasswordsAreStoredHashedAndGuessingIsSlowedDown) {
    CClockFile clock;
    CLiveService service({"--clock-file", clock.Path()});
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "SuperSecret77", "n"));
    std::string strDb;  // the database with its write-ahead log
    for (const auto& entry : std::filesystem::directory_iterator(service.DataDir())) {
        if (entry.path().filename().string().rfind("zav.db", 0) == 0) {
            std::ifstream in(entry.path(), std::ios::binary);
            strDb.append(std::istreambuf_iterator<char>(in), {});
        }
    }
    EXPECT_EQ(strDb.find("SuperSecret77"), std::string::npos);
    EXPECT_NE(strDb.find("pbkdf2-sha256$"), std::string::npos);

    const std::string strWrong = Login(service, "gamer01", "guess").strBody;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Login(service, "gamer01", "guess").strBody, strWrong);
    }
    // After five failures even the right password waits; the refusal says so in its own words.
    SReply held = Login(service, "gamer01", "SuperSecret77");
    EXPECT_EQ(held.strBody.substr(67, 3), "ERR");
    EXPECT_NE(held.strBody, strWrong);
    clock.Advance(999);
    EXPECT_EQ(Login(service, "gamer01", "SuperSecret77").strBody, held.strBody);
    clock.Advance(1);
    EXPECT_TRUE(LoggedIn(Login(service, "gamer01", "SuperSecret77")));
    EXPECT_EQ(Login(service, "gamer01", "guess").strBody, strWrong);
}

TEST(LiveSecurity, ParallelGuessesGetNoMorePasswordChecksThanSequentialOnes) {
    CClockFile clock;  // time stands still: the wait after the fifth failure cannot run out
    // Room for every guess at once: none is turned away as busy.
    CLiveService service({"--clock-file", clock.Path(), "--password-checks", "32"});
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    const std::string strWrong = Login(service, "gamer01", "guess", "127.0.0.9").strBody;
    std::vector<std::string> vecReplies(30);
    std::vector<std::thread> vecThreads;
    for (auto& strReply : vecReplies) {
        vecThreads.emplace_back([&] { strReply = Login(service, "gamer01", "guess").strBody; });
    }
    for (auto& thread : vecThreads) {
        thread.join();
    }
    EXPECT_EQ(std::count(vecReplies.begin(), vecReplies.end(), strWrong), 5);
}

// Known and unknown ids get the same answers in the same order, so the answers cannot tell
// which ids exist; and a stranger's guesses slow down only the stranger's own address.
TEST(LiveSecurity, UnknownIdsAreSlowedDownLikeKnownOnesAndOnlyAtTheGuessersAddress) {
    CClockFile clock;
    CLiveService service({"--clock-file", clock.Path()});
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    std::vector<std::string> vecKnown, vecUnknown;
    for (int i = 0; i < 6; ++i) {
        vecKnown.push_back(Login(service, "gamer01", "guess", kOther).strBody);
        vecUnknown.push_back(Login(service, "nosuchid", "guess", kOther).strBody);
    }
    EXPECT_EQ(vecKnown, vecUnknown);
    EXPECT_EQ(vecKnown[4], vecKnown[0]);
    EXPECT_NE(vecKnown[5], vecKnown[0]);
    EXPECT_FALSE(LoggedIn(Login(service, "gamer01", "secret", kOther)));
    EXPECT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));

    // One address trying many ids is slowed down after twenty failures, whichever id is next.
    const char* pszRoamer = "127.0.0.3";
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(Login(service, "roam" + std::to_string(i), "guess", pszRoamer).strBody,
                  vecKnown[0])
            << i;
    }
    EXPECT_EQ(Login(service, "gamer01", "secret", pszRoamer).strBody, vecKnown[5]);
    clock.Advance(1000);
    EXPECT_TRUE(LoggedIn(Login(service, "gamer01", "secret", pszRoamer)));
}

// Sets the iteration count of a member's stored hash: the password no longer verifies, but
// every check of it costs that much.
void SetHashCost(const CLiveService& service, const std::string& strId, int nIterations) {
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open((service.DataDir() + "/zav.db").c_str(), &pDb), SQLITE_OK);
    sqlite3_busy_timeout(pDb, 5000);
    const std::string strSql =
        "UPDATE members SET password = 'pbkdf2-sha256$" + std::to_string(nIterations) +
        "' || substr(password, instr(substr(password, 15), '$') + 14) WHERE id = '" + strId + "'";
    EXPECT_EQ(sqlite3_exec(pDb, strSql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(pDb);
}

// One password check at a time and one waiting: further logins are answered 503 at once
// instead of taking the processor from everything else.
TEST(LiveSecurity, PasswordChecksBeyondTheirPoolAreAnsweredBusyAtOnce) {
    CLiveService service({"--password-checks", "1"});
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    SetHashCost(service, "gamer01", 3000000);  // about a second a check
    std::vector<SReply> vecReplies(5);
    std::vector<std::thread> vecThreads;
    for (size_t i = 0; i < vecReplies.size(); ++i) {
        vecThreads.emplace_back([&, i] {
            const std::string strSource = "127.0.4." + std::to_string(i + 1);
            vecReplies[i] = Login(service, "gamer01", "guess", strSource.c_str());
        });
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Get(service, "/Kelpo/html/new_config.php").nStatus, 200);
    }
    for (auto& thread : vecThreads) {
        thread.join();
    }
    const auto nBusy = std::count_if(vecReplies.begin(), vecReplies.end(),
                                     [](const SReply& reply) { return reply.nStatus == 503; });
    EXPECT_GE(nBusy, 3);
    EXPECT_LE(nBusy, 4);
    // Once the checks are done, the pool takes logins again.
    EXPECT_EQ(Login(service, "gamer01", "guess", "127.0.4.9").nStatus, 200);
}

// Failed logins of an IPv6 client count for its whole /64, which it could otherwise walk
// through address by address.
TEST(LiveSecurity, GuessesFromOneIpv6SlashSixtyFourAreSlowedDownTogether) {
    CClockFile clock;
    CLiveService service({"--clock-file", clock.Path(), "--trusted-proxy", "127.0.0.1"});
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    auto login = [&](const std::string& strClient) {
        const std::string strBody =
            "code=3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f&id=gamer01&pw=guess";
        return ParseReply(TlsExchange(service.HttpsPort(),
                                      BuildRequest("POST", "/app/login", strBody,
                                                   "X-Forwarded-For: " + strClient + "\r\n"),
                                      service.CaFile()))
            .strBody;
    };
    const std::string strWrong = login("2001:db8:1:2::1");
    for (int i = 2; i <= 5; ++i) {
        EXPECT_EQ(login("2001:db8:1:2::" + std::to_string(i)), strWrong) << i;
    }
    EXPECT_NE(login("2001:db8:1:2:ffff::9"), strWrong);  // slowed down
    EXPECT_EQ(login("2001:db8:1:3::1"), strWrong);       // another /64
}

TEST(LiveSecurity, ABindingEndsWhenTheClockStepsBack) {
    CClockFile clock;
    CLiveService service({"--clock-file", clock.Path()});
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    ASSERT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));
    // A little back (machines sharing a store differ that much) keeps it.
    clock.Advance(-30 * 1000);
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01").nStatus, 200);
    // A day back would otherwise extend the session by a day.
    clock.Advance(-24 * 3600 * 1000);
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01").nStatus, 403);
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip").nStatus, 403);
    ASSERT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01").nStatus, 200);
}

TEST(LiveSecurity, ALoginThatCannotBeStoredNeverAnswersOk) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open((service.DataDir() + "/zav.db").c_str(), &pDb), SQLITE_OK);
    // Holding the write lock makes every write of the service fail (after its busy time-out).
    ASSERT_EQ(sqlite3_exec(pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    SReply held = Login(service, "gamer01", "secret");
    EXPECT_EQ(held.nStatus, 503);
    EXPECT_EQ(held.strBody.substr(67, 3), "ERR");
    sqlite3_exec(pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(pDb);
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01").nStatus, 403);
    EXPECT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));
}

TEST(LiveSecurity, MalformedTrafficNeverTakesTheServiceDown) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    const std::vector<std::string> vecJunk = {
        "\r\n\r\n",
        "GARBAGE\r\n\r\n",
        "GET\r\n\r\n",
        "GET / HTTP/9.9\r\n\r\n",
        "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\n\r\n",
        "POST /Kelpo/html/auth.php HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
        "POST /Kelpo/html/auth.php HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
        "POST /Kelpo/html/auth.php HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
        "POST /Kelpo/html/post.php?userid=gamer01 HTTP/1.1\r\nContent-Type: multipart/form-data\r\n"
        "Content-Length: 3\r\n\r\nabc",
        "POST /app/login HTTP/1.1\r\nContent-Length: 4\r\n\r\nabcd",
        "PUT /anything HTTP/1.1\r\nContent-Length: 100000000\r\n\r\n",
        RandomBytes(5000, 3),
    };
    for (const auto& strJunk : vecJunk) {
        std::string strReply =
            Exchange(service.HttpPort(), strJunk, nullptr, std::string::npos, true);
        if (!strReply.empty()) {
            SReply reply = ParseReply(strReply);
            EXPECT_NE(reply.nStatus / 100, 2) << strJunk.substr(0, 60);
        }
        Exchange(service.HttpsPort(), strJunk, nullptr, std::string::npos, true);  // not TLS
    }
    EXPECT_EQ(Get(service, "/Kelpo/html/new_config.php").nStatus, 200);
    SReply login = Login(service, "x", "y");
    EXPECT_EQ(login.nStatus, 200);
    ASSERT_GT(login.strBody.size(), 70u);
    EXPECT_EQ(login.strBody.substr(67, 3), "ERR");
    EXPECT_EQ(service.Stop(), 0);
}

TEST(LiveSecurity, OnlyTheTrustedProxyNamesTheClient) {
    CLiveService service({"--trusted-proxy", "127.0.0.1"});
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    auto forwarded = [](const char* pszClient) {
        return std::string("X-Forwarded-For: 198.51.100.7, ") + pszClient + "\r\n";
    };
    const std::string strLogin =
        "code=3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f&id=gamer01&pw=secret";
    ASSERT_TRUE(LoggedIn(ParseReply(TlsExchange(
        service.HttpsPort(), BuildRequest("POST", "/app/login", strLogin, forwarded("127.0.0.3")),
        service.CaFile()))));
    auto du = [&](const char* pszSource, const std::string& strHeaders) {
        return ParseReply(Exchange(service.HttpPort(),
                                   BuildRequest("POST", "/Kelpo/html/auth.php",
                                                "mode=du&id=gamer01", strHeaders),
                                   pszSource))
            .nStatus;
    };
    EXPECT_EQ(du("127.0.0.1", forwarded("127.0.0.3")), 200);
    EXPECT_EQ(du("127.0.0.3", ""), 200);
    EXPECT_EQ(du("127.0.0.1", forwarded("127.0.0.4")), 403);
    EXPECT_EQ(du("127.0.0.2", forwarded("127.0.0.3")), 403);  // not the proxy: not believed
    EXPECT_EQ(du("127.0.0.1", ""), 400);  // the proxy must say whom it forwards for
    EXPECT_TRUE(
        service.WaitForLogLine("https 127.0.0.3 POST /app/login 200", std::chrono::seconds(5)));
}

TEST(LiveSecurity, AnIpv4ClientOfADualStackListenerIsItsIpv4Address) {
    CLiveService service({"--https", "[::]:0"});
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    ASSERT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));  // arrives as ::ffff:127.0.0.1
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01").nStatus, 200);
}

TEST(LiveSecurity, TheDataFolderIsTheOwnersAndTheCertificateIsAServerLeaf) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    ASSERT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));
    ASSERT_EQ(Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", "abc"}}).nStatus, 200);
    namespace fs = std::filesystem;
    const auto mode = [](const fs::path& path) {
        return fs::status(path).permissions() & fs::perms::all;
    };
    EXPECT_EQ(mode(service.DataDir()), fs::perms::owner_all);
    size_t nFiles = 0;
    for (const auto& entry : fs::recursive_directory_iterator(service.DataDir())) {
        EXPECT_EQ(mode(entry.path()), entry.is_directory()
                                          ? fs::perms::owner_all
                                          : fs::perms::owner_read | fs::perms::owner_write)
            << entry.path();
        nFiles += entry.is_regular_file();
    }
    EXPECT_GE(nFiles, 4u);  // the database, the key, the certificate, the archive

    FILE* pFile = std::fopen(service.CaFile().c_str(), "r");
    ASSERT_NE(pFile, nullptr);
    X509* pCert = PEM_read_X509(pFile, nullptr, nullptr, nullptr);
    std::fclose(pFile);
    ASSERT_NE(pCert, nullptr);
    EXPECT_EQ(X509_check_ca(pCert), 0);
    EXPECT_EQ(X509_check_purpose(pCert, X509_PURPOSE_SSL_SERVER, 0), 1);
    EXPECT_EQ(X509_check_ip_asc(pCert, "::1", 0), 1);
    EXPECT_EQ(X509_check_host(pCert, "localhost", 0, 0, nullptr), 1);
    X509_free(pCert);
}

TEST(LiveSecurity, DemoModeProvidesTheDemoMember) {
    CLiveService service({"--demo"});
    ASSERT_TRUE(service.IsRunning());
    SReply login = Login(service, "gamer01", "zavdemo");
    ASSERT_TRUE(LoggedIn(login));
    std::string strNick = login.strBody.substr(87, login.strBody.size() - 105);
    EXPECT_FALSE(strNick.empty());
    EXPECT_NE(Cp949(strNick), "<iconv failed>");
    EXPECT_GT(static_cast<unsigned char>(strNick[0]), 0x7F) << "a Korean nickname";
}

}  // namespace
