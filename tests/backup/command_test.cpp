// The backup button through the recording view: every message and its order, what reaches the
// server, and what is left in the working folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "app/app_messages.h"
#include "app/categories.h"
#include "app/main_logic.h"
#include "app/saved_variables_check.h"
#include "backup/backup_command.h"
#include "backup/backup_messages.h"
#include "backup/folder_packer.h"
#include "backup_sandbox.h"
#include "platform/diag_log.h"
#include "platform/folder_lock.h"
#include "platform/native_text.h"
#include "support/env_guard.h"
#include "support/file_io.h"
#include "support/file_size_limit.h"
#include "support/live_service.h"
#include "support/recording_view.h"
#include "support/running_client.h"

namespace {

using Texts = std::vector<std::string>;
constexpr const char* kMsgDone = "업로드가 완료되었습니다.";

class BackupCommandTest : public ::testing::Test {
protected:
    BackupCommandTest() : m_logic(m_view, m_settings) {
        m_settings.m_endpoints = EndpointsAt(m_listener.BaseUrl());
        m_settings.SetId("gamer01");
        m_settings.SetGameFolder(m_box.Folder());
        m_settings.m_nMaxUploadLimit = 20000000;
        m_listener.SetHandler(ServiceHandler({.strAuthReply = "+OK<br>12%"}));
        m_view.SetChecked(IDC_MODE_AUTO, true);
        m_view.SetText(IDC_REGISTRY_PATH, m_box.Folder());
        Choose(true, false, false);
    }
    ~BackupCommandTest() override { m_logic.WaitForWorker(); }

    void Choose(bool bAddon, bool bCache, bool bFont) {
        m_view.SetChecked(IDC_BACKUP_ADDON, bAddon);
        m_view.SetChecked(IDC_BACKUP_CACHE, bCache);
        m_view.SetChecked(IDC_BACKUP_FONT, bFont);
    }
    // Runs the command and waits for the worker it may have started.
    void Backup() {
        m_view.ClearLog();
        m_backup.OnBackup();
        m_logic.WaitForWorker();
    }
    std::vector<std::string> TempFiles() const {
        std::vector<std::string> vec;
        for (const auto& entry :
             std::filesystem::directory_iterator(PathFromUtf8(m_box.Path("Ralum/Temp"))))
            vec.push_back(Utf8FromPath(entry.path().filename()));
        return vec;
    }
    size_t Uploads() const { return m_listener.RequestsTo("post.php").size(); }

    CGameSandbox m_box;
    CScriptedServer m_listener{ServiceHandler()};
    CRecordingView m_view;
    CSettings m_settings;
    CMainLogic m_logic;
    CBackupCommand m_backup{m_logic};
};

TEST_F(BackupCommandTest, WhileATransferRunsOnlyTheBusyMessageIsShown) {
    m_box.Write("WTF/Config.wtf", "x");
    const CTransferClaim running = m_logic.TryClaim();
    Backup();
    EXPECT_EQ(m_view.Texts(), Texts{kMsgBusy});
    EXPECT_TRUE(m_view.WaitCursorCalls().empty());
    EXPECT_TRUE(m_listener.Requests().empty());
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(BackupCommandTest, AnotherWindowOnTheFolderStopsItBeforePackingAndNothingIsUploaded) {
    m_box.Write("WTF/Config.wtf", "x");
    CFolderLock other;
    ASSERT_EQ(other.TryLock(m_box.Path("Ralum/zav.lock")), CFolderLock::EResult::Taken);
    Backup();
    EXPECT_EQ(m_view.Texts(), (Texts{kMsgConfirmBackup, kMsgFolderInUse}));
    EXPECT_EQ(Uploads(), 0u);
    EXPECT_TRUE(TempFiles().empty());
    EXPECT_FALSE(g_bTransferBusy);
    // The upload holds the lock until it has ended, and gives it back.
    other.Unlock();
    Backup();
    EXPECT_EQ(m_view.Texts(), (Texts{kMsgConfirmBackup, kMsgDone}));
    EXPECT_EQ(other.TryLock(m_box.Path("Ralum/zav.lock")), CFolderLock::EResult::Taken);
}

TEST_F(BackupCommandTest, WithoutAUsableGameFolderNothingHappens) {
    m_box.Write("WTF/Config.wtf", "x");
    // Nothing shown, a relative path (every path would hang on the current folder), and a
    // folder whose archive paths would not fit the path buffers, so could not be restored.
#ifdef _WIN32
    const std::string strRoot = "C:/";
#else
    const std::string strRoot = "/";
#endif
    const std::string strLong = strRoot + std::string(260 - 26 - strRoot.size() - 1, 'g') + "/";
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
    m_listener.SetHandler(ServiceHandler({.strAuthReply = "+OK<br>90%"}));
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
    ASSERT_EQ(PackFolder(scratch, m_box.Folder(), ECategory::Interface), 1);
    ASSERT_EQ(PackFolder(scratch, m_box.Folder(), ECategory::Wtf), 1);
    auto nTotal = static_cast<int32_t>(
        std::filesystem::file_size(PathFromUtf8(m_box.Path("Ralum/Temp/__Interface.zip"))) +
        std::filesystem::file_size(PathFromUtf8(m_box.Path("Ralum/Temp/__WTF.zip"))));
    DeleteTempArchives(m_box.Folder(), kMaskAll);

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
    CBackupCommand(logic).OnBackup();
    logic.WaitForWorker();
    EXPECT_GE(view.KeepAliveCount(), 5);
    EXPECT_FALSE(view.m_bCursorOffDuringWork);
    EXPECT_FALSE(view.WaitCursorOn());
}

// Faults of a backup: each one shows what went wrong, never the success text, and sends no
// archive, so the member's copy on the server stays as it was.
TEST_F(BackupCommandTest, ArchiveThatCannotBeFinishedIsNeverUploaded) {
    SKIP_WITHOUT_FILE_SIZE_LIMIT();
    m_box.Write("WTF/Config.wtf", RandomBytes(20000, 3));
    // The same archive written once shows how large it gets; then the disk allows all of it
    // but the last few bytes of its directory.
    CRecordingView scratch;
    ASSERT_EQ(PackFolder(scratch, m_box.Folder(), ECategory::Wtf), 1);
    const auto nArchive =
        std::filesystem::file_size(PathFromUtf8(m_box.Path("Ralum/Temp/__WTF.zip")));
    DeleteTempArchives(m_box.Folder(), kMaskAll);
    {
        CFileSizeLimit limit(nArchive - 10);
        ASSERT_TRUE(limit.IsSet());
        Backup();
    }
    // The file-size limit fails the write as a full disk does (EFBIG).
    EXPECT_EQ(m_view.Texts(),
              (Texts{kMsgConfirmBackup, std::string(kMsgCloseArchiveFailed) + "\n\n" + kMsgDiskFull,
                     kMsgPackFailed}));
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
            if (!m_strFile.empty() && std::filesystem::exists(PathFromUtf8(m_strFile))) {
                std::ofstream(PathFromUtf8(m_strFile), std::ios::binary | std::ios::app)
                    << "-- more\n";
            }
        }
    } view;
    CMainLogic logic(view, m_settings);
    CBackupCommand backup(logic);
    view.SetChecked(IDC_MODE_AUTO, true);
    view.SetText(IDC_REGISTRY_PATH, m_box.Folder());
    view.SetChecked(IDC_BACKUP_ADDON, true);
    view.m_strFile = m_box.Path("WTF/Account/ACC/SavedVariables/WeakAuras.lua");
    backup.OnBackup();
    logic.WaitForWorker();
    EXPECT_EQ(view.Texts(),
              (Texts{kMsgConfirmBackup,
                     std::string(kMsgAddFileFailed) + "\n\n" +
                         NativeSeparators("WTF/Account/ACC/SavedVariables/WeakAuras.lua"),
                     kMsgPackFailed}));
    EXPECT_EQ(Uploads(), 0u);
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(BackupCommandTest, FolderThatCannotBeOpenedIsNamedAndNothingIsUploaded) {
    m_box.Write("Interface/AddOns/a.lua", "a");
    m_box.Write("WTF/Account/ACC/SavedVariables/Fine.lua", "FineSaved = {}\n");
    m_box.Write("WTF/Account/ACC/하늘바다/달빛궁수/SavedVariables/WeakAuras.lua", "X = {}\n");
    CLockedFolder lock(m_box, "WTF/Account/ACC/하늘바다");
    if (!lock.IsLocked())
        GTEST_SKIP() << lock.Reason();
    Backup();
    EXPECT_EQ(m_view.Texts(), (Texts{kMsgConfirmBackup,
                                     std::string(kMsgAddFileFailed) + "\n\n" +
                                         NativeSeparators("WTF/Account/ACC/하늘바다"),
                                     kMsgPackFailed}));
    EXPECT_EQ(Uploads(), 0u);
    EXPECT_TRUE(TempFiles().empty());
    EXPECT_FALSE(g_bTransferBusy.load());
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
    CBackupCommand backup(logic);
    view.m_pLogic = &logic;
    view.SetChecked(IDC_MODE_AUTO, true);
    view.SetText(IDC_REGISTRY_PATH, m_box.Folder());
    view.SetChecked(IDC_BACKUP_ADDON, true);
    m_box.Write("Interface/a.lua", "a");
    backup.OnBackup();
    logic.WaitForWorker();
    EXPECT_GT(view.KeepAliveCount(), 0);
    EXPECT_TRUE(view.m_bBusy);
    EXPECT_FALSE(view.m_bClosed);
    EXPECT_FALSE(g_bTransferBusy.load());

    // A packing failure gives the flag back as well.
    view.ClearLog();
    m_box.MakeDir("Ralum/Temp/__Interface.zip");
    backup.OnBackup();
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
    ASSERT_EQ(CBackupCommand(logic).StartUpload(logic.TryClaim(), m_box.Folder(), kMaskWtf), 1);
    logic.WaitForWorker();
    EXPECT_EQ(view.LastText(), kMsgSystemFailure);
    EXPECT_FALSE(g_bTransferBusy.load());
}

TEST_F(BackupCommandTest, StoppedServiceLeavesItsCauseInTheDiagnosticLog) {
    m_box.Write("WTF/Config.wtf", "x");
    CClosedPort closed;
    m_settings.m_endpoints = EndpointsAt(closed.BaseUrl());
    OpenDiagLog(m_box.Path("state/zav/zav.log"));
    Backup();
    OpenDiagLog("");
    EXPECT_EQ(m_view.Texts(), (Texts{kMsgConfirmBackup, kMsgServerBusy}));
    const std::string strLog = ReadWholeFile(m_box.Path("state/zav/zav.log"));
    EXPECT_NE(strLog.find("POST " + closed.BaseUrl() + "/Kelpo/html/auth.php: "), std::string::npos)
        << strLog;
    EXPECT_NE(strLog.find("backup: the server does not take uploads now"), std::string::npos);
}

// The guards before packing: each asks with No as the default, and No sends nothing.
TEST_F(BackupCommandTest, RunningGameIsAskedAboutFirst) {
    m_box.Write("WTF/Config.wtf", "x");
    CRunningClient client(m_box.Path("bin"), "Wow.exe", m_box.Folder());
    ASSERT_GT(client.Pid(), 0);
    m_view.QueueConfirmAnswers({false});
    Backup();
    ASSERT_EQ(m_view.Boxes().size(), 1u);
    EXPECT_EQ(m_view.Boxes()[0].strText, kAskBackupWhileRunning);
    EXPECT_TRUE(m_view.Boxes()[0].bDefaultNo);
    EXPECT_TRUE(m_listener.Requests().empty());

    m_view.QueueConfirmAnswers({true, true});
    Backup();
    EXPECT_EQ(m_view.Texts(), (Texts{kAskBackupWhileRunning, kMsgConfirmBackup, kMsgDone}));
}

TEST_F(BackupCommandTest, DamagedSavedVariablesAreNamedAndNoUploadsNothing) {
    m_box.Write("WTF/Account/ACC/SavedVariables/WeakAuras.lua",
                "WeakAurasSaved = {\n  [\"a\"] = {");
    m_box.Write("WTF/Account/ACC/SavedVariables/Fine.lua", "FineSaved = { 1, 2 }\n");
    const std::vector<SDamagedFile> damaged = FindDamagedSavedVariables(m_box.Folder());
    ASSERT_EQ(damaged.size(), 1u);
    m_view.QueueConfirmAnswers({true, false});
    Backup();
    ASSERT_EQ(m_view.Boxes().size(), 2u);
    EXPECT_EQ(m_view.Boxes()[1].strText, DamagedFilesQuestion(damaged));
    EXPECT_NE(m_view.Boxes()[1].strText.find("WeakAuras.lua"), std::string::npos);
    EXPECT_TRUE(m_view.Boxes()[1].bDefaultNo);
    EXPECT_EQ(m_listener.Requests().size(), 0u);  // not even the server's consent
    EXPECT_TRUE(TempFiles().empty());

    // Yes: the backup goes on as before. Without WTF chosen nothing is asked.
    m_view.QueueConfirmAnswers({true, true});
    Backup();
    EXPECT_EQ(m_view.LastText(), kMsgDone);
    Choose(false, false, true);
    m_box.Write("Fonts/f.ttf", "f");
    Backup();
    EXPECT_EQ(m_view.Texts(), (Texts{kMsgConfirmBackup, kMsgDone}));
}

class CheckUploadSizeTest : public BackupCommandTest {
protected:
    void Archive(const char* szName, uint64_t nSize) {
        m_box.Write(std::string("Ralum/Temp/") + szName, "");
        std::filesystem::resize_file(PathFromUtf8(m_box.Path(std::string("Ralum/Temp/") + szName)),
                                     nSize);
    }
};

TEST_F(CheckUploadSizeTest, LimitIsShownInWholeMillions) {
    EXPECT_EQ(OverLimitMessage(20000001, 20000000),
              "※ 선택 파일크기가 [ 20.0M] 로 최대 (20M) 까지만 가능합니다.");
    EXPECT_EQ(OverLimitMessage(21000000, 20999999),
              "※ 선택 파일크기가 [ 21.0M] 로 최대 (20M) 까지만 가능합니다.");
}

TEST_F(CheckUploadSizeTest, ChosenArchiveWithoutSizeGivesMinusOne) {
    EXPECT_EQ(m_backup.CheckUploadSize(m_box.Folder(), kMaskWdb), -1);
    EXPECT_TRUE(m_view.Texts().empty());
}

TEST_F(CheckUploadSizeTest, TotalPastFourGigabytesDoesNotWrapIntoASmallSize) {
    // Sparse files: no disk space is used.
    Archive("__Interface.zip", uint64_t{1} << 32);
    Archive("__WTF.zip", 1);
    EXPECT_EQ(m_backup.CheckUploadSize(m_box.Folder(), kMaskInterface | kMaskWtf), 0);
    EXPECT_EQ(m_view.Texts(), Texts{OverLimitMessage((uint64_t{1} << 32) + 1, 20000000)});
}

}  // namespace
