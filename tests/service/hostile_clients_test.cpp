// zav-service against hostile clients: idle and trickling connections, heads over the limits,
// requests that stall, and a stop while such clients are connected.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "service/service_client.h"
#include "support/live_service.h"

namespace {

using namespace svctest;

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

std::string UploadRequest(const std::string& strData) {
    return ClientUploadRequest("gamer01",
                               ClientUploadBody({{"UserFile002", "__WTF.zip", strData}}));
}

TEST(HostileClients, IdleAndTricklingConnectionsDoNotHoldUpOthers) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    std::vector<CSocket> vecHostile;
    for (int i = 0; i < 40; ++i) {
        vecHostile.emplace_back(OpenConnection(service.HttpPort()));
    }
    for (int i = 0; i < 8; ++i) {
        SendAll(vecHostile.emplace_back(OpenConnection(service.HttpPort())),
                "GET /Kelpo/html/new_config.php HTTP/1.1\r\nX-Slow: a");
        SendAll(vecHostile.emplace_back(OpenConnection(service.HttpPort())),
                "POST /Kelpo/html/auth.php HTTP/1.1\r\nContent-Length: 1000\r\n\r\nmode=");
        vecHostile.emplace_back(OpenConnection(service.HttpsPort()));
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

TEST(HostileClients, ARequestBeyondTheWorkersAndTheirQueueIsRefusedAtOnce) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    // 32 workers and 64 waiting heads: with that many bodies trickling in, one more request
    // has no place.
    constexpr size_t kPlaces = 32 + 64;
    std::vector<CSocket> vecClients;
    std::vector<pollfd> vecPoll;
    for (size_t i = 0; i <= kPlaces; ++i) {
        SendAll(vecClients.emplace_back(OpenConnection(service.HttpPort())),
                "POST /Kelpo/html/auth.php HTTP/1.1\r\nContent-Length: 1000\r\n\r\nmode=");
        vecPoll.push_back({vecClients.back().Get(), POLLIN, 0});
    }
    ASSERT_GT(::poll(vecPoll.data(), vecPoll.size(), 20000), 0);
    size_t nRefused = 0;
    for (size_t i = 0; i < vecPoll.size(); ++i) {
        if (vecPoll[i].revents != 0) {
            EXPECT_EQ(ParseReply(ReadToEnd(vecClients[i])).nStatus, 503);
            ++nRefused;
        }
    }
    EXPECT_EQ(nRefused, 1u);
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

TEST(HostileClients, HeadsAndBodiesThatStallAreGivenUpAndTheUploadDiscarded) {
    CLiveService service({"--io-timeout-ms", "300", "--max-upload-mb", "2"});
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
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
    EXPECT_EQ(Entries(service.DataDir() + "/UserData"), std::vector<std::string>{"gamer01"});
    EXPECT_EQ(service.Stop(), 0);
}

TEST(HostileClients, SigtermStopsAtOnceWhileClientsAreConnectedAndDropsARunningUpload) {
    CLiveService service({"--max-upload-mb", "2"});
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "secret", "n"));
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
    const std::string strMember = service.DataDir() + "/UserData/gamer01";
    EXPECT_EQ(Entries(service.DataDir() + "/UserData"), std::vector<std::string>{"gamer01"});
    EXPECT_EQ(Entries(strMember), std::vector<std::string>{"__WTF.zip"});
    std::ifstream in(strMember + "/__WTF.zip", std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == strOld);
}

}  // namespace
