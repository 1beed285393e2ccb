// Uploads and downloads through zav-service: the client's body byte for byte, the standard
// form, atomic replacement when a body breaks off, the upload limit, and restart.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <thread>

#include "service/service_client.h"
#include "support/file_io.h"
#include "support/live_service.h"

namespace {

using namespace svctest;

class LiveUpload : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_service.IsRunning());
        ASSERT_TRUE(m_service.AddMember("gamer01", "secret", "닉"));
        ASSERT_EQ(Login(m_service, "gamer01", "secret").strBody.substr(67, 2), "OK");
    }
    std::string Du() {
        return PostForm(m_service, "/Kelpo/html/auth.php", "mode=du&id=gamer01").strBody;
    }
    SReply Download(const std::string& strName) {
        return Get(m_service, "/Kelpo/UserData/gamer01/" + strName);
    }
    std::vector<std::string> MemberFiles() {
        std::vector<std::string> vec;
        std::error_code ec;
        for (const auto& entry :
             std::filesystem::directory_iterator(m_service.DataDir() + "/UserData/gamer01", ec)) {
            vec.push_back(entry.path().filename().string());
        }
        std::sort(vec.begin(), vec.end());
        return vec;
    }
    // Waits until the service has logged its answer to the upload it was sent.
    void WaitForUploadLogs(size_t nCount) {
        for (int i = 0; i < 500; ++i) {
            size_t n = 0;
            for (const auto& strLine : m_service.LogLines()) {
                n += strLine.find("POST /Kelpo/html/post.php") != std::string::npos;
            }
            if (n >= nCount) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the service logged no answer to the upload";
    }

    // Waits until an upload has begun writing its archives.
    void WaitForStagingFolder() {
        for (int i = 0; i < 500; ++i) {
            for (const auto& entry :
                 std::filesystem::directory_iterator(m_service.DataDir() + "/UserData")) {
                if (entry.path().filename().string().rfind(".stage-", 0) == 0) {
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "no upload began";
    }

    CLiveService m_service{{"--max-upload-mb", "2"}};
};

// Archive bytes with near-misses of the boundary inside.
std::string ArchiveBytes(size_t n, unsigned nSeed) {
    std::string str = RandomBytes(n, nSeed);
    const std::string strTrap = "\r\n--AaB03\r\n--AaB03y--AaB03x";
    for (size_t nPos = 100; nPos + strTrap.size() < str.size(); nPos += 7919) {
        str.replace(nPos, strTrap.size(), strTrap);
    }
    return str;
}

TEST_F(LiveUpload, ClientBodyStoresEachArchiveExactlyAndDuReportsIt) {
    const std::string strInterface = ArchiveBytes(300000, 1);
    const std::string strWtf = ArchiveBytes(4321, 2);
    const std::string strWdb = ArchiveBytes(65536, 3);
    const std::string strFonts = ArchiveBytes(1, 4);
    const std::string strBody = ClientUploadBody({{"UserFile001", "__Interface.zip", strInterface},
                                                  {"UserFile002", "__WTF.zip", strWtf},
                                                  {"UserFile003", "__WDB.zip", strWdb},
                                                  {"UserFile004", "__Fonts.zip", strFonts}});
    // The client's length rule: 636 bytes beside the four archives.
    ASSERT_EQ(strBody.size(), 636 + strInterface.size() + strWtf.size() + strWdb.size() + 1);
    SReply reply =
        ParseReply(Exchange(m_service.HttpPort(), ClientUploadRequest("gamer01", strBody)));
    ASSERT_EQ(reply.nStatus, 200) << reply.strBody;

    std::smatch match;
    const std::string strDu = Du();
    ASSERT_TRUE(
        std::regex_match(strDu, match,
                         std::regex(R"(\+OK<br>Fonts=1\|Interface=300000\|WDB=65536\|WTF=4321\|)"
                                    R"(LASTUPLOAD=(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\|Data=369858)")))
        << strDu;
    EXPECT_EQ(Download("__Interface.zip").strBody, strInterface);
    EXPECT_EQ(Download("__WTF.zip").strBody, strWtf);
    EXPECT_EQ(Download("__WDB.zip").strBody, strWdb);
    EXPECT_EQ(Download("__Fonts.zip").strBody, strFonts);
    EXPECT_EQ(MemberFiles(), (std::vector<std::string>{"__Fonts.zip", "__Interface.zip",
                                                       "__WDB.zip", "__WTF.zip"}));

    // removeall empties the storage and the last-upload date.
    EXPECT_EQ(PostForm(m_service, "/Kelpo/html/auth.php", "mode=removeall&id=gamer01").strBody,
              "+OK<br>");
    EXPECT_EQ(Du(), "+OK<br>Fonts=0|Interface=0|WDB=0|WTF=0|LASTUPLOAD=|Data=0");
    EXPECT_EQ(Download("__WTF.zip").nStatus, 404);
}

TEST_F(LiveUpload, DownloadAnswersTheClientsHttp10RequestWithTheWholeArchive) {
    const std::string strWtf = ArchiveBytes(1500000, 5);
    ASSERT_EQ(Upload(m_service, "gamer01", {{"UserFile002", "__WTF.zip", strWtf}}).nStatus, 200);
    SReply reply = ParseReply(Exchange(
        m_service.HttpPort(),
        "GET /Kelpo/UserData/gamer01/__WTF.zip HTTP/1.0\r\nUser-Agent: Tavrin\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_NE(reply.strHeaders.find("Content-Length: 1500000"), std::string::npos);
    EXPECT_TRUE(reply.strBody == strWtf);
    // Ranges are not served: the whole archive, never a part of one.
    SReply ranged = ParseReply(Exchange(
        m_service.HttpPort(),
        BuildRequest("GET", "/Kelpo/UserData/gamer01/__WTF.zip", "", "Range: bytes=0-1,5-6\r\n")));
    EXPECT_EQ(ranged.nStatus, 200);
    EXPECT_TRUE(ranged.strBody == strWtf);
}

// A Korean id arrives in CP949 in the login and account forms, the upload's query and the
// download path, and finds the member's folder, named in UTF-8 as the operator typed the id.
TEST_F(LiveUpload, KoreanIdInCp949FindsTheMembersFolderEverywhere) {
    const std::string strId = "달빛궁수";
    const std::string strWire = Cp949(strId);
    ASSERT_TRUE(m_service.AddMember(strId, "secret", "닉"));
    ASSERT_EQ(Login(m_service, strWire, "secret").strBody.substr(67, 2), "OK");
    const std::string strWtf = ArchiveBytes(5000, 6);
    ASSERT_EQ(Upload(m_service, strWire, {{"UserFile002", "__WTF.zip", strWtf}}).nStatus, 200);
    EXPECT_EQ(ReadWholeFile(m_service.DataDir() + "/UserData/" + strId + "/__WTF.zip"), strWtf);
    const std::string strDu =
        PostForm(m_service, "/Kelpo/html/auth.php", "mode=du&id=" + strWire).strBody;
    EXPECT_EQ(strDu.rfind("+OK<br>Fonts=0|Interface=0|WDB=0|WTF=5000|LASTUPLOAD=2", 0), 0u)
        << strDu;
    SReply download =
        ParseReply(Exchange(m_service.HttpPort(), "GET /Kelpo/UserData/" + strWire +
                                                      "/__WTF.zip HTTP/1.0\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(download.nStatus, 200);
    EXPECT_TRUE(download.strBody == strWtf);
    // Its UTF-8 bytes are another id, no member's.
    EXPECT_EQ(Get(m_service, "/Kelpo/UserData/" + strId + "/__WTF.zip").nStatus / 100, 4);
}

TEST_F(LiveUpload, StandardMultipartFromAnotherClientIsStoredToo) {
    httplib::Client client("127.0.0.1", m_service.HttpPort());
    const std::string strWdb = ArchiveBytes(20000, 6);
    httplib::MultipartFormDataItems items = {
        {"note", "ignored text field", "", ""},
        {"UserFile003", strWdb, "../../evil.zip", "application/zip"},
    };
    auto result = client.Post("/Kelpo/html/post.php?userid=gamer01", items);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(Download("__WDB.zip").strBody, strWdb);
    // The sent file name names nothing on disk.
    EXPECT_EQ(MemberFiles(), (std::vector<std::string>{"__WDB.zip"}));
    EXPECT_FALSE(std::filesystem::exists(m_service.DataDir() + "/evil.zip"));
}

TEST_F(LiveUpload, BodyCutShortKeepsTheStoredArchiveAndLeavesNoTemporaryFile) {
    const std::string strOld = ArchiveBytes(100000, 7);
    ASSERT_EQ(Upload(m_service, "gamer01", {{"UserFile002", "__WTF.zip", strOld}}).nStatus, 200);
    const std::string strLastUpload = Du();

    const std::string strRequest = ClientUploadRequest(
        "gamer01", ClientUploadBody({{"UserFile002", "__WTF.zip", ArchiveBytes(900000, 8)},
                                     {"UserFile004", "__Fonts.zip", ArchiveBytes(10, 9)}}));
    // Half the body, then the connection closes, as a client that fails mid-part does.
    Exchange(m_service.HttpPort(), strRequest, nullptr, strRequest.size() / 2);
    WaitForUploadLogs(2);
    // Everything but the closing line: complete archives, but an incomplete body.
    const std::string strNoClose = strRequest.substr(0, strRequest.size() - 12);
    Exchange(m_service.HttpPort(), strNoClose, nullptr, std::string::npos, true);
    WaitForUploadLogs(3);

    EXPECT_EQ(Download("__WTF.zip").strBody, strOld);
    EXPECT_EQ(Download("__Fonts.zip").nStatus, 404);
    EXPECT_EQ(Du(), strLastUpload);
    EXPECT_EQ(MemberFiles(), (std::vector<std::string>{"__WTF.zip"}));
}

TEST_F(LiveUpload, MalformedBodiesGetAnErrorStatusAndStoreNothing) {
    const std::string strOld = ArchiveBytes(1000, 10);
    ASSERT_EQ(Upload(m_service, "gamer01", {{"UserFile002", "__WTF.zip", strOld}}).nStatus, 200);
    const std::string strGood = ClientUploadBody({{"UserFile002", "__WTF.zip", "new"}});
    struct SCase {
        const char* pszWhat;
        std::string strRequest;
    };
    const std::vector<SCase> vecCases = {
        {"wrong boundary", BuildRequest("POST", "/Kelpo/html/post.php?userid=gamer01", strGood,
                                        "Content-Type: multipart/form-data, boundary=Other\r\n")},
        {"no content type", BuildRequest("POST", "/Kelpo/html/post.php?userid=gamer01", strGood)},
        {"garbage after closing line", ClientUploadRequest("gamer01", strGood + "junk")},
        {"a field twice",
         ClientUploadRequest(
             "gamer01", ClientUploadBody({{"UserFile002", "a", "1"}, {"UserFile002", "b", "2"}}))},
        {"no archive", ClientUploadRequest("gamer01", ClientUploadBody({{"note", "", "x"}}))},
        {"empty body", ClientUploadRequest("gamer01", "")},
    };
    for (const auto& testCase : vecCases) {
        SReply reply = ParseReply(Exchange(m_service.HttpPort(), testCase.strRequest));
        EXPECT_EQ(reply.nStatus / 100, 4) << testCase.pszWhat << ": " << reply.strBody;
    }
    EXPECT_EQ(Download("__WTF.zip").strBody, strOld);
    EXPECT_EQ(MemberFiles(), (std::vector<std::string>{"__WTF.zip"}));
}

TEST_F(LiveUpload, ArchivesBeyondTheUploadLimitAreRefused) {
    // --max-upload-mb 2: up to 2,000,000 archive bytes in one body.
    const std::string strAtLimit = ArchiveBytes(2000000, 11);
    EXPECT_EQ(
        Upload(m_service, "gamer01", {{"UserFile001", "__Interface.zip", strAtLimit}}).nStatus,
        200);
    SReply over = Upload(m_service, "gamer01",
                         {{"UserFile001", "__Interface.zip", ArchiveBytes(1500000, 12)},
                          {"UserFile002", "__WTF.zip", ArchiveBytes(500001, 13)}});
    EXPECT_EQ(over.nStatus, 413);
    EXPECT_EQ(Download("__Interface.zip").strBody, strAtLimit);
    EXPECT_EQ(Download("__WTF.zip").nStatus, 404);

    // A body announced far beyond the limit is refused before it is sent.
    SReply announced =
        ParseReply(Exchange(m_service.HttpPort(),
                            "POST /Kelpo/html/post.php?userid=gamer01 HTTP/1.1\r\nHost: x\r\n"
                            "Content-Type: multipart/form-data, boundary=AaB03x\r\nContent-Length: "
                            "1000000000\r\n\r\n"));
    EXPECT_EQ(announced.nStatus, 413);
    EXPECT_EQ(MemberFiles(), (std::vector<std::string>{"__Interface.zip"}));
}

// The limit holds for what a member keeps, whatever uploads it came in.
TEST_F(LiveUpload, TheLimitCountsTheArchivesKeptBesideTheNewOnes) {
    ASSERT_EQ(Upload(m_service, "gamer01",
                     {{"UserFile001", "__Interface.zip", ArchiveBytes(900000, 21)},
                      {"UserFile002", "__WTF.zip", ArchiveBytes(900000, 22)}})
                  .nStatus,
              200);
    SReply over =
        Upload(m_service, "gamer01", {{"UserFile003", "__WDB.zip", ArchiveBytes(900000, 23)}});
    EXPECT_EQ(over.nStatus, 413);
    EXPECT_EQ(Download("__WDB.zip").nStatus, 404);
    // Replacing one of them stays within it.
    const std::string strWtf = ArchiveBytes(1100000, 24);
    EXPECT_EQ(Upload(m_service, "gamer01", {{"UserFile002", "__WTF.zip", strWtf}}).nStatus, 200);
    EXPECT_EQ(Download("__WTF.zip").strBody, strWtf);
}

TEST_F(LiveUpload, AMemberHasOneUploadAtATime) {
    const std::string strRequest = ClientUploadRequest(
        "gamer01", ClientUploadBody({{"UserFile002", "__WTF.zip", ArchiveBytes(500000, 25)}}));
    CSocket first(OpenConnection(m_service.HttpPort()));
    ASSERT_EQ(::send(first.Get(), strRequest.data(), 100000, MSG_NOSIGNAL), 100000);
    WaitForStagingFolder();
    SReply second =
        Upload(m_service, "gamer01", {{"UserFile004", "__Fonts.zip", ArchiveBytes(100, 26)}});
    EXPECT_EQ(second.nStatus, 409);
    ASSERT_EQ(
        ::send(first.Get(), strRequest.data() + 100000, strRequest.size() - 100000, MSG_NOSIGNAL),
        static_cast<ssize_t>(strRequest.size() - 100000));
    ::shutdown(first.Get(), SHUT_WR);
    std::string strReply;
    char ach[4096];
    ssize_t n;
    while ((n = ::recv(first.Get(), ach, sizeof ach, 0)) > 0) {
        strReply.append(ach, static_cast<size_t>(n));
    }
    EXPECT_EQ(ParseReply(strReply).nStatus, 200);
    EXPECT_EQ(MemberFiles(), std::vector<std::string>{"__WTF.zip"});
    EXPECT_EQ(Upload(m_service, "gamer01", {{"UserFile004", "__Fonts.zip", "f"}}).nStatus, 200);
}

TEST_F(LiveUpload, EveryByteOfAChunkedBodyCountsAgainstTheLimit) {
    // --max-upload-mb 2: a small archive, and beside it a form field of 4 MB the service would
    // otherwise skip without counting, in chunks without an announced length.
    const std::string strBody = ClientUploadBody(
        {{"note", "", std::string(4000000, 'n')}, {"UserFile002", "__WTF.zip", "small"}});
    std::string strChunked;
    for (size_t nPos = 0; nPos < strBody.size(); nPos += 65536) {
        const std::string strChunk = strBody.substr(nPos, 65536);
        char szSize[16];
        std::snprintf(szSize, sizeof szSize, "%zx\r\n", strChunk.size());
        strChunked += szSize + strChunk + "\r\n";
    }
    strChunked += "0\r\n\r\n";
    SReply reply = ParseReply(Exchange(
        m_service.HttpPort(),
        "POST /Kelpo/html/post.php?userid=gamer01 HTTP/1.1\r\nHost: x\r\n"
        "Content-Type: multipart/form-data, boundary=AaB03x\r\nTransfer-Encoding: chunked\r\n\r\n" +
            strChunked));
    EXPECT_EQ(reply.nStatus, 413);
    EXPECT_EQ(MemberFiles(), std::vector<std::string>{});
}

// An upload that replaces several archives replaces all of them or none, and its answer says
// which: here the stored WTF archive is a folder with a file inside, which no rename of a file
// can replace.
TEST_F(LiveUpload, AMultiPartUploadIsCommittedWholeOrNotAtAll) {
    const std::string strOld = ArchiveBytes(1000, 15);
    ASSERT_EQ(Upload(m_service, "gamer01", {{"UserFile001", "__Interface.zip", strOld}}).nStatus,
              200);
    const std::string strMember = m_service.DataDir() + "/UserData/gamer01";
    std::filesystem::create_directories(strMember + "/__WTF.zip/inside");
    const std::string strNew = ArchiveBytes(2000, 16);
    SReply reply = Upload(m_service, "gamer01",
                          {{"UserFile001", "__Interface.zip", strNew},
                           {"UserFile002", "__WTF.zip", ArchiveBytes(3000, 17)}});
    const std::string strInterface = Download("__Interface.zip").strBody;
    if (reply.nStatus == 200) {
        EXPECT_EQ(strInterface, strNew);
        EXPECT_EQ(Download("__WTF.zip").strBody.size(), 3000u);
    } else {
        EXPECT_EQ(strInterface, strOld) << "refused with " << reply.nStatus << ", yet replaced";
    }
    // Nothing of the upload is left beside the member folders.
    std::vector<std::string> vecUserData;
    for (const auto& entry :
         std::filesystem::directory_iterator(m_service.DataDir() + "/UserData")) {
        vecUserData.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(vecUserData, std::vector<std::string>{"gamer01"});
}

TEST_F(LiveUpload, AClientWaitingForContinueHearsTheRefusalBeforeSendingTheBody) {
    const std::string strHead =
        "POST /Kelpo/html/post.php?userid=gamer01 HTTP/1.1\r\nHost: x\r\n"
        "Content-Type: multipart/form-data, boundary=AaB03x\r\nExpect: 100-continue\r\n";
    SReply tooLong =
        ParseReply(Exchange(m_service.HttpPort(), strHead + "Content-Length: 900000000\r\n\r\n"));
    EXPECT_EQ(tooLong.nStatus, 413);
    SReply stranger = ParseReply(
        Exchange(m_service.HttpPort(), strHead + "Content-Length: 1000\r\n\r\n", "127.0.0.2"));
    EXPECT_EQ(stranger.nStatus, 403);
    // A request the service will take is told to go on.
    std::string strContinue =
        FirstAnswer(m_service.HttpPort(), strHead + "Content-Length: 1000\r\n\r\n");
    EXPECT_EQ(strContinue.rfind("HTTP/1.1 100 Continue\r\n", 0), 0u) << strContinue;
    EXPECT_EQ(MemberFiles(), std::vector<std::string>{});
}

TEST_F(LiveUpload, RestartKeepsMembersArchivesAndTheCertificate) {
    const std::string strWtf = ArchiveBytes(5000, 14);
    ASSERT_EQ(Upload(m_service, "gamer01", {{"UserFile002", "__WTF.zip", strWtf}}).nStatus, 200);
    const std::string strDu = Du();
    const std::string strCert = ReadWholeFile(m_service.CaFile());
    ASSERT_FALSE(strCert.empty());
    ASSERT_EQ(m_service.Stop(), 0);
    ASSERT_TRUE(m_service.Start());

    EXPECT_EQ(ReadWholeFile(m_service.CaFile()), strCert);
    EXPECT_EQ(Du(), strDu);  // the login's address binding survives too
    EXPECT_EQ(Download("__WTF.zip").strBody, strWtf);
    EXPECT_EQ(Login(m_service, "gamer01", "secret").strBody.substr(67, 2), "OK");
}

}  // namespace
