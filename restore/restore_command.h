// The restore button: checks, confirmation and the download worker; and, when the window
// opens, settling a restore that a crash or a power loss cut off.
#pragma once

#include <cstdint>
#include <string>

#include "app/main_logic.h"

class IMainView;

class CRestoreCommand {
public:
    // window: the main window's state (its view, settings, account, progress and worker).
    explicit CRestoreCommand(CMainLogic& window);

    void OnRestore();
    // Starts the download worker for the categories of nMask on strFolder, with the server's
    // archive sizes of the last account status and the claim (the transfer slot and the
    // folder's lock, held until the worker ends); 1, or 0 after telling the member.
    int StartDownload(CTransferClaim claim, const std::string& strFolder, uint8_t nMask);
    // When the window has found its game folder: finishes or puts back an interrupted apply.
    void OnWindowOpened();

private:
    CMainLogic& m_window;
    IMainView& m_view;
};
