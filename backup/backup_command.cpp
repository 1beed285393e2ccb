// The backup button: checks, confirmation, packaging, size check, and the upload worker.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <system_error>

#include "app/main_logic.h"
#include "backup/backup_messages.h"
#include "backup/folder_packer.h"
#include "backup/upload_thread.h"

std::string OverLimitMessage(uint64_t nTotal, int32_t nLimit) {
    char szText[256];
    std::snprintf(szText, sizeof szText,
                  "※ 선택 파일크기가 [ %.1fM] 로 최대 (%dM) 까지만 가능합니다.",
                  static_cast<double>(nTotal) * 0.000001, nLimit / 1000000);
    return szText;
}

void CMainLogic::OnBackup() {
    if (g_bTransferBusy) {
        m_view.Message(kMsgBusy);
        return;
    }
    CWaitCursor wait(m_view);

    // Every path of this backup, and of its worker, is formed from the folder the window shows.
    m_strCommandFolder = TakeShownGameFolder();
    if (m_strCommandFolder.empty())
        return;

    m_nSelInterface = m_nSelWtf = m_nSelWdb = m_nSelFonts = 0;
    if (m_view.IsChecked(IDC_BACKUP_ADDON))
        m_nSelInterface = m_nSelWtf = 1;
    if (m_view.IsChecked(IDC_BACKUP_CACHE))
        m_nSelWdb = 1;
    if (m_view.IsChecked(IDC_BACKUP_FONT))
        m_nSelFonts = 1;
    if (!m_nSelInterface && !m_nSelWtf && !m_nSelWdb && !m_nSelFonts) {
        m_view.Message(kMsgNothingChosen);
        return;
    }

    if (!m_view.Confirm(kMsgConfirmBackup))
        return;

    if (!QueryFreeSpace()) {
        m_view.Message(kMsgServerBusy);
        return;
    }

    // Packing keeps the window alive: from here on it counts as a transfer, so that the window
    // cannot be closed and no other command starts until the worker (or this command) ends.
    CTransferClaim claim;
    int nPacked = PackSelectedFolders();
    if (nPacked < 0) {
        m_view.Message(kMsgPackFailed);
        DeleteTempArchives(m_strCommandFolder, "All");
        return;
    }
    if (nPacked == 0) {
        m_view.Message(kMsgNothingToUpload);
        return;
    }

    int nFits = CheckUploadSize();
    if (nFits < 0) {
        m_view.Message(kMsgSizeUnreadable);
        DeleteTempArchives(m_strCommandFolder, "All");
        return;
    }
    if (nFits == 0) {
        DeleteTempArchives(m_strCommandFolder, "All");
        return;
    }

    uint8_t nMask = 0;
    if (m_nSelFonts)
        nMask |= kBackupCategories[3].nMask;
    if (m_nSelInterface)
        nMask |= kBackupCategories[0].nMask;
    if (m_nSelWdb)
        nMask |= kBackupCategories[2].nMask;
    if (m_nSelWtf)
        nMask |= kBackupCategories[1].nMask;
    if (StartUpload(nMask))
        claim.Release();
    else
        m_view.Message(kMsgWorkerFailed);
}

int CMainLogic::CheckUploadSize() {
    const int* flags[kBackupCategoryCount] = {&m_nSelInterface, &m_nSelWtf, &m_nSelWdb,
                                              &m_nSelFonts};
    // Summed in 64 bits: a 32-bit sum wraps past 4 GB and would let any size through.
    uint64_t nTotal = 0;
    for (int i = 0; i < kBackupCategoryCount; ++i) {
        if (!*flags[i])
            continue;
        struct stat st {};
        if (stat(TempArchivePath(m_strCommandFolder, kBackupCategories[i].szWord).c_str(), &st) !=
            0)
            return -1;
        nTotal += static_cast<uint64_t>(st.st_size);
    }
    int32_t nLimit = m_settings.m_nMaxUploadLimit;
    if (nTotal > static_cast<uint64_t>(std::max<int32_t>(nLimit, 0))) {
        m_view.Message(OverLimitMessage(nTotal, nLimit));
        return 0;
    }
    return 1;
}

int CMainLogic::StartUpload(uint8_t nMask) {
    auto pThread =
        std::make_unique<CUploadThread>(*this, nMask, m_strCommandFolder, m_settings.GetId());
    // Set before the worker runs, so that its clearing always comes after.
    g_bTransferBusy = true;
    try {
        RunWorker([pWorker = std::move(pThread)]() { pWorker->InitInstance(); });
    } catch (const std::system_error&) {
        g_bTransferBusy = false;
        return 0;
    }
    return 1;
}

int CMainLogic::PackSelectedFolders() {
    int* flags[kBackupCategoryCount] = {&m_nSelInterface, &m_nSelWtf, &m_nSelWdb, &m_nSelFonts};
    int nCount = 0;
    for (int i = 0; i < kBackupCategoryCount; ++i) {
        if (!*flags[i])
            continue;
        const SBackupCategory& category = kBackupCategories[i];
        int nResult = PackFolder(m_view, m_strCommandFolder, category.szWord, category.szFolder);
        if (nResult < 0)
            return nResult;
        if (nResult == 0) {
            DeleteTempArchives(m_strCommandFolder, category.szWord);
            *flags[i] = 0;
        }
        nCount += nResult;
    }
    return nCount;
}
