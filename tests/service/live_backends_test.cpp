// The promises of zav-service on either pair of back ends, SQLite with files and PostgreSQL
// with an S3 store, and those that two instances over one database and bucket must keep
// together: a member's session across instances, all-or-nothing uploads when an instance is
// killed or two uploads of a member race, the login slow-down counted once for both, 503 when
// the database or the store is away, 404 for a missing object, the sweep of objects no row
// names, and the migration of a data folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "service/backend_servers.h"
#include "service/service_client.h"
#include "support/live_service.h"

namespace {

using namespace svctest;

enum class EBackends { Embedded, Shared };

bool LoggedIn(const SReply& reply) {
    return reply.strBody.size() >= 69 && reply.strBody.substr(67, 2) == "OK";
}

std::string Du(const CLiveService& service, const std::string& strId = "gamer01",
               const char* pszSource = nullptr) {
    return PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=" + strId, pszSource).strBody;
}

std::string Download(const CLiveService& service, const std::string& strName) {
    SReply reply = Get(service, "/Kelpo/UserData/gamer01/" + strName);
    return reply.nStatus == 200 ? reply.strBody : "status " + std::to_string(reply.nStatus);
}

// Sends the first nBytes of the request and keeps the connection open.
CSocket SendPart(const CLiveService& service, const std::string& strRequest, size_t nBytes) {
    CSocket socket(OpenConnection(service.HttpPort()));
    EXPECT_EQ(::send(socket.Get(), strRequest.data(), nBytes, MSG_NOSIGNAL),
              static_cast<ssize_t>(nBytes));
    return socket;
}

// The du reply without its last-upload time.
std::string Sizes(const std::string& strDu) {
    return std::regex_replace(strDu, std::regex("LASTUPLOAD=[^|]*"), "LASTUPLOAD");
}

void KillNow(CLiveService& service) {
    ::kill(service.Pid(), SIGKILL);
    service.Stop();  // reaps it
}

class LiveBackends : public ::testing::TestWithParam<EBackends> {
protected:
    void SetUp() override {
        if (GetParam() == EBackends::Shared) {
            ASSERT_TRUE(m_postgres.Start());
            ASSERT_TRUE(m_s3.Start());
        }
    }
    std::vector<std::string> BackendArgs() const {
        return GetParam() == EBackends::Shared ? SharedBackendArgs(m_postgres, m_s3)
                                               : std::vector<std::string>{};
    }
    std::unique_ptr<CLiveService> StartService(std::vector<std::string> vecExtra = {}) {
        std::vector<std::string> vecArgs = BackendArgs();
        vecArgs.insert(vecArgs.end(), vecExtra.begin(), vecExtra.end());
        auto pService = std::make_unique<CLiveService>(vecArgs);
        EXPECT_TRUE(pService->IsRunning());
        return pService;
    }
    void AddAndLogIn(const CLiveService& service, const std::string& strId,
                     const char* pszSource = nullptr) {
        ASSERT_TRUE(AddMemberTo(service, BackendArgs(), strId, "secret", "닉"));
        ASSERT_TRUE(LoggedIn(Login(service, strId, "secret", pszSource)));
    }

    CTestPostgres m_postgres;
    CTestS3 m_s3;
};

TEST_P(LiveBackends, ASessionStoresEveryArchiveByteForByteAndRemovesThemAll) {
    auto pService = StartService({"--max-upload-mb", "2"});
    const CLiveService& service = *pService;
    AddAndLogIn(service, "gamer01");
    const std::string strInterface = RandomBytes(700000, 1);
    const std::string strWtf = RandomBytes(4321, 2);
    const std::string strWdb = RandomBytes(65536, 3);
    ASSERT_EQ(Upload(service, "gamer01",
                     {{"UserFile001", "__Interface.zip", strInterface},
                      {"UserFile002", "__WTF.zip", strWtf},
                      {"UserFile003", "__WDB.zip", strWdb},
                      {"UserFile004", "__Fonts.zip", "f"}})
                  .strBody,
              "+OK<br>Interface=700000|WTF=4321|WDB=65536|Fonts=1");
    EXPECT_TRUE(std::regex_match(
        Du(service), std::regex(R"(\+OK<br>Fonts=1\|Interface=700000\|WDB=65536\|WTF=4321\|)"
                                R"(LASTUPLOAD=\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\|Data=769858)")))
        << Du(service);
    // A later upload of one category keeps the others.
    const std::string strNewWtf = RandomBytes(5000, 4);
    ASSERT_EQ(Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", strNewWtf}}).nStatus, 200);
    EXPECT_EQ(Download(service, "__Interface.zip"), strInterface);
    EXPECT_EQ(Download(service, "__WTF.zip"), strNewWtf);
    EXPECT_EQ(Download(service, "__WDB.zip"), strWdb);
    EXPECT_EQ(Download(service, "__Fonts.zip"), "f");

    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=removeall&id=gamer01").strBody,
              "+OK<br>");
    EXPECT_EQ(Du(service), "+OK<br>Fonts=0|Interface=0|WDB=0|WTF=0|LASTUPLOAD=|Data=0");
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip").nStatus, 404);
    if (GetParam() == EBackends::Shared) {
        // The four went with their rows; the WTF archive replaced before waits for the sweep.
        EXPECT_EQ(m_s3.ObjectFiles().size(), 1u);
    }
}

TEST_P(LiveBackends, TheLimitHoldsForWhatTheMemberKeepsAndOneUploadRunsAtATime) {
    auto pService = StartService({"--max-upload-mb", "1"});
    const CLiveService& service = *pService;
    AddAndLogIn(service, "gamer01");
    ASSERT_EQ(
        Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", RandomBytes(600000, 5)}}).nStatus,
        200);
    const std::string strDu = Du(service);
    EXPECT_EQ(Upload(service, "gamer01", {{"UserFile004", "__Fonts.zip", RandomBytes(600000, 6)}})
                  .nStatus,
              413);
    EXPECT_EQ(Du(service), strDu);
    // While one upload of the member is on its way, a second one is refused.
    const std::string strRequest = ClientUploadRequest(
        "gamer01", ClientUploadBody({{"UserFile002", "__WTF.zip", RandomBytes(900000, 7)}}));
    CSocket first = SendPart(service, strRequest, 100000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Upload(service, "gamer01", {{"UserFile004", "__Fonts.zip", "x"}}).nStatus, 409);
    ASSERT_EQ(
        ::send(first.Get(), strRequest.data() + 100000, strRequest.size() - 100000, MSG_NOSIGNAL),
        static_cast<ssize_t>(strRequest.size() - 100000));
    std::string strReply;
    char ach[4096];
    ssize_t n;
    while ((n = ::recv(first.Get(), ach, sizeof ach, 0)) > 0) {
        strReply.append(ach, static_cast<size_t>(n));
    }
    EXPECT_EQ(ParseReply(strReply).nStatus, 200);
    EXPECT_EQ(Upload(service, "gamer01", {{"UserFile004", "__Fonts.zip", "x"}}).nStatus, 200);
}

// An upload in progress holds its announced size against the capacity, as the database counts
// it: another member's upload that would pass the capacity beside it is refused at once.
TEST_P(LiveBackends, UploadsInProgressReserveTheirAnnouncedSize) {
    auto pService = StartService({"--capacity-mb", "3", "--max-upload-mb", "2"});
    const CLiveService& service = *pService;
    AddAndLogIn(service, "gamer01");
    AddAndLogIn(service, "gamer02", "127.0.0.2");
    const std::string strRequest = ClientUploadRequest(
        "gamer01", ClientUploadBody({{"UserFile002", "__WTF.zip", RandomBytes(2000000, 8)}}));
    CSocket held = SendPart(service, strRequest, 100000);
    for (int i = 0;
         i < 500 &&
         PostForm(service, "/Kelpo/html/auth.php", "mode=freespace").strBody.find("<br> 0%") !=
             std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=freespace").strBody, "+OK<br>66%");
    EXPECT_EQ(Upload(service, "gamer02", {{"UserFile002", "__WTF.zip", RandomBytes(1500000, 9)}},
                     "127.0.0.2")
                  .nStatus,
              507);
    EXPECT_EQ(Upload(service, "gamer02", {{"UserFile002", "__WTF.zip", RandomBytes(900000, 10)}},
                     "127.0.0.2")
                  .nStatus,
              200);
}

// A kill -9 at any moment of an upload leaves the member the old set or the new one, never a
// mix; the killed instance's lease of the member runs out at its expiry.
TEST_P(LiveBackends, AKilledInstanceLeavesTheOldSetOrTheNewOne) {
    CClockFile clock;
    auto pService = StartService({"--clock-file", clock.Path()});
    CLiveService& service = *pService;
    AddAndLogIn(service, "gamer01");
    ASSERT_EQ(Upload(service, "gamer01",
                     {{"UserFile002", "__WTF.zip", RandomBytes(300000, 11)},
                      {"UserFile004", "__Fonts.zip", RandomBytes(200000, 12)}})
                  .nStatus,
              200);
    const std::string strOld = Sizes(Du(service));
    const std::string strNewWtf = RandomBytes(400000, 13);
    const std::string strNewFonts = RandomBytes(100000, 14);
    const std::string strRequest = ClientUploadRequest(
        "gamer01", ClientUploadBody({{"UserFile002", "__WTF.zip", strNewWtf},
                                     {"UserFile004", "__Fonts.zip", strNewFonts}}));
    const std::string strNew =
        "+OK<br>Fonts=100000|Interface=0|WDB=0|WTF=400000|LASTUPLOAD|Data=500000";
    bool bSawNew = false;
    // The whole body goes out, and the instance dies a little later each time: while it
    // receives, stores the objects, commits or answers.
    for (int nDelayMs : {0, 5, 10, 20, 40, 80, 200}) {
        {
            CSocket socket = SendPart(service, strRequest, strRequest.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(nDelayMs));
            KillNow(service);
        }
        ASSERT_TRUE(service.Start());
        clock.Advance(31000);  // past the lease the killed instance held
        const std::string strNow = Sizes(Du(service));
        ASSERT_TRUE(strNow == strOld || strNow == strNew)
            << "after " << nDelayMs << " ms: " << strNow;
        if (strNow == strNew) {
            bSawNew = true;
            EXPECT_EQ(Download(service, "__WTF.zip"), strNewWtf);
            EXPECT_EQ(Download(service, "__Fonts.zip"), strNewFonts);
        } else {
            EXPECT_EQ(Download(service, "__WTF.zip").size(), 300000u);
            EXPECT_EQ(Download(service, "__Fonts.zip").size(), 200000u);
        }
    }
    EXPECT_TRUE(bSawNew) << "no kill came late enough to find the upload stored";
}

INSTANTIATE_TEST_SUITE_P(Backends, LiveBackends,
                         ::testing::Values(EBackends::Embedded, EBackends::Shared),
                         [](const auto& testInfo) {
                             return testInfo.param == EBackends::Shared ? "PostgresS3"
                                                                        : "SqliteFiles";
                         });

// Two instances over one database and one bucket, as behind a load balancer.
class SharedInstances : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_postgres.Start());
        ASSERT_TRUE(m_s3.Start());
    }
    std::unique_ptr<CLiveService> StartService(std::vector<std::string> vecExtra = {}) {
        std::vector<std::string> vecArgs = SharedBackendArgs(m_postgres, m_s3);
        vecArgs.insert(vecArgs.end(), vecExtra.begin(), vecExtra.end());
        auto pService = std::make_unique<CLiveService>(vecArgs);
        EXPECT_TRUE(pService->IsRunning());
        return pService;
    }
    bool Add(const CLiveService& service, const std::string& strId) {
        return AddMemberTo(service, SharedBackendArgs(m_postgres, m_s3), strId, "secret", "닉");
    }

    CTestPostgres m_postgres;
    CTestS3 m_s3;
};

TEST_F(SharedInstances, AMembersSessionGoesOnThroughEitherInstance) {
    CClockFile clock;
    auto pA = StartService({"--clock-file", clock.Path()});
    auto pB = StartService({"--clock-file", clock.Path()});
    ASSERT_TRUE(Add(*pA, "gamer01"));
    ASSERT_TRUE(LoggedIn(Login(*pA, "gamer01", "secret")));
    EXPECT_EQ(Du(*pB), "+OK<br>Fonts=0|Interface=0|WDB=0|WTF=0|LASTUPLOAD=|Data=0");
    EXPECT_EQ(PostForm(*pB, "/Kelpo/html/auth.php", "mode=du&id=gamer01", "127.0.0.2").nStatus,
              403);
    const std::string strWtf = RandomBytes(500000, 20);
    ASSERT_EQ(Upload(*pB, "gamer01", {{"UserFile002", "__WTF.zip", strWtf}}).nStatus, 200);
    EXPECT_EQ(Download(*pA, "__WTF.zip"), strWtf);
    EXPECT_EQ(Du(*pA), Du(*pB));
    EXPECT_EQ(PostForm(*pA, "/Kelpo/html/auth.php", "mode=removeall&id=gamer01").strBody,
              "+OK<br>");
    EXPECT_EQ(Du(*pB), "+OK<br>Fonts=0|Interface=0|WDB=0|WTF=0|LASTUPLOAD=|Data=0");

    // Wrong passwords count once for both: after four through A and one through B, the right
    // one waits at either.
    const std::string strWrong = Login(*pA, "gamer01", "guess").strBody;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Login(*pA, "gamer01", "guess").strBody, strWrong);
    }
    EXPECT_EQ(Login(*pB, "gamer01", "guess").strBody, strWrong);
    EXPECT_FALSE(LoggedIn(Login(*pB, "gamer01", "secret")));
    EXPECT_FALSE(LoggedIn(Login(*pA, "gamer01", "secret")));
    clock.Advance(1000);
    EXPECT_TRUE(LoggedIn(Login(*pB, "gamer01", "secret")));
}

TEST_F(SharedInstances, ParallelGuessesSpreadOverBothGetNoMoreChecksThanSequentialOnes) {
    CClockFile clock;  // time stands still: the wait after the fifth failure cannot run out
    auto pA = StartService({"--clock-file", clock.Path(), "--password-checks", "16"});
    auto pB = StartService({"--clock-file", clock.Path(), "--password-checks", "16"});
    ASSERT_TRUE(Add(*pA, "gamer01"));
    const std::string strWrong = Login(*pA, "gamer01", "guess", "127.0.0.9").strBody;
    std::vector<std::string> vecReplies(30);
    std::vector<std::thread> vecThreads;
    for (size_t i = 0; i < vecReplies.size(); ++i) {
        const CLiveService& service = i % 2 == 0 ? *pA : *pB;
        vecThreads.emplace_back([&service, &vecReplies, i] {
            vecReplies[i] = Login(service, "gamer01", "guess").strBody;
        });
    }
    for (auto& thread : vecThreads) {
        thread.join();
    }
    EXPECT_EQ(std::count(vecReplies.begin(), vecReplies.end(), strWrong), 5);
}

TEST_F(SharedInstances, TwoUploadsOfOneMemberAtOnceEndWithOneWholeSet) {
    auto pA = StartService();
    auto pB = StartService();
    ASSERT_TRUE(Add(*pA, "gamer01"));
    ASSERT_TRUE(LoggedIn(Login(*pA, "gamer01", "secret")));
    for (unsigned nRound = 0; nRound < 4; ++nRound) {
        const std::vector<SUploadPart> setA = {
            {"UserFile002", "__WTF.zip", RandomBytes(300000 + nRound, 30 + nRound)},
            {"UserFile004", "__Fonts.zip", RandomBytes(1000 + nRound, 40 + nRound)}};
        const std::vector<SUploadPart> setB = {
            {"UserFile002", "__WTF.zip", RandomBytes(200000 + nRound, 50 + nRound)},
            {"UserFile004", "__Fonts.zip", RandomBytes(2000 + nRound, 60 + nRound)}};
        SReply replyA, replyB;
        std::thread threadA([&] { replyA = Upload(*pA, "gamer01", setA); });
        std::thread threadB([&] { replyB = Upload(*pB, "gamer01", setB); });
        threadA.join();
        threadB.join();
        EXPECT_TRUE(replyA.nStatus == 200 || replyB.nStatus == 200);
        EXPECT_TRUE(replyA.nStatus == 200 || replyA.nStatus == 409) << replyA.nStatus;
        EXPECT_TRUE(replyB.nStatus == 200 || replyB.nStatus == 409) << replyB.nStatus;
        const std::string strWtf = Download(*pA, "__WTF.zip");
        const std::vector<SUploadPart>& set = strWtf == setA[0].strData ? setA : setB;
        EXPECT_EQ(strWtf, set[0].strData) << "round " << nRound;
        EXPECT_EQ(Download(*pB, "__Fonts.zip"), set[1].strData) << "round " << nRound;
    }
}

TEST_F(SharedInstances, AnUnreachableDatabaseOrStoreIsAnsweredUnavailable) {
    auto pService = StartService();
    const CLiveService& service = *pService;
    ASSERT_TRUE(Add(service, "gamer01"));
    ASSERT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));
    const std::string strWtf = RandomBytes(100000, 70);
    ASSERT_EQ(Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", strWtf}}).nStatus, 200);
    const std::string strDu = Du(service);

    m_s3.Stop();
    SReply upload = Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", RandomBytes(10, 71)}});
    EXPECT_EQ(upload.nStatus, 503);
    EXPECT_EQ(upload.strBody.rfind("-ERR upload refused: ", 0), 0u) << upload.strBody;
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip").nStatus, 503);
    EXPECT_EQ(Du(service), strDu);  // the database still answers
    ASSERT_TRUE(m_s3.Start());
    EXPECT_EQ(Download(service, "__WTF.zip"), strWtf);  // nothing was stored

    m_postgres.Stop();
    SReply du = PostForm(service, "/Kelpo/html/auth.php", "mode=du&id=gamer01");
    EXPECT_EQ(du.nStatus, 503);
    EXPECT_EQ(du.strBody.rfind("-ERR 503 <br>\r\n", 0), 0u) << du.strBody;
    EXPECT_GT(du.strBody.size(), 15u);  // with a message
    SReply login = Login(service, "gamer01", "secret");
    EXPECT_EQ(login.nStatus, 503);
    EXPECT_FALSE(LoggedIn(login));
    EXPECT_EQ(Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", "x"}}).nStatus, 503);
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip").nStatus, 503);
    EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=freespace").strBody, "+OK<br> 0%");
    ASSERT_TRUE(m_postgres.Start());
    EXPECT_EQ(Du(service), strDu);
    EXPECT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));
}

// A download streams from the store as the client takes it: when the store dies in the middle,
// the reply ends short of its announced length instead of looking whole.
TEST_F(SharedInstances, ADownloadWhoseStoreDiesIsCutShort) {
    auto pService = StartService({"--max-upload-mb", "25"});
    const CLiveService& service = *pService;
    ASSERT_TRUE(Add(service, "gamer01"));
    ASSERT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));
    const std::string strWtf = RandomBytes(20000000, 83);
    ASSERT_EQ(Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", strWtf}}).nStatus, 200);
    CSocket sock(OpenConnection(service.HttpPort()));
    const std::string strGet = "GET /Kelpo/UserData/gamer01/__WTF.zip HTTP/1.0\r\n\r\n";
    ASSERT_EQ(::send(sock.Get(), strGet.data(), strGet.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(strGet.size()));
    std::string strReply;
    char ach[65536];
    ssize_t n;
    while (strReply.size() < 1000000 && (n = ::recv(sock.Get(), ach, sizeof ach, 0)) > 0) {
        strReply.append(ach, static_cast<size_t>(n));
    }
    m_s3.Stop(true);
    while ((n = ::recv(sock.Get(), ach, sizeof ach, 0)) > 0) {
        strReply.append(ach, static_cast<size_t>(n));
    }
    const SReply reply = ParseReply(strReply);
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_NE(reply.strHeaders.find("Content-Length: 20000000"), std::string::npos)
        << reply.strHeaders;
    EXPECT_LT(reply.strBody.size(), strWtf.size());
    EXPECT_EQ(reply.strBody, strWtf.substr(0, reply.strBody.size()));
}

TEST_F(SharedInstances, AMissingObjectIsNotFoundAndTheSweepTakesWhatNoRowNames) {
    auto pService = StartService({"--sweep-ms", "200"});
    const CLiveService& service = *pService;
    ASSERT_TRUE(Add(service, "gamer01"));
    ASSERT_TRUE(LoggedIn(Login(service, "gamer01", "secret")));
    ASSERT_EQ(Upload(service, "gamer01",
                     {{"UserFile002", "__WTF.zip", RandomBytes(1000, 80)},
                      {"UserFile004", "__Fonts.zip", RandomBytes(1000, 81)}})
                  .nStatus,
              200);
    ASSERT_EQ(m_s3.ObjectFiles().size(), 2u);
    // A replaced archive's object goes with the sweep, once nothing may be reading it.
    const std::string strWtf = RandomBytes(2000, 82);
    ASSERT_EQ(Upload(service, "gamer01", {{"UserFile002", "__WTF.zip", strWtf}}).nStatus, 200);
    for (int i = 0; i < 300 && m_s3.ObjectFiles().size() != 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(m_s3.ObjectFiles().size(), 2u);
    EXPECT_EQ(Download(service, "__WTF.zip"), strWtf);

    // An object whose bytes went missing from the store is not found, never a short 200.
    for (const auto& strPath : m_s3.ObjectFiles()) {
        if (strPath.find("__Fonts.zip") != std::string::npos) {
            std::filesystem::remove(strPath);
        }
    }
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__Fonts.zip").nStatus, 404);
    EXPECT_EQ(Download(service, "__WTF.zip"), strWtf);
}

// A data folder of the embedded service goes into PostgreSQL and the store whole: members with
// their passwords, nicknames, last uploads and bindings, and their archives byte for byte; a
// second run changes nothing.
TEST_F(SharedInstances, MigrateCopiesADataFolderAndCanRunAgain) {
    CLiveService embedded;
    ASSERT_TRUE(embedded.IsRunning());
    const std::string strKorean = "달빛궁수";
    std::map<std::string, std::string> mapWtf;
    for (const std::string& strId : {std::string("gamer01"), std::string("gamer02"), strKorean}) {
        ASSERT_TRUE(embedded.AddMember(strId, "pw-" + strId, "닉"));
        ASSERT_TRUE(LoggedIn(Login(embedded, Cp949(strId), Cp949("pw-" + strId))));
        if (strId != "gamer02") {
            mapWtf[strId] =
                RandomBytes(10000 + strId.size(), 90 + static_cast<unsigned>(strId.size()));
            ASSERT_EQ(Upload(embedded, Cp949(strId),
                             {{"UserFile002", "__WTF.zip", mapWtf[strId]},
                              {"UserFile001", "__Interface.zip", "i"}})
                          .nStatus,
                      200);
        }
    }
    const std::string strDu = Du(embedded);
    ASSERT_EQ(embedded.Stop(), 0);

    std::vector<std::string> vecMigrate = {"migrate", "--from-data", embedded.DataDir()};
    const auto vecShared = SharedBackendArgs(m_postgres, m_s3);
    vecMigrate.insert(vecMigrate.end(), vecShared.begin(), vecShared.end());
    std::string strOut;
    ASSERT_EQ(embedded.RunCommand(vecMigrate, &strOut), 0);
    EXPECT_EQ(strOut, "migrated 3 members (4 archives, 20021 bytes); 0 were there already\n");
    ASSERT_EQ(embedded.RunCommand(vecMigrate, &strOut), 0);
    EXPECT_EQ(strOut, "migrated 0 members (0 archives, 0 bytes); 3 were there already\n");
    EXPECT_EQ(m_s3.ObjectFiles().size(), 4u);

    auto pShared = StartService({"--capacity-mb", "1"});
    const CLiveService& shared = *pShared;
    EXPECT_EQ(Du(shared), strDu);  // the binding came along, and so did the last upload time
    EXPECT_EQ(PostForm(shared, "/Kelpo/html/auth.php", "mode=freespace").strBody, "+OK<br> 2%");
    for (const auto& [strId, strWtf] : mapWtf) {
        ASSERT_TRUE(LoggedIn(Login(shared, Cp949(strId), Cp949("pw-" + strId))));
        EXPECT_EQ(Get(shared, "/Kelpo/UserData/" + Cp949(strId) + "/__WTF.zip").strBody, strWtf);
    }
}

}  // namespace
