// The main window's state without widgets: the account values, the progress bar, the
// game-folder controls and the check boxes' choice, and the one worker thread of a transfer.
// CMainDialog (Qt) maps its widgets onto IMainView; the commands are objects of their own
// layers that work through this class:
//   backup/backup_command.h        CBackupCommand: the backup button
//   restore/restore_command.h      CRestoreCommand: the restore button, and settling an
//                                  interrupted restore when the window opens
//   restore/maintenance_commands.h CMaintenanceCommands: initialize and remove all
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "app/categories.h"
#include "app/game_folder.h"
#include "app/settings.h"
#include "app/view.h"
#include "platform/folder_lock.h"

struct SAuthReply;

// Bytes the server holds per category, as the last account status said (0 = none).
using SServerSizes = SPerCategory<int32_t>;

// How the progress bar shows done / total.
enum class EProgressMode : uint8_t {
    Plain,     // the share done (an upload)
    Full,      // the whole bar, whatever the counts (a restore that has been applied)
    FiveLess,  // five points less than the share, never below 0 (a download before applying)
};

// The two groups of check boxes: the categories to back up, and those to restore.
enum class ECheckGroup { Backup, Restore };

// The window's one transfer slot (g_bTransferBusy), claimed through CMainLogic::TryClaim, and
// the game folder's lock that travels with it: a backup from its packing until the upload ends,
// a restore until its worker ends, an initialize while it moves the folders. Whoever holds the
// claim last gives back the lock, then the slot; RunWorker hands it to the worker.
class CTransferClaim {
public:
    CTransferClaim() = default;
    ~CTransferClaim() { Release(); }
    CTransferClaim(CTransferClaim&& other) noexcept;
    CTransferClaim& operator=(CTransferClaim&& other) noexcept;
    CTransferClaim(const CTransferClaim&) = delete;
    CTransferClaim& operator=(const CTransferClaim&) = delete;

    // True while it holds the slot.
    explicit operator bool() const { return m_bHeld; }
    // Takes the lock of strFolder into the claim (TakeGameFolderLock); false after telling
    // the member, when nothing may change in the folder.
    bool LockGameFolder(IMessageView& view, const std::string& strFolder, const char* szCommand);
    // Gives back the lock, then the slot (nothing when it holds none).
    void Release();

private:
    friend class CMainLogic;
    bool m_bHeld = false;
    CFolderLock m_lock;
};

class CMainLogic {
public:
    CMainLogic(IMainView& view, CSettings& settings);
    // Waits for a running worker: the logic outlives every thread it started.
    ~CMainLogic();

    CMainLogic(const CMainLogic&) = delete;
    CMainLogic& operator=(const CMainLogic&) = delete;

    // Window set-up after the widgets exist: check boxes, game folder, nickname, usage.
    void OnInitDialog();
    // False while a transfer runs (after telling the member); the window then stays open.
    bool CanClose();

    // Progress bar: done / total, shown as the mode says.
    void SetProgress(uint32_t nDone, int32_t nTotal, EProgressMode eMode);
    int ProgressWidth() const { return m_nProgressWidth.load(); }

    // Account status (auth.php mode du).
    void QueryAccountStatus();
    // Takes the account values from a reply of mode du, or shows why there are none;
    // QueryAccountStatus fetches the reply and hands it here.
    void ApplyAccountStatus(const SAuthReply& reply);
    int32_t GetTotalUsage() const;
    void RefreshUsage();
    SServerSizes ServerSizes() const;
    // The last-upload date as the window shows it.
    std::string LastUpload();

    // Game-folder controls.
    void OnBrowseFolder();
    void OnGameFolderMode();
    // The manual path's edit was finished: in manual mode the typed folder is taken at once.
    void OnManualPathEdited();
    std::string GetGamePathText();
    // The folder the window shows for the current mode, made the game folder (with its final
    // separator and working folders) and returned; nullopt after telling the member why it
    // cannot be used. Every command takes its folder through this, so that it works on the folder
    // the window shows.
    std::optional<CGameFolder> TakeShownGameFolder();

    // The categories a group of check boxes chooses, as a category mask: the Addon box stands
    // for Interface and WTF together.
    uint8_t ChosenCategories(ECheckGroup eGroup);

    IMainView& View() { return m_view; }
    CSettings& Settings() { return m_settings; }
    // Waits until the running worker (if any) has finished. For tests and shutdown.
    void WaitForWorker();

private:
    // Makes strPath (given its final separator) the game folder and makes its working folders.
    // False when refused: too long for the path buffers (the member is told), or empty or
    // relative (the commands say so when they start).
    bool UseGameFolder(const std::string& strPath);

    IMainView& m_view;
    CSettings& m_settings;
    std::atomic<int> m_nProgressWidth{0};
    std::jthread m_worker;  // the upload or download worker of the running transfer
    SPerCategory<std::atomic<int32_t>> m_serverSizes;
    std::string m_strLastUpload;  // guarded by m_mutexAccount
    std::mutex m_mutexAccount;

public:
    // Claims the window's one transfer slot (g_bTransferBusy) for a command; the claim holds
    // nothing while another command or worker has it.
    CTransferClaim TryClaim();

    // Starts fn on the worker thread, which takes the claim over and gives it back (the game
    // folder's lock, then the slot) as its last act, however fn ends: a stray exception is told
    // to the member as a system failure instead of ending the program. False when no thread
    // can be started; the claim is then given back at once.
    template <class F>
    bool RunWorker(CTransferClaim claim, F&& fn) {
        if (m_worker.joinable())
            m_worker.join();
        try {
            m_worker =
                std::jthread([this, claim = std::move(claim), fn = std::forward<F>(fn)]() mutable {
                    try {
                        fn();
                    } catch (...) {
                        ReportWorkerFailure(std::current_exception());
                    }
                    claim.Release();
                });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

private:
    void ReportWorkerFailure(const std::exception_ptr& pError);
};
