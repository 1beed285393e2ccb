#include "backup/backup_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <utility>

#include "app/categories.h"
#include "app/command_start.h"
#include "app/game_folder.h"
#include "app/main_logic.h"
#include "app/saved_variables_check.h"
#include "backup/backup_messages.h"
#include "backup/folder_packer.h"
#include "backup/free_space.h"
#include "backup/upload_thread.h"
#include "platform/diag_log.h"
#include "platform/game_process.h"
#include "platform/native_text.h"

std::string OverLimitMessage(uint64_t nTotal, int32_t nLimit) {
    char szText[256];
    std::snprintf(szText, sizeof szText, kFmtOverLimit, static_cast<double>(nTotal) * 0.000001,
                  nLimit / 1000000);
    return szText;
}

CBackupCommand::CBackupCommand(CMainLogic& window)
    : m_window(window), m_view(window.View()), m_settings(window.Settings()) {}

void CBackupCommand::OnBackup() {
    CCommandStart start(m_window, SCommandNeeds::Transfer(ECheckGroup::Backup, kMsgNothingChosen));
    if (!start)
        return;
    const std::string& strFolder = start.GameFolder();
    uint8_t nMask = start.Categories();

    // A backup taken while the game runs may hold half-written files: the member decides.
    if (!FindGameClients(strFolder).empty() && !m_view.ConfirmDefaultNo(kAskBackupWhileRunning)) {
        DiagLog("backup: not taken while the game runs");
        return;
    }

    if (!m_view.Confirm(kMsgConfirmBackup))
        return;

    // A SavedVariables file a crash left empty or cut off would replace the good copy on the
    // server: the member is asked first.
    if ((nMask & kMaskWtf) != 0) {
        const std::vector<SDamagedFile> vecDamaged = FindDamagedSavedVariables(strFolder);
        if (!vecDamaged.empty() && !m_view.ConfirmDefaultNo(DamagedFilesQuestion(vecDamaged))) {
            DiagLog("backup: not taken, " + std::to_string(vecDamaged.size()) +
                    " damaged SavedVariables, the first " + vecDamaged.front().strPath);
            return;
        }
    }

    if (!QueryFreeSpace(m_settings.m_endpoints)) {
        DiagLog("backup: the server does not take uploads now");
        m_view.Message(kMsgServerBusy);
        return;
    }

    // Packing keeps the window alive: from here on it counts as a transfer, so that the window
    // cannot be closed and no other command starts until the worker (or this command) ends. The
    // game folder's lock goes with it, from the packing until the upload has ended: no other
    // window restores into the folder or its temporary archives meanwhile.
    CTransferClaim claim = start.Claim("backup");
    if (!claim)
        return;
    DiagLog("backup: packing categories " + std::to_string(nMask) + " of " + strFolder);
    const auto tStart = std::chrono::steady_clock::now();
    const int nPacked = PackSelectedFolders(strFolder, nMask);
    DiagLog("backup: packing gave " + std::to_string(nPacked) + " in " +
            std::to_string(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count()) +
            " s");
    if (nPacked < 0) {
        m_view.Message(kMsgPackFailed);
        DeleteTempArchives(strFolder, kMaskAll);
        return;
    }
    if (nPacked == 0) {
        m_view.Message(kMsgNothingToUpload);
        return;
    }

    const int nFits = CheckUploadSize(strFolder, nMask);
    if (nFits < 0) {
        m_view.Message(kMsgSizeUnreadable);
        DeleteTempArchives(strFolder, kMaskAll);
        return;
    }
    if (nFits == 0) {
        DeleteTempArchives(strFolder, kMaskAll);
        return;
    }

    if (!StartUpload(std::move(claim), strFolder, nMask))
        m_view.Message(kMsgWorkerFailed);
}

int CBackupCommand::CheckUploadSize(const std::string& strFolder, uint8_t nMask) {
    // Summed in 64 bits: a 32-bit sum wraps past 4 GB and would let any size through.
    uint64_t nTotal = 0;
    for (const ECategory eCategory : kUploadOrder) {
        if ((nMask & GetCategory(eCategory).nMask) == 0)
            continue;
        std::error_code ec;
        const auto nSize =
            std::filesystem::file_size(PathFromUtf8(TempArchivePath(strFolder, eCategory)), ec);
        if (ec)
            return -1;
        nTotal += nSize;
    }
    const int32_t nLimit = m_settings.m_nMaxUploadLimit;
    if (nTotal > static_cast<uint64_t>(std::max<int32_t>(nLimit, 0))) {
        m_view.Message(OverLimitMessage(nTotal, nLimit));
        return 0;
    }
    return 1;
}

int CBackupCommand::StartUpload(CTransferClaim claim, const std::string& strFolder, uint8_t nMask) {
    auto pThread = std::make_unique<CUploadThread>(m_window, nMask, strFolder, m_settings.GetId());
    return m_window.RunWorker(std::move(claim),
                              [pWorker = std::move(pThread)] { pWorker->InitInstance(); })
               ? 1
               : 0;
}

int CBackupCommand::PackSelectedFolders(const std::string& strFolder, uint8_t& nMask) {
    int nCount = 0;
    for (const ECategory eCategory : kUploadOrder) {
        const SCategory& category = GetCategory(eCategory);
        if ((nMask & category.nMask) == 0)
            continue;
        const int nResult = PackFolder(m_view, strFolder, eCategory);
        if (nResult < 0)
            return nResult;
        if (nResult == 0) {
            DeleteTempArchives(strFolder, category.nMask);
            nMask = static_cast<uint8_t>(nMask & ~category.nMask);
        }
        nCount += nResult;
    }
    return nCount;
}
