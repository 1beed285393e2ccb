// The main window's logic: its handlers, the account values, the selection flags and the
// progress width. CMainDialog (Qt) maps its widgets onto IMainView and forwards clicks here.
//
// The handlers are spread over the layers that own them:
//   app/main_logic.cpp       set-up, SetProgress, account status (QueryAccountStatus ...)
//   app/game_folder_ui.cpp   OnBrowseFolder, OnGameFolderMode, GetGamePathText
//   backup/backup_command.cpp   OnBackup, CheckUploadSize, StartUpload, PackSelectedFolders
//   backup/free_space.cpp       QueryFreeSpace
//   restore/restore_command.cpp OnRestore, StartDownload, OnInitialize, OnRemoveAll
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "app/settings.h"
#include "app/view.h"

struct SAuthReply;

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

    // Progress bar: done / total in mode 0 plain, 1 full, 2 five points less.
    void SetProgress(uint32_t nDone, int32_t nTotal, uint8_t nMode);
    int ProgressWidth() const { return m_nProgressWidth.load(); }

    // Account status (auth.php mode du).
    void QueryAccountStatus();
    // Takes the account values from a reply of mode du, or shows why there are none;
    // QueryAccountStatus fetches the reply and hands it here.
    void ApplyAccountStatus(const SAuthReply& reply);
    int32_t GetTotalUsage() const;
    void RefreshUsage();

    // Game-folder controls.
    void OnBrowseFolder();
    void OnGameFolderMode();
    // The manual path's edit was finished: in manual mode the typed folder is taken at once.
    void OnManualPathEdited();
    std::string GetGamePathText();
    // The folder the window shows for the current mode, made the game folder (with its final
    // separator and working folders) and returned; "" after telling the member why it cannot
    // be used. Every command takes its folder through this, so that it works on the folder
    // the window shows.
    std::string TakeShownGameFolder();

    // Backup.
    void OnBackup();
    int CheckUploadSize();
    int StartUpload(uint8_t nMask);
    int PackSelectedFolders();

    // Restore and maintenance.
    void OnRestore();
    int StartDownload(uint8_t nMask);
    void OnInitialize();
    void OnRemoveAll();
    int QueryFreeSpace();

    IMainView& View() { return m_view; }
    CSettings& Settings() { return m_settings; }
    // Waits until the running worker (if any) has finished. For tests and shutdown.
    void WaitForWorker();

    // Bytes stored on the server per category; the restore worker reads them as the
    // expected archive sizes.
    std::atomic<int32_t> m_nFontsSize{0};
    std::atomic<int32_t> m_nInterfaceSize{0};
    std::atomic<int32_t> m_nWdbSize{0};
    std::atomic<int32_t> m_nWtfSize{0};
    std::string m_strLastUpload;  // guarded by m_mutexAccount
    std::mutex m_mutexAccount;

    // Backup selection flags, reset at every backup command.
    int m_nSelInterface = 0;
    int m_nSelWtf = 0;
    int m_nSelWdb = 0;
    int m_nSelFonts = 0;
    // The game folder the running command took when it started; workers get a copy.
    std::string m_strCommandFolder;

private:
    // Makes strPath (given its final separator) the game folder and makes its working folders.
    // False when refused: too long for the path buffers (the member is told), or empty or
    // relative (the commands say so when they start).
    bool UseGameFolder(const std::string& strPath);

    IMainView& m_view;
    CSettings& m_settings;
    std::atomic<int> m_nProgressWidth{0};
    std::jthread m_worker;  // the upload or download worker of the running transfer

public:
    // Starts fn on the worker thread; the caller has set g_bTransferBusy. The flag is cleared
    // when fn ends, as the worker's last act, however it ends: a stray exception is told to
    // the member as a system failure instead of ending the program.
    template <class F>
    void RunWorker(F&& fn) {
        if (m_worker.joinable())
            m_worker.join();
        m_worker = std::jthread([this, fn = std::forward<F>(fn)]() mutable {
            try {
                fn();
            } catch (...) {
                ReportWorkerFailure(std::current_exception());
            }
            g_bTransferBusy = false;
        });
    }

private:
    void ReportWorkerFailure(std::exception_ptr pError);
};

// Claims g_bTransferBusy for a command's preparation: set at construction, cleared again at
// destruction unless handed to a worker (Release) that clears it as its last act.
class CTransferClaim {
public:
    CTransferClaim() { g_bTransferBusy = true; }
    ~CTransferClaim() {
        if (m_bHeld)
            g_bTransferBusy = false;
    }
    CTransferClaim(const CTransferClaim&) = delete;
    CTransferClaim& operator=(const CTransferClaim&) = delete;
    void Release() { m_bHeld = false; }

private:
    bool m_bHeld = true;
};
