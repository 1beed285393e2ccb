// The backup button through the recording view: every message and its order, what reaches the
// server, and what is left in the working folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "app/main_logic.h"
#include "backup/backup_messages.h"
#include "backup/folder_packer.h"
#include "backup_sandbox.h"
#include "raw_http_listener.h"
#include "support/file_size_limit.h"
#include "support/recording_view.h"

namespace {

using Texts = std::vector<std::string>;
constexpr const char* kMsgDone = "업로드가 완료되었습니다.";

class BackupCommandTest : public ::testing::Test {
protected:
    BackupCommandTest() : m_url(m_listener.Base()), m_logic(m_view, m_settings) {
        m_settings.SetId("gamer01");
        m_settings.SetGameFolder(m_box.Folder());
        m_settings.m_nMaxUploadLimit = 20000000;
        m_listener.SetAuthReply("+OK<br>12%");
        m_view.SetChecked(IDC_MODE_AUTO, true);
        m_view.SetText(IDC_REGISTRY_PATH, m_box.Folder());
        Choose(true, false, false);
    }
    ~BackupCommandTest() override {
        m_logic.WaitForWorker();
        g_bTransferBusy = false;
    }

    void Choose(bool bAddon, bool bCache, bool bFont) {
        m_view.SetChecked(IDC_BACKUP_ADDON, bAddon);
        m_view.SetChecked(IDC_BACKUP_CACHE, bCache);
        m_view.SetChecked(IDC_BACKUP_FONT, bFont);
    }
    // Runs the command and waits for the worker it may have started.
    void Backup() {
        m_view.ClearLog();
        m_logic.OnBackup();
        m_logic.WaitForWorker();
    }
    std::vector<std::string> TempFiles() const {
        std::vector<std::string> vec;
        for (const auto& entry : std::filesystem::directory_iterator(m_box.Path("Ralum/Temp")))
            vec.push_back(entry.path().filename().string());
        return vec;
    }
    size_t Uploads() const { return m_listener.RequestsTo("post.php").size(); }

    CGameSandbox m_box;
    CRawHttpListener m_listener;
    CScopedServiceUrl m_url;
    CRecordingView m_view;
    CSettings m_settings;
    CMainLogic m_logic;
};

TEST_F(BackupCommandTest, WhileATransferRunsOnlyTheBusyMessageIsShown) {
    m_box.Write("WTF/Config.wtf", "x");
    g_bTransferBusy = true;
    Backup();
    EXPECT_EQ(m_view.Texts(), Texts{kMsgBusy});
    EXPECT_TRUE(m_view.WaitCursorCalls().empty());
    EXPECT_TRUE(m_listener.Requests().empty());
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(BackupCommandTest, WithoutAUsableGameFolderNothingHappens) {
    m_box.Write("WTF/Config.wtf", "x");
    // Nothing shown, a relative path (every path would hang on the current folder), and a
    // folder whose archive paths would not fit the path buffers, so could not be restored.
    const std::string strLong = "/" + std::string(260 - 26 - 2, 'g') + "/";
    ASSERT_EQ(strLong.size() + std::string("Ralum/Temp/__Interface.zip").size(), 260u);
    for (const auto& [strShown, strMessage] :
         std::vector<std::pair<std::string, std::string>>{{"", kMsgNoGameFolder},
                                                          {"WoW/", kMsgNoGameFolder},
                                                          {strLong, kMsgGameFolderTooLong}}) {
        m_view.SetText(IDC_REGISTRY_PATH, strShown);
        Backup();
        EXPECT_EQ(m_view.Texts(), Texts{strMessage}) << strShown;
        EXPECT_EQ(m_view.WaitCursorCalls(), (std::vector<bool>{true, false}));
    }
    EXPECT_TRUE(m_listener.Requests().empty());
    EXPECT_STREQ(m_settings.GetGameFolder(), m_box.Folder().c_str());
    EXPECT_FALSE(std::filesystem::exists("WoW"));
}

TEST_F(BackupCommandTest, NothingChosenAsksForAChoice) {
    Choose(false, false, false);
    Backup();
    EXPECT_EQ(m_view.Texts(), Texts{kMsgNothingChosen});
}

TEST_F(BackupCommandTest, AnsweringNoSendsNothingAndCreatesNoArchive) {
    m_box.Write("WTF/Config.wtf", "x");
    m_view.QueueConfirmAnswers({false});
    Backup();
    EXPECT_EQ(m_view.Texts(), Texts{kMsgConfirmBackup});
    EXPECT_TRUE(m_listener.Requests().empty());
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(BackupCommandTest, ServerThatRefusesUploadsStopsBeforePacking) {
    m_box.Write("WTF/Config.wtf", "x");
    m_listener.SetAuthReply("+OK<br>90%");
    Backup();
    EXPECT_EQ(m_view.Texts(), (Texts{kMsgConfirmBackup, kMsgServerBusy}));
    ASSERT_EQ(m_listener.Requests().size(), 1u);
    EXPECT_EQ(m_listener.Requests()[0].strBody, "mode=freespace");
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(BackupCommandTest, AllChosenFoldersEmptyEndsAfterTheServerQuery) {
    Choose(false, false, true);  // Fonts only, and there is no Fonts folder
    Backup();
    EXPECT_EQ(m_view.Texts(), (Texts{kMsgConfirmBackup, kMsgNothingToUpload}));
    EXPECT_EQ(Uploads(), 0u);
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(BackupCommandTest, AddonWithAnEmptyInterfaceUploadsOnlyWtf) {
    m_box.MakeDir("Interface/AddOns");
    m_box.Write("WTF/Account/SavedVariables.lua", "saved");
    Backup();
    EXPECT_EQ(m_view.Texts(), (Texts{kMsgConfirmBackup, kMsgDone}));
    auto uploads = m_listener.RequestsTo("post.php");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_NE(uploads[0].strBody.find("name=\"UserFile002\"; filename=\"__WTF.zip\""),
              std::string::npos);
    EXPECT_EQ(uploads[0].strBody.find("UserFile001"), std::string::npos);
    EXPECT_TRUE(TempFiles().empty());
    EXPECT_FALSE(g_bTransferBusy.load());
}

TEST_F(BackupCommandTest, TotalEqualToTheLimitIsUploadedAndOneByteMoreIsRefused) {
    m_box.Write("WTF/Config.wtf", RandomBytes(4000, 1));
    m_box.Write("Interface/a.lua", RandomBytes(3000, 2));
    // The archives of these folders, packed the same way, give the exact total.
    CRecordingView scratch;
    ASSERT_EQ(PackFolder(scratch, m_box.Folder(), "Interface", "Interface"), 1);
    ASSERT_EQ(PackFolder(scratch, m_box.Folder(), "WTF", "WTF"), 1);
    auto nTotal =
        static_cast<int32_t>(std::filesystem::file_size(m_box.Path("Ralum/Temp/__Interface.zip")) +
                             std::filesystem::file_size(m_box.Path("Ralum/Temp/__WTF.zip")));
    DeleteTempArchives(m_box.Folder(), "All");

    m_settings.m_nMaxUploadLimit = nTotal - 1;
    Backup();
    EXPECT_EQ(m_view.Texts(), (Texts{kMsgConfirmBackup,
                                     OverLimitMessage(static_cast<uint64_t>(nTotal), nTotal - 1)}));
    EXPECT_EQ(Uploads(), 0u);
    EXPECT_TRUE(TempFiles().empty());

    m_settings.m_nMaxUploadLimit = nTotal;
    Backup();
    EXPECT_EQ(m_view.Texts(), (Texts{kMsgConfirmBackup, kMsgDone}));
    EXPECT_EQ(Uploads(), 1u);
}

TEST_F(BackupCommandTest, PackagingFailureShowsBothMessagesAndDeletesEveryArchive) {
    Choose(true, true, true);
    for (const char* szFile :
         {"Interface/i.lua", "WTF/w.wtf", "Cache/WDB/koKR/c.wdb", "Fonts/f.ttf"})
        m_box.Write(szFile, szFile);
    m_box.MakeDir("Ralum/Temp/__WDB.zip");
    Backup();
    EXPECT_EQ(m_view.Texts(), (Texts{kMsgConfirmBackup, kMsgCreateArchiveFailed, kMsgPackFailed}));
    EXPECT_EQ(TempFiles(), std::vector<std::string>{"__WDB.zip"});  // only the blocking folder
    EXPECT_EQ(Uploads(), 0u);
}

TEST_F(BackupCommandTest, PackagingKeepsTheWindowAliveUnderTheWaitCursor) {
    class CCheckingView : public CRecordingView {
    public:
        bool m_bCursorOffDuringWork = false;
        void KeepAlive() override {
            CRecordingView::KeepAlive();
            if (!WaitCursorOn())
                m_bCursorOffDuringWork = true;
        }
    } view;
    CMainLogic logic(view, m_settings);
    view.SetChecked(IDC_MODE_AUTO, true);
    view.SetText(IDC_REGISTRY_PATH, m_box.Folder());
    view.SetChecked(IDC_BACKUP_ADDON, true);
    for (int i = 0; i < 5; ++i)
        m_box.Write("Interface/file" + std::to_string(i) + ".lua", "x");
    logic.OnBackup();
    logic.WaitForWorker();
    EXPECT_GE(view.KeepAliveCount(), 5);
    EXPECT_FALSE(view.m_bCursorOffDuringWork);
    EXPECT_FALSE(view.WaitCursorOn());
}

// Faults of a backup: each one shows what went wrong, never the success text, and sends no
// archive, so the member's copy on the server stays as it was.
TEST_F(BackupCommandTest, ArchiveThatCannotBeFinishedIsNeverUploaded) {
    m_box.Write("WTF/Config.wtf", RandomBytes(20000, 3));
    // The same archive written once shows how large it gets; then the disk allows all of it
    // but the last few bytes of its directory.
    CRecordingView scratch;
    ASSERT_EQ(PackFolder(scratch, m_box.Folder(), "WTF", "WTF"), 1);
    const auto nArchive = std::filesystem::file_size(m_box.Path("Ralum/Temp/__WTF.zip"));
    DeleteTempArchives(m_box.Folder(), "All");
    {
        CFileSizeLimit limit(nArchive - 10);
        ASSERT_TRUE(limit.IsSet());
        Backup();
    }
    EXPECT_EQ(m_view.Texts(), (Texts{kMsgConfirmBackup, kMsgCloseArchiveFailed, kMsgPackFailed}));
    EXPECT_EQ(Uploads(), 0u);
    EXPECT_TRUE(TempFiles().empty());
    EXPECT_FALSE(g_bTransferBusy.load());
}

TEST_F(BackupCommandTest, FileRewrittenWhilePackedIsNamedAndNothingIsUploaded) {
    m_box.Write("Interface/AddOns/a.lua", "a");
    m_box.Write("WTF/Account/ACC/SavedVariables/WeakAuras.lua", "WeakAurasSaved = {}\n");
    class CWritingView : public CRecordingView {
    public:
        std::string m_strFile;
        // The game rewrites the file while the window is kept alive during packing.
        void KeepAlive() override {
            CRecordingView::KeepAlive();
            if (!m_strFile.empty() && std::filesystem::exists(m_strFile)) {
                FILE* pFile = std::fopen(m_strFile.c_str(), "ab");
                std::fputs("-- more\n", pFile);
                std::fclose(pFile);
            }
        }
    } view;
    CMainLogic logic(view, m_settings);
    view.SetChecked(IDC_MODE_AUTO, true);
    view.SetText(IDC_REGISTRY_PATH, m_box.Folder());
    view.SetChecked(IDC_BACKUP_ADDON, true);
    view.m_strFile = m_box.Path("WTF/Account/ACC/SavedVariables/WeakAuras.lua");
    logic.OnBackup();
    logic.WaitForWorker();
    EXPECT_EQ(view.Texts(), (Texts{kMsgConfirmBackup,
                                   std::string(kMsgAddFileFailed) +
                                       "\n\nWTF/Account/ACC/SavedVariables/WeakAuras.lua",
                                   kMsgPackFailed}));
    EXPECT_EQ(Uploads(), 0u);
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(BackupCommandTest, PackingCountsAsATransferSoTheWindowCannotCloseMeanwhile) {
    class CClosingView : public CRecordingView {
    public:
        CMainLogic* m_pLogic = nullptr;
        bool m_bClosed = false;
        bool m_bBusy = true;
        // The member clicks the close box while the window is kept alive during packing.
        void KeepAlive() override {
            CRecordingView::KeepAlive();
            m_bBusy = m_bBusy && g_bTransferBusy.load();
            m_bClosed = m_bClosed || m_pLogic->CanClose();
        }
    } view;
    CMainLogic logic(view, m_settings);
    view.m_pLogic = &logic;
    view.SetChecked(IDC_MODE_AUTO, true);
    view.SetText(IDC_REGISTRY_PATH, m_box.Folder());
    view.SetChecked(IDC_BACKUP_ADDON, true);
    m_box.Write("Interface/a.lua", "a");
    logic.OnBackup();
    logic.WaitForWorker();
    EXPECT_GT(view.KeepAliveCount(), 0);
    EXPECT_TRUE(view.m_bBusy);
    EXPECT_FALSE(view.m_bClosed);
    EXPECT_FALSE(g_bTransferBusy.load());

    // A packing failure gives the flag back as well.
    view.ClearLog();
    m_box.MakeDir("Ralum/Temp/__Interface.zip");
    logic.OnBackup();
    EXPECT_EQ(view.Texts(), (Texts{kMsgConfirmBackup, kMsgCreateArchiveFailed, kMsgPackFailed}));
    EXPECT_FALSE(g_bTransferBusy.load());
}

TEST_F(BackupCommandTest, StrayExceptionOnTheWorkerIsToldAndClearsTheBusyFlag) {
    class CThrowingView : public CRecordingView {
    public:
        // Fails in the account refresh at the end of the job.
        void SetChecked(int, bool) override { throw std::runtime_error("drawing failed"); }
    } view;
    CMainLogic logic(view, m_settings);
    m_box.Write("Ralum/Temp/__WTF.zip", "archive");
    logic.m_strCommandFolder = m_box.Folder();
    g_bTransferBusy = true;
    ASSERT_EQ(logic.StartUpload(kBackupCategories[1].nMask), 1);
    logic.WaitForWorker();
    EXPECT_EQ(view.LastText(), kMsgSystemFailure);
    EXPECT_FALSE(g_bTransferBusy.load());
}

class CheckUploadSizeTest : public BackupCommandTest {
protected:
    void Archive(const char* szName, uint64_t nSize) {
        m_box.Write(std::string("Ralum/Temp/") + szName, "");
        std::filesystem::resize_file(m_box.Path(std::string("Ralum/Temp/") + szName), nSize);
    }
};

TEST_F(CheckUploadSizeTest, LimitIsShownInWholeMillions) {
    EXPECT_EQ(OverLimitMessage(20000001, 20000000),
              "※ 선택 파일크기가 [ 20.0M] 로 최대 (20M) 까지만 가능합니다.");
    EXPECT_EQ(OverLimitMessage(21000000, 20999999),
              "※ 선택 파일크기가 [ 21.0M] 로 최대 (20M) 까지만 가능합니다.");
}

TEST_F(CheckUploadSizeTest, ChosenArchiveWithoutSizeGivesMinusOne) {
    m_logic.m_strCommandFolder = m_box.Folder();
    m_logic.m_nSelWdb = 1;
    EXPECT_EQ(m_logic.CheckUploadSize(), -1);
    EXPECT_TRUE(m_view.Texts().empty());
}

TEST_F(CheckUploadSizeTest, TotalPastFourGigabytesDoesNotWrapIntoASmallSize) {
    // Sparse files: no disk space is used.
    Archive("__Interface.zip", uint64_t{1} << 32);
    Archive("__WTF.zip", 1);
    m_logic.m_strCommandFolder = m_box.Folder();
    m_logic.m_nSelInterface = m_logic.m_nSelWtf = 1;
    EXPECT_EQ(m_logic.CheckUploadSize(), 0);
    EXPECT_EQ(m_view.Texts(), Texts{OverLimitMessage((uint64_t{1} << 32) + 1, 20000000)});
}

}  // namespace
