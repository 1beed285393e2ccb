// The upload worker: body layout and length, the codes of each failure, and what it leaves
// behind. The wire is checked on a recording listener; storage on a live zav-service.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/main_logic.h"
#include "backup/backup_command.h"
#include "backup/folder_packer.h"
#include "backup/upload_thread.h"
#include "backup_sandbox.h"
#include "platform/codepage.h"
#include "platform/native_text.h"
#include "support/env_guard.h"
#include "support/live_service.h"
#include "support/recording_view.h"
#include "support/wine.h"

namespace {

struct SPartSpec {
    int nCategory;  // index into kUploadOrder
    std::string strContent;
};

std::string FailureText(int nCode) {
    return "파일을 전송하지 못하였습니다.\n\nERRCODE=[" + std::to_string(nCode) + "]";
}

class UploadTest : public ::testing::Test {
protected:
    UploadTest() : m_logic(m_view, m_settings) { m_settings.SetId("gamer01"); }

    // Writes the temporary archives and returns the mask and the body they must give.
    uint8_t Prepare(const std::vector<SPartSpec>& parts, std::string* pExpectedBody) {
        uint8_t nMask = 0;
        std::string strBody;
        for (const SPartSpec& part : parts) {
            const SCategory& category = GetCategory(kUploadOrder[part.nCategory]);
            m_box.Write(std::string("Ralum/Temp/") + category.szArchiveName, part.strContent);
            nMask |= category.nMask;
        }
        // The body follows the fixed order Interface, WTF, WDB, Fonts whatever the order given.
        for (int i = 0; i < kCategoryCount; ++i) {
            for (const SPartSpec& part : parts) {
                if (part.nCategory != i)
                    continue;
                strBody += CUploadThread::PartHeader(GetCategory(kUploadOrder[i]).szUploadField,
                                                     GetCategory(kUploadOrder[i]).szArchiveName) +
                           part.strContent + "\r\n";
            }
        }
        strBody += "--AaB03x\r\n\r\n";
        if (pExpectedBody)
            *pExpectedBody = strBody;
        return nMask;
    }

    bool AnyTempArchiveLeft() const {
        for (const SCategory& category : kCategories) {
            if (m_box.Exists(std::string("Ralum/Temp/") + category.szArchiveName))
                return true;
        }
        return false;
    }

    CGameSandbox m_box;
    CRecordingView m_view;
    CSettings m_settings;
    CMainLogic m_logic;
};

TEST_F(UploadTest, PartHeaderMeasuresAsTheLengthArithmeticAssumes) {
    EXPECT_EQ(CUploadThread::PartHeader("userfile000", "").size(),
              static_cast<size_t>(CUploadThread::kPartHeaderBase));
    EXPECT_EQ(CUploadThread::PartHeader("UserFile001", "__Interface.zip"),
              "--AaB03x\r\ncontent-disposition: form-data; name=\"UserFile001\"; "
              "filename=\"__Interface.zip\"\r\nContent-Type: multipart/mixed\r\n"
              "Content-Transfer-Encoding: binary\r\n\r\n");
}

TEST_F(UploadTest, ContentLengthAddsTheFixedPartsToTheArchiveSizes) {
    uint8_t nFonts = Prepare({{3, std::string(1000, 'f')}}, nullptr);
    CUploadThread fontsOnly(m_logic, nFonts, m_box.Folder(), "gamer01");
    EXPECT_EQ(fontsOnly.ComputeContentLength(), 156 + 1000 + 12);

    std::string strBody;
    uint8_t nAll = Prepare({{0, "iii"}, {1, "ww"}, {2, std::string(5, 'd')}, {3, ""}}, &strBody);
    CUploadThread all(m_logic, nAll, m_box.Folder(), "gamer01");
    EXPECT_EQ(all.ComputeContentLength(), 636 + 3 + 2 + 5);
    EXPECT_EQ(all.ComputeContentLength(), static_cast<int64_t>(strBody.size()));
}

TEST_F(UploadTest, ContentLengthFailsWhenAChosenArchiveIsMissing) {
    uint8_t nMask = Prepare({{0, "i"}}, nullptr) | GetCategory(kUploadOrder[1]).nMask;
    CUploadThread thread(m_logic, nMask, m_box.Folder(), "gamer01");
    EXPECT_LT(thread.ComputeContentLength(), 0);
}

struct SWireCase {
    const char* szName;
    std::vector<SPartSpec> parts;
};

class UploadWireTest : public UploadTest, public ::testing::WithParamInterface<SWireCase> {};

TEST_P(UploadWireTest, BodyOnTheWireIsExactlyThePartsAndTheClosingLine) {
    CScriptedServer listener(ServiceHandler());
    m_settings.m_endpoints = EndpointsAt(listener.BaseUrl());
    std::string strExpected;
    uint8_t nMask = Prepare(GetParam().parts, &strExpected);

    CUploadThread thread(m_logic, nMask, m_box.Folder(), "gamer01");
    ASSERT_EQ(thread.ComputeContentLength(), static_cast<int64_t>(strExpected.size()));
    ASSERT_EQ(thread.UploadAll(), 0);

    auto uploads = listener.RequestsTo("post.php");
    ASSERT_EQ(uploads.size(), 1u);
    const auto& request = uploads[0];
    EXPECT_EQ(request.strHead.substr(0, request.strHead.find("\r\n")),
              "POST /Kelpo/html/post.php?userid=gamer01 HTTP/1.1");
    EXPECT_NE(request.strHead.find("\r\nContent-Type: multipart/form-data, boundary=AaB03x\r\n"),
              std::string::npos)
        << request.strHead;
    EXPECT_EQ(request.strHead.find("Transfer-Encoding"), std::string::npos);
    EXPECT_EQ(request.strHead.find("Expect:"), std::string::npos);
    EXPECT_EQ(request.nAnnounced, strExpected.size());
    EXPECT_EQ(thread.GetBytesSent(), static_cast<int64_t>(request.strBody.size()));
    EXPECT_TRUE(request.strBody == strExpected) << "the body differs from the expected layout";
}

INSTANTIATE_TEST_SUITE_P(
    Masks, UploadWireTest,
    ::testing::Values(SWireCase{"FontsOnly", {{3, RandomBytes(30000, 1)}}},
                      SWireCase{"AddonPair",
                                {{0, RandomBytes(700000, 2)}, {1, RandomBytes(10240, 3)}}},
                      SWireCase{"AllFour",
                                {{0, RandomBytes(10241, 4)},
                                 {1, RandomBytes(1, 5)},
                                 {2, RandomBytes(2000000, 6)},
                                 {3, RandomBytes(10239, 7)}}},
                      SWireCase{"EmptyArchive", {{1, ""}, {3, RandomBytes(100, 8)}}}),
    [](const ::testing::TestParamInfo<SWireCase>& param) { return param.param.szName; });

TEST_F(UploadTest, MemberIdGoesIntoTheTargetAsCp949Bytes) {
    if (const auto reason = WineCannotSendCp949Paths())
        GTEST_SKIP() << *reason;
    CScriptedServer listener(ServiceHandler());
    m_settings.m_endpoints = EndpointsAt(listener.BaseUrl());
    uint8_t nMask = Prepare({{1, "w"}}, nullptr);
    CUploadThread thread(m_logic, nMask, m_box.Folder(), "게이머");
    ASSERT_GE(thread.ComputeContentLength(), 0);
    ASSERT_EQ(thread.UploadAll(), 0);
    std::string strId;
    ASSERT_TRUE(Utf8ToCp949("게이머", strId));
    auto uploads = listener.RequestsTo("post.php");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(
        uploads[0].strHead.rfind("POST /Kelpo/html/post.php?userid=" + strId + " HTTP/1.1", 0), 0u)
        << uploads[0].RequestLine();
}

TEST_F(UploadTest, ProgressReachesFullExactlyWhenTheClosingLineIsWritten) {
    CScriptedServer listener(ServiceHandler());
    m_settings.m_endpoints = EndpointsAt(listener.BaseUrl());
    uint8_t nMask = Prepare({{0, RandomBytes(3000000, 9)}, {3, RandomBytes(50000, 10)}}, nullptr);
    CUploadThread thread(m_logic, nMask, m_box.Folder(), "gamer01");
    ASSERT_GE(thread.ComputeContentLength(), 0);
    ASSERT_EQ(thread.UploadAll(), 0);

    std::vector<int> widths = m_view.ProgressWidths();
    ASSERT_GE(widths.size(), 2u);
    EXPECT_EQ(widths.back(), 260);
    for (size_t i = 0; i + 1 < widths.size(); ++i)
        ASSERT_LT(widths[i], 260) << "full before the closing line, at call " << i;
    EXPECT_TRUE(std::is_sorted(widths.begin(), widths.end()));
}

// The worker's whole job, on its own thread as the command starts it.
class UploadJobTest : public UploadTest {
protected:
    void RunJob(uint8_t nMask) {
        ASSERT_EQ(CBackupCommand(m_logic).StartUpload(m_logic.TryClaim(), m_box.Folder(), nMask),
                  1);
        m_logic.WaitForWorker();
        EXPECT_FALSE(g_bTransferBusy.load());
        EXPECT_FALSE(AnyTempArchiveLeft());
    }
};

TEST_F(UploadJobTest, SuccessIsToldThenArchivesGoThenStatusIsRefreshedThenBusyClears) {
    CScriptedServer listener(ServiceHandler());
    m_settings.m_endpoints = EndpointsAt(listener.BaseUrl());
    listener.SetHandler(
        ServiceHandler({.strAuthReply = "+OK<br>WTF=12|LASTUPLOAD=2026-12-08 18:00:00"}));
    uint8_t nMask = Prepare({{
                                1,
                                "12 bytes....",
                            }},
                            nullptr);

    bool bBusyAtBox = false;
    bool bArchiveAtBox = false;
    m_view.SetOnBox([&](const CRecordingView::SBox&) {
        bBusyAtBox = g_bTransferBusy.load();
        bArchiveAtBox = m_box.Exists("Ralum/Temp/__WTF.zip");
    });
    RunJob(nMask);

    EXPECT_EQ(m_view.Messages(), std::vector<std::string>{"업로드가 완료되었습니다."});
    EXPECT_TRUE(bBusyAtBox && bArchiveAtBox);
    // The refresh ran after the upload and before the flag was cleared.
    ASSERT_EQ(listener.Requests().size(), 2u);
    EXPECT_NE(listener.Requests()[1].strHead.find("auth.php"), std::string::npos);
    EXPECT_NE(m_view.FindCall("SetText " + std::to_string(IDC_ADDON_USAGE)), -1);
}

TEST_F(UploadJobTest, ErrorStatusMeansTheServerDidNotTakeTheArchives) {
    CScriptedServer listener(ServiceHandler());
    m_settings.m_endpoints = EndpointsAt(listener.BaseUrl());
    listener.SetHandler(ServiceHandler({.nUploadStatus = 500}));
    RunJob(Prepare({{0, "i"}}, nullptr));
    ASSERT_FALSE(m_view.Messages().empty());
    EXPECT_EQ(m_view.Messages().front(), FailureText(kTransferRefused));
}

TEST_F(UploadJobTest, ConnectionCutMidPartGivesMinusSeven) {
    CScriptedServer listener(ServiceHandler());
    m_settings.m_endpoints = EndpointsAt(listener.BaseUrl());
    listener.SetBodyLimit(5000);
    RunJob(Prepare({{0, RandomBytes(8000000, 11)}}, nullptr));
    ASSERT_FALSE(m_view.Messages().empty());
    EXPECT_EQ(m_view.Messages().front(), FailureText(kTransferBrokeOff));
    ASSERT_EQ(listener.RequestsTo("post.php").size(), 1u);
    EXPECT_TRUE(listener.RequestsTo("post.php")[0].bCutOff);
}

TEST_F(UploadJobTest, SuccessStatusBeforeTheWholeBodyIsNoCompleteUpload) {
    CScriptedServer listener(ServiceHandler());
    m_settings.m_endpoints = EndpointsAt(listener.BaseUrl());
    listener.SetBodyLimit(5000);
    listener.SetHandler(ServiceHandler({.bReplyWhenCut = true}));
    RunJob(Prepare({{0, RandomBytes(8000000, 13)}}, nullptr));
    ASSERT_FALSE(m_view.Messages().empty());
    EXPECT_EQ(m_view.Messages().front(), FailureText(kTransferBrokeOff));
}

TEST_F(UploadJobTest, UnreachableServerGivesMinusFive) {
    CClosedPort closed;
    m_settings.m_endpoints = EndpointsAt(closed.BaseUrl());
    RunJob(Prepare({{2, "d"}}, nullptr));
    ASSERT_FALSE(m_view.Messages().empty());
    EXPECT_EQ(m_view.Messages().front(), FailureText(kTransferNotSent));
}

TEST_F(UploadJobTest, UnknownSizeSendsNothing) {
    CScriptedServer listener(ServiceHandler());
    m_settings.m_endpoints = EndpointsAt(listener.BaseUrl());
    RunJob(Prepare({{0, "i"}}, nullptr) | GetCategory(kUploadOrder[3]).nMask);
    ASSERT_FALSE(m_view.Messages().empty());
    EXPECT_EQ(m_view.Messages().front(), "송수신 패킷의 크기를 계산할 수 없습니다.");
    EXPECT_TRUE(listener.RequestsTo("post.php").empty());
}

TEST_F(UploadTest, ArchiveGoneWhenItsPartStartsGivesMinusNine) {
    CScriptedServer listener(ServiceHandler());
    m_settings.m_endpoints = EndpointsAt(listener.BaseUrl());
    uint8_t nMask = Prepare({{0, RandomBytes(20000, 12)}, {3, "fonts"}}, nullptr);
    CUploadThread thread(m_logic, nMask, m_box.Folder(), "gamer01");
    ASSERT_GE(thread.ComputeContentLength(), 0);
    std::filesystem::remove(PathFromUtf8(m_box.Path("Ralum/Temp/__Fonts.zip")));
    EXPECT_EQ(thread.UploadAll(), kTransferLocalStatus);
    EXPECT_LT(thread.GetBytesSent(), thread.GetContentLength());
}

TEST_F(UploadTest, ArchiveThatChangedSizeIsNotSentWithAWrongLength) {
    CScriptedServer listener(ServiceHandler());
    m_settings.m_endpoints = EndpointsAt(listener.BaseUrl());
    uint8_t nMask = Prepare({{1, "short"}}, nullptr);
    CUploadThread thread(m_logic, nMask, m_box.Folder(), "gamer01");
    ASSERT_GE(thread.ComputeContentLength(), 0);
    m_box.Write("Ralum/Temp/__WTF.zip", "longer than before");
    EXPECT_EQ(thread.UploadAll(), kTransferLocalIo);
}

}  // namespace
