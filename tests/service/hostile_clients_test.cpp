// zav-service against hostile clients: idle and trickling connections, form bodies that never
// arrive, one address taking many connections or workers, heads over the limits, endless chunk
// size lines, requests that stall, slow readers, floods of refusals, and a stop while such
// clients are connected.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "service/backend_servers.h"
#include "service/service_client.h"
#include "support/live_service.h"

namespace {

using namespace svctest;

enum class EBackends { Embedded, Shared };

// The hostile clients that reach the database and the store meet either pair of back ends:
// SQLite with files, or PostgreSQL with an S3 store, started here.
class HostileClientsOn : public ::testing::TestWithParam<EBackends> {
protected:
    void SetUp() override {
        if (GetParam() == EBackends::Shared) {
            ASSERT_TRUE(m_postgres.Start());
            ASSERT_TRUE(m_s3.Start());
            m_vecBackend = SharedBackendArgs(m_postgres, m_s3);
        }
    }
    std::vector<std::string> Args(std::vector<std::string> vecExtra) const {
        vecExtra.insert(vecExtra.end(), m_vecBackend.begin(), m_vecBackend.end());
        return vecExtra;
    }
    bool AddMember(const CLiveService& service) const {
        return AddMemberTo(service, m_vecBackend, "gamer01", "secret", "n");
    }
    // What the member's archives are stored as: the member folders, or the store's objects.
    size_t StoredArchives(const CLiveService& service) const;

    CTestPostgres m_postgres;
    CTestS3 m_s3;
    std::vector<std::string> m_vecBackend;
};

void SendAll(const CSocket& sock, const std::string& str) {
    ASSERT_EQ(::send(sock.Get(), str.data(), str.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(str.size()));
}

// True while the server has neither answered nor closed the connection.
bool Unanswered(const CSocket& sock) {
    pollfd pfd{sock.Get(), POLLIN | POLLRDHUP, 0};
    return ::poll(&pfd, 1, 0) == 0;
}

// Reads until the server closes (bounded by the socket's 20 s time-out).
std::string ReadToEnd(const CSocket& sock) {
    std::string str;
    char ach[4096];
    ssize_t n;
    while ((n = ::recv(sock.Get(), ach, sizeof ach, 0)) > 0) {
        str.append(ach, static_cast<size_t>(n));
    }
    return str;
}

std::vector<std::string> Entries(const std::string& strDir) {
    std::vector<std::string> vec;
    for (const auto& entry : std::filesystem::directory_iterator(strDir)) {
        vec.push_back(entry.path().filename().string());
    }
    std::sort(vec.begin(), vec.end());
    return vec;
}

size_t HostileClientsOn::StoredArchives(const CLiveService& service) const {
    if (GetParam() == EBackends::Shared) {
        return m_s3.ObjectFiles().size();
    }
    size_t n = 0;
    for (const auto& strEntry : Entries(service.DataDir() + "/UserData")) {
        n += Entries(service.DataDir() + "/UserData/" + strEntry).size();
    }
    return n;
}

std::string UploadRequest(const std::string& strData) {
    return ClientUploadRequest("gamer01",
                               ClientUploadBody({{"UserFile002", "__WTF.zip", strData}}));
}

// The source address of the i-th hostile client of a test: one loopback address each.
std::string Source(int i) {
    return "127.0." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250);
}

// The connections among socks that have an answer (or were closed) within nWaitMs, and
// those that follow in the same burst (until none does for 200 ms).
std::vector<size_t> Answered(const std::vector<CSocket>& socks, int nWaitMs) {
    std::vector<size_t> vec;
    std::vector<bool> vecDone(socks.size(), false);
    for (int nWait = nWaitMs;; nWait = 200) {
        std::vector<pollfd> vecPoll;
        std::vector<size_t> vecIndex;
        for (size_t i = 0; i < socks.size(); ++i) {
            if (!vecDone[i]) {
                vecPoll.push_back({socks[i].Get(), POLLIN, 0});
                vecIndex.push_back(i);
            }
        }
        if (vecPoll.empty() || ::poll(vecPoll.data(), vecPoll.size(), nWait) <= 0) {
            break;
        }
        for (size_t j = 0; j < vecPoll.size(); ++j) {
            if (vecPoll[j].revents != 0) {
                vecDone[vecIndex[j]] = true;
                vec.push_back(vecIndex[j]);
            }
        }
    }
    std::sort(vec.begin(), vec.end());
    return vec;
}

// A TLS connection to the login listener that sends what it is given and keeps quiet after.
class CTlsClient {
public:
    CTlsClient(int nPort, const std::string& strCaFile, const std::string& strSource)
        : m_sock(OpenConnection(nPort, strSource.c_str())),
          m_ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free),
          m_ssl(nullptr, SSL_free) {
        if (m_sock.Get() < 0 || !m_ctx ||
            SSL_CTX_load_verify_locations(m_ctx.get(), strCaFile.c_str(), nullptr) != 1) {
            return;
        }
        m_ssl.reset(SSL_new(m_ctx.get()));
        SSL_set_fd(m_ssl.get(), m_sock.Get());
        m_bOk = SSL_connect(m_ssl.get()) == 1;
    }
    bool Send(const std::string& str) {
        return m_bOk && SSL_write(m_ssl.get(), str.data(), static_cast<int>(str.size())) > 0;
    }
    const CSocket& Socket() const { return m_sock; }

private:
    CSocket m_sock;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> m_ctx;
    std::unique_ptr<SSL, decltype(&SSL_free)> m_ssl;
    bool m_bOk = false;
};

TEST(HostileClients, IdleAndTricklingConnectionsDoNotHoldUpOthers) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    std::vector<CSocket> vecHostile;
    const char* pszHostile = "127.0.0.5";
    for (int i = 0; i < 40; ++i) {
        vecHostile.emplace_back(OpenConnection(service.HttpPort(), pszHostile));
    }
    for (int i = 0; i < 8; ++i) {
        SendAll(vecHostile.emplace_back(OpenConnection(service.HttpPort(), pszHostile)),
                "GET /Kelpo/html/new_config.php HTTP/1.1\r\nX-Slow: a");
        SendAll(vecHostile.emplace_back(OpenConnection(service.HttpPort(), pszHostile)),
                "POST /Kelpo/html/auth.php HTTP/1.1\r\nContent-Length: 1000\r\n\r\nmode=");
        vecHostile.emplace_back(OpenConnection(service.HttpsPort(), pszHostile));
    }
    EXPECT_EQ(Get(service, "/Kelpo/html/new_config.php").nStatus, 200);
    EXPECT_EQ(Login(service, "nobody", "pw").nStatus, 200);
    // Both answers came without waiting for any of them: they are all still open, unanswered.
    for (const auto& sock : vecHostile) {
        ASSERT_GE(sock.Get(), 0);
        EXPECT_TRUE(Unanswered(sock));
    }
    EXPECT_EQ(service.Stop(), 0);  // also fails on a sanitizer's report
}

// More stalled form bodies than there are workers and waiting places together, on both
// listeners: they wait in the front, and nobody else waits for them.
TEST_P(HostileClientsOn, FormBodiesThatNeverArriveHoldNoWorker) {
    CLiveService service(Args({}));
    ASSERT_TRUE(service.IsRunning());
    std::vector<CSocket> vecForms;
    std::vector<std::unique_ptr<CTlsClient>> vecLogins;
    for (int i = 0; i < 100; ++i) {
        SendAll(vecForms.emplace_back(OpenConnection(service.HttpPort(), Source(i).c_str())),
                "POST /Kelpo/html/auth.php HTTP/1.1\r\nContent-Length: 1000\r\n\r\nmode=");
        auto& login = vecLogins.emplace_back(
            std::make_unique<CTlsClient>(service.HttpsPort(), service.CaFile(), Source(100 + i)));
        ASSERT_TRUE(login->Send("POST /app/login HTTP/1.1\r\nContent-Length: 150\r\n\r\ncode="));
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Get(service, "/Kelpo/html/new_config.php").nStatus, 200);
        EXPECT_EQ(PostForm(service, "/Kelpo/html/auth.php", "mode=freespace").nStatus, 200);
        EXPECT_EQ(Login(service, "nobody", "pw").nStatus, 200);
    }
    EXPECT_TRUE(Answered(vecForms, 0).empty());
    EXPECT_EQ(service.Stop(), 0);
}

// What holds a worker for long is a member's transfer: uploads whose bodies stall here. With
// 4 workers, 8 waiting places and one place of either for each address, a second request of
// an address is refused, and so is any request beyond all twelve places.
TEST(HostileClients, OneAddressTakesAFewWorkersAndBeyondAllOfThemARequestIsRefused) {
    CLiveService service({"--workers", "4"});
    ASSERT_TRUE(service.IsRunning());
    constexpr int kPlaces = 12;
    // m0 ... m11 each from an address of its own; m12 from m0's address too.
    for (int i = 0; i <= kPlaces; ++i) {
        const std::string strId = "m" + std::to_string(i);
        ASSERT_TRUE(service.AddMember(strId, "pw", "n"));
        ASSERT_EQ(Login(service, strId, "pw", Source(i % kPlaces).c_str()).strBody.substr(67, 2),
                  "OK");
    }
    auto stalledUpload = [&](int nMember) {
        const std::string strId = "m" + std::to_string(nMember);
        CSocket sock(OpenConnection(service.HttpPort(), Source(nMember % kPlaces).c_str()));
        const std::string strRequest = ClientUploadRequest(
            strId, ClientUploadBody({{"UserFile002", "__WTF.zip", RandomBytes(100000, 1)}}));
        SendAll(sock, strRequest.substr(0, 2000));
        return sock;
    };
    std::vector<CSocket> vecHeld;
    vecHeld.push_back(stalledUpload(0));
    // The service takes the upload's place when it has read the head; until then a second
    // request of the address would still find the place free.
    const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Get(service, "/Kelpo/html/new_config.php", Source(0).c_str()).nStatus != 503 &&
           std::chrono::steady_clock::now() < tDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    CSocket second = stalledUpload(kPlaces);
    EXPECT_EQ(ParseReply(ReadToEnd(second)).nStatus, 503);
    EXPECT_EQ(Get(service, "/Kelpo/html/new_config.php", Source(1).c_str()).nStatus, 200);

    for (int i = 1; i < kPlaces; ++i) {
        vecHeld.push_back(stalledUpload(i));
    }
    EXPECT_TRUE(Answered(vecHeld, 500).empty());
    EXPECT_EQ(Get(service, "/Kelpo/html/new_config.php", Source(kPlaces).c_str()).nStatus, 503);
    EXPECT_EQ(service.Stop(), 0);
}

TEST(HostileClients, OneAddressCannotTakeEveryConnection) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    // 64 connections of one address are kept; the others are told 503 at once.
    std::vector<CSocket> vecSilent;
    for (int i = 0; i < 100; ++i) {
        vecSilent.emplace_back(OpenConnection(service.HttpPort(), "127.0.0.7"));
    }
    const std::vector<size_t> vecAnswered = Answered(vecSilent, 2000);
    ASSERT_EQ(vecAnswered.size(), 36u);
    EXPECT_EQ(ParseReply(ReadToEnd(vecSilent[vecAnswered[0]])).nStatus, 503);
    EXPECT_EQ(Get(service, "/Kelpo/html/new_config.php").nStatus, 200);
    EXPECT_EQ(service.Stop(), 0);
}

TEST(HostileClients, HeadsOverTheLimitsGetTheirStatusOnBothListeners) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    std::string strFields;
    for (int i = 0; i < 101; ++i) {
        strFields += "X-F" + std::to_string(i) + ": v\r\n";
    }
    std::string strFlood = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 200000; ++i) {
        strFlood += "X-Flood: v\r\n";
    }
    const std::vector<std::pair<std::string, int>> vecCases = {
        {"GET / HTTP/1.1\r\n" + strFields + "\r\n", 431},
        {"GET / HTTP/1.1\r\nX-Big: " + std::string(70000, 'x') + "\r\n\r\n", 431},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", 414},
        {strFlood + "\r\n", 431},
    };
    for (const auto& [strRequest, nStatus] : vecCases) {
        EXPECT_EQ(ParseReply(Exchange(service.HttpPort(), strRequest)).nStatus, nStatus)
            << strRequest.substr(0, 40);
    }
    EXPECT_EQ(
        ParseReply(TlsExchange(service.HttpsPort(), vecCases[0].first, service.CaFile())).nStatus,
        431);
    EXPECT_EQ(Get(service, "/Kelpo/html/new_config.php").nStatus, 200);
    EXPECT_EQ(service.Stop(), 0);
}

TEST_P(HostileClientsOn, HeadsAndBodiesThatStallAreGivenUpAndTheUploadDiscarded) {
    CLiveService service(Args({"--io-timeout-ms", "300", "--max-upload-mb", "2"}));
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(AddMember(service));
    ASSERT_EQ(Login(service, "gamer01", "secret").strBody.substr(67, 2), "OK");
    const std::string strOld = RandomBytes(5000, 1);
    ASSERT_EQ(ParseReply(Exchange(service.HttpPort(), UploadRequest(strOld))).nStatus, 200);

    // A connection that sends nothing, and one that stops inside its head.
    EXPECT_EQ(ParseReply(Exchange(service.HttpPort(), "")).nStatus, 408);
    CSocket partHead(OpenConnection(service.HttpPort()));
    SendAll(partHead, "GET /Kelpo/html/new_config.php HTTP/1.1\r\nHost:");
    EXPECT_EQ(ParseReply(ReadToEnd(partHead)).nStatus, 408);
    // An upload whose body stops halfway: the service closes the connection and the stored
    // archive stays.
    const std::string strRequest = UploadRequest(RandomBytes(200000, 2));
    CSocket upload(OpenConnection(service.HttpPort()));
    SendAll(upload, strRequest.substr(0, strRequest.size() / 2));
    ReadToEnd(upload);
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip").strBody, strOld);
    EXPECT_EQ(StoredArchives(service), 1u);
    EXPECT_EQ(Entries(service.DataDir() + "/UserData"), GetParam() == EBackends::Shared
                                                            ? std::vector<std::string>{}
                                                            : std::vector<std::string>{"gamer01"});
    EXPECT_EQ(service.Stop(), 0);
}

TEST_P(HostileClientsOn, SigtermStopsAtOnceWhileClientsAreConnectedAndDropsARunningUpload) {
    CLiveService service(Args({"--max-upload-mb", "2"}));
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(AddMember(service));
    ASSERT_EQ(Login(service, "gamer01", "secret").strBody.substr(67, 2), "OK");
    const std::string strOld = RandomBytes(5000, 3);
    ASSERT_EQ(ParseReply(Exchange(service.HttpPort(), UploadRequest(strOld))).nStatus, 200);

    // An upload whose body keeps coming, a byte every tenth of a second, until the service
    // closes the connection.
    const std::string strRequest = UploadRequest(RandomBytes(1000000, 4));
    CSocket upload(OpenConnection(service.HttpPort()));
    SendAll(upload, strRequest.substr(0, strRequest.size() / 2));
    std::jthread trickler([&upload, &strRequest](std::stop_token stop) {
        for (size_t nPos = strRequest.size() / 2;
             !stop.stop_requested() &&
             ::send(upload.Get(), strRequest.data() + nPos++, 1, MSG_NOSIGNAL) == 1;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::vector<CSocket> vecClients;
    for (int i = 0; i < 4; ++i) {
        vecClients.emplace_back(OpenConnection(service.HttpPort()));
        SendAll(vecClients.emplace_back(OpenConnection(service.HttpPort())),
                "GET / HTTP/1.1\r\nX-Slow: a");
    }
    // The fixture waits a bounded time for the exit and reports a kill as -1.
    EXPECT_EQ(service.Stop(), 0);
    trickler.request_stop();
    EXPECT_EQ(StoredArchives(service), 1u);
    ASSERT_TRUE(service.Start());
    EXPECT_TRUE(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip").strBody == strOld);
}

TEST(HostileClients, ChunkedFormsAreRefusedAndAnEndlessChunkSizeLineIsCutShort) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
    ASSERT_EQ(Login(service, "gamer01", "secret").strBody.substr(67, 2), "OK");
    const std::string strChunked = "Transfer-Encoding: chunked\r\n\r\n";
    EXPECT_EQ(ParseReply(Exchange(service.HttpPort(), "POST /Kelpo/html/auth.php HTTP/1.1\r\n" +
                                                          strChunked + "5\r\nmode=\r\n0\r\n\r\n"))
                  .nStatus,
              411);
    EXPECT_EQ(ParseReply(TlsExchange(service.HttpsPort(),
                                     "POST /app/login HTTP/1.1\r\n" + strChunked +
                                         "5\r\ncode=\r\n0\r\n\r\n",
                                     service.CaFile()))
                  .nStatus,
              411);
    // A chunked upload is taken, chunk extensions and all.
    const std::string strHead =
        "POST /Kelpo/html/post.php?userid=gamer01 HTTP/1.1\r\nContent-Type: multipart/form-data, "
        "boundary=AaB03x\r\n" +
        strChunked;
    const std::string strBody = ClientUploadBody({{"UserFile002", "__WTF.zip", "abc"}});
    char szSize[32];
    std::snprintf(szSize, sizeof szSize, "%zX;name=value\r\n", strBody.size() - 10);
    EXPECT_EQ(ParseReply(Exchange(service.HttpPort(),
                                  strHead + szSize + strBody.substr(0, strBody.size() - 10) +
                                      "\r\na\r\n" + strBody.substr(strBody.size() - 10) +
                                      "\r\n0\r\n\r\n"))
                  .nStatus,
              200);
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip").strBody, "abc");

    // A size line that never ends is refused as soon as it is longer than any size line,
    // while the client still sends it.
    CSocket upload(OpenConnection(service.HttpPort()));
    SendAll(upload, strHead);
    const std::string strDigits(64 * 1024, '1');
    size_t nSent = 0;
    while (nSent < (size_t{64} << 20) && Unanswered(upload) &&
           ::send(upload.Get(), strDigits.data(), strDigits.size(), MSG_NOSIGNAL) > 0) {
        nSent += strDigits.size();
    }
    EXPECT_LT(nSent, size_t{4} << 20);
    EXPECT_EQ(ParseReply(ReadToEnd(upload)).nStatus, 400);
    EXPECT_EQ(Get(service, "/Kelpo/UserData/gamer01/__WTF.zip").strBody, "abc");
    EXPECT_EQ(service.Stop(), 0);
}

// A full send buffer takes long to signal room again; a reader far above the minimum rate
// must not be cut off meanwhile.
TEST_P(HostileClientsOn, ASteadySlowReaderGetsTheWholeArchive) {
    CLiveService service(Args({"--io-timeout-ms", "400", "--max-upload-mb", "5"}));
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(AddMember(service));
    ASSERT_EQ(Login(service, "gamer01", "secret").strBody.substr(67, 2), "OK");
    const std::string strArchive = RandomBytes(5000000, 7);
    ASSERT_EQ(
        ParseReply(Exchange(service.HttpPort(),
                            ClientUploadRequest(
                                "gamer01", ClientUploadBody(
                                               {{"UserFile001", "__Interface.zip", strArchive}}))))
            .nStatus,
        200);
    // 1 MB/s, 80 times the minimum of 5,000 bytes in 0.4 s.
    CSocket sock(OpenConnection(service.HttpPort()));
    SendAll(sock, "GET /Kelpo/UserData/gamer01/__Interface.zip HTTP/1.0\r\n\r\n");
    const auto start = std::chrono::steady_clock::now();
    std::string strReply;
    char ach[16384];
    ssize_t n;
    while ((n = ::recv(sock.Get(), ach, sizeof ach, 0)) > 0) {
        strReply.append(ach, static_cast<size_t>(n));
        std::this_thread::sleep_until(start + std::chrono::microseconds(strReply.size()));
    }
    const SReply reply = ParseReply(strReply);
    EXPECT_EQ(reply.strBody.size(), strArchive.size());
    EXPECT_TRUE(reply.strBody == strArchive);
    EXPECT_EQ(service.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, HostileClientsOn,
                         ::testing::Values(EBackends::Embedded, EBackends::Shared),
                         [](const auto& testInfo) {
                             return testInfo.param == EBackends::Shared ? "PostgresS3"
                                                                        : "SqliteFiles";
                         });

TEST(HostileClients, AFloodOfRefusalsIsLoggedAtALimitedRate) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 300; ++i) {
        Exchange(service.HttpPort(), "GARBAGE\r\n\r\n");
    }
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(service.Stop(), 0);
    const auto vecLog = service.LogLines();
    const auto nLines = std::count_if(vecLog.begin(), vecLog.end(), [](const std::string& str) {
        return str.find(" 400 0") != std::string::npos;
    });
    // 100 at once, then 20 a second; the rest is counted.
    EXPECT_LE(static_cast<double>(nLines), 101 + 20 * dSeconds);
    EXPECT_GE(nLines, 100);
    if (nLines < 300) {
        EXPECT_NE(std::find_if(vecLog.begin(), vecLog.end(),
                               [](const std::string& str) {
                                   return str.find("refused requests not logged") !=
                                          std::string::npos;
                               }),
                  vecLog.end());
    }
}

}  // namespace
