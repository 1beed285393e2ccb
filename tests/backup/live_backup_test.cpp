// The backup against a live zav-service: what the service stores is what was packed, a
// refused upload is reported as such, and a declined backup never reaches the service.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/categories.h"
#include "app/login_logic.h"
#include "app/main_logic.h"
#include "backup/backup_command.h"
#include "backup/backup_messages.h"
#include "backup/folder_packer.h"
#include "backup/upload_thread.h"
#include "backup_sandbox.h"
#include "platform/native_text.h"
#include "support/live_service.h"
#include "support/recording_view.h"

namespace {

constexpr const char* kId = "gamer01";
constexpr const char* kPw = "zav-secret";

class LiveBackupTest : public ::testing::Test {
protected:
    explicit LiveBackupTest(std::vector<std::string> vecArgs = {"--max-upload-mb", "20"})
        : m_service(std::move(vecArgs)), m_logic(m_view, m_settings) {}

    void SetUp() override {
        ASSERT_TRUE(m_service.IsRunning());
        ASSERT_TRUE(m_service.AddMember(kId, kPw, "백업회원"));
        m_settings.m_endpoints = m_service.Endpoints();
        // The service serves a member only at the address of its last login.
        CRecordingView loginView;
        ASSERT_TRUE(CLoginLogic(loginView, m_settings).OnLogin(kId, kPw).bLoggedIn)
            << ::testing::PrintToString(loginView.Texts());
        m_settings.SetGameFolder(m_box.Folder());
        m_settings.m_nMaxUploadLimit = 20000000;
        m_view.SetChecked(IDC_MODE_AUTO, true);
        m_view.SetText(IDC_REGISTRY_PATH, m_box.Folder());
    }
    void TearDown() override { m_logic.WaitForWorker(); }

    std::string Stored(const char* szArchive) const {
        return m_service.DataDir() + "/UserData/" + kId + "/" + szArchive;
    }
    bool IsStored(const char* szArchive) const {
        return std::filesystem::exists(PathFromUtf8(Stored(szArchive)));
    }
    // Log lines of the service that name this path.
    size_t LogLinesWith(const std::string& strNeedle) const {
        auto lines = m_service.LogLines();
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& s) {
            return s.find(strNeedle) != std::string::npos;
        }));
    }

    CGameSandbox m_box;
    CLiveService m_service;
    CRecordingView m_view;
    CSettings m_settings;
    CMainLogic m_logic;
    CBackupCommand m_backup{m_logic};
};

struct SLiveCase {
    const char* szName;
    std::vector<int> vecCategories;  // indexes into kUploadOrder
    bool bEmptyFirst;                // the first archive is a 0-byte file
};

class LiveUploadTest : public LiveBackupTest, public ::testing::WithParamInterface<SLiveCase> {};

TEST_P(LiveUploadTest, StoredArchivesEqualTheLocalOnes) {
    uint8_t nMask = 0;
    std::vector<std::pair<const char*, std::string>> local;
    for (int nIndex : GetParam().vecCategories) {
        const SCategory& category = GetCategory(kUploadOrder[nIndex]);
        std::string strPath = TempArchivePath(m_box.Folder(), category.eCategory);
        if (GetParam().bEmptyFirst && local.empty()) {
            m_box.Write(std::string("Ralum/Temp/") + category.szArchiveName, "");
        } else {
            m_box.Write(std::string(category.szGameFolder) + "/data.bin",
                        RandomBytes(40000, nIndex));
            m_box.Write(std::string(category.szGameFolder) + "/설정/config.txt", category.szWord);
            ASSERT_EQ(PackFolder(m_view, m_box.Folder(), category.eCategory), 1);
        }
        local.emplace_back(category.szArchiveName, ReadWholeFile(strPath));
        nMask |= category.nMask;
    }

    CUploadThread thread(m_logic, nMask, m_box.Folder(), kId);
    int64_t nLength = thread.ComputeContentLength();
    ASSERT_GT(nLength, 0);
    ASSERT_EQ(thread.UploadAll(), 0) << ::testing::PrintToString(m_service.LogLines());
    EXPECT_EQ(thread.GetBytesSent(), nLength);
    for (const auto& [szArchive, strBytes] : local) {
        ASSERT_TRUE(IsStored(szArchive)) << szArchive;
        EXPECT_TRUE(ReadWholeFile(Stored(szArchive)) == strBytes) << szArchive;
    }
    for (const SCategory& category : kCategories) {
        if ((nMask & category.nMask) == 0) {
            EXPECT_FALSE(IsStored(category.szArchiveName)) << category.szArchiveName;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Masks, LiveUploadTest,
                         ::testing::Values(SLiveCase{"OneCategory", {3}, false},
                                           SLiveCase{"TwoCategories", {0, 1}, false},
                                           SLiveCase{"FourCategories", {0, 1, 2, 3}, false},
                                           SLiveCase{"ZeroByteArchive", {1, 2}, true}),
                         [](const ::testing::TestParamInfo<SLiveCase>& param) {
                             return param.param.szName;
                         });

class LiveSmallQuotaTest : public LiveBackupTest {
protected:
    LiveSmallQuotaTest() : LiveBackupTest({"--max-upload-mb", "1"}) {}
};

TEST_F(LiveSmallQuotaTest, UploadTheServiceRefusesIsReportedAsMinusElevenAndStoresNothing) {
    m_box.Write("Ralum/Temp/__Interface.zip", RandomBytes(1500000, 3));
    ASSERT_EQ(m_backup.StartUpload(m_logic.TryClaim(), m_box.Folder(), kMaskInterface), 1);
    m_logic.WaitForWorker();
    ASSERT_FALSE(m_view.Messages().empty());
    EXPECT_EQ(m_view.Messages().front(), "파일을 전송하지 못하였습니다.\n\nERRCODE=[-11]");
    EXPECT_FALSE(IsStored("__Interface.zip"));
    EXPECT_FALSE(m_box.Exists("Ralum/Temp/__Interface.zip"));
    EXPECT_FALSE(g_bTransferBusy.load());
}

TEST_F(LiveBackupTest, DecliningSendsNothingAndConfirmingStoresTheFolders) {
    m_box.Write("Interface/AddOns/한글/main.lua", "print('안녕')");
    m_box.Write("WTF/Config.wtf", "SET locale \"koKR\"");
    m_box.Write("Cache/WDB/koKR/itemcache.wdb", RandomBytes(30000, 4));
    m_view.SetChecked(IDC_BACKUP_ADDON, true);
    m_view.SetChecked(IDC_BACKUP_CACHE, true);
    m_view.SetChecked(IDC_BACKUP_FONT, false);
    size_t nAuthBefore = LogLinesWith("/Kelpo/html/auth.php");

    m_view.QueueConfirmAnswers({false});
    m_backup.OnBackup();
    EXPECT_EQ(m_view.Texts(), std::vector<std::string>{kMsgConfirmBackup});
    EXPECT_EQ(LogLinesWith("/Kelpo/html/auth.php"), nAuthBefore);
    EXPECT_EQ(LogLinesWith("post.php"), 0u);

    m_view.ClearLog();
    m_backup.OnBackup();
    m_logic.WaitForWorker();
    ASSERT_EQ(m_view.Texts(),
              (std::vector<std::string>{kMsgConfirmBackup, "업로드가 완료되었습니다."}));
    EXPECT_EQ(ReadArchive(Stored("__WTF.zip")), (std::vector<std::pair<std::string, std::string>>{
                                                    {"WTF/Config.wtf", "SET locale \"koKR\""}}));
    EXPECT_EQ(ArchiveNames(Stored("__Interface.zip")),
              std::vector<std::string>{"Interface/AddOns/한글/main.lua"});
    EXPECT_EQ(ArchiveNames(Stored("__WDB.zip")),
              std::vector<std::string>{"Cache/WDB/koKR/itemcache.wdb"});
    EXPECT_FALSE(IsStored("__Fonts.zip"));
    // The refresh at the end shows what the service now holds.
    EXPECT_EQ(m_logic.ServerSizes()[ECategory::Wdb],
              static_cast<int32_t>(std::filesystem::file_size(PathFromUtf8(Stored("__WDB.zip")))));
    EXPECT_NE(m_view.Text(IDC_LAST_UPLOAD), "업로드 하신 내용이 없습니다.");
    EXPECT_TRUE(m_view.Checked(IDC_RESTORE_CACHE));
}

}  // namespace
