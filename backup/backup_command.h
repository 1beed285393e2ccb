// The backup button: checks, confirmation, the server's consent, packaging, the size check,
// and the upload worker.
#pragma once

#include <cstdint>
#include <string>

#include "app/main_logic.h"

class CSettings;
class IMainView;

class CBackupCommand {
public:
    // window: the main window's state (its view, settings, account, progress and worker).
    explicit CBackupCommand(CMainLogic& window);

    void OnBackup();

    // The steps, each on the game folder the command took. nMask is a category mask.
    // Packs every chosen category in upload order; clears the bit of a category that yields
    // no file (its archive deleted). The number of categories packed, or the negative code of
    // the packing step that failed (the later categories are not packed).
    int PackSelectedFolders(const std::string& strFolder, uint8_t& nMask);
    // 1 when the chosen archives fit the upload limit, 0 when not (message shown), -1 when an
    // archive's size cannot be read.
    int CheckUploadSize(const std::string& strFolder, uint8_t nMask);
    // Starts the upload worker, handing it the claim (the transfer slot and the game folder's
    // lock, held until the upload ends); 1, or 0 when the thread cannot start.
    int StartUpload(CTransferClaim claim, const std::string& strFolder, uint8_t nMask);

private:
    CMainLogic& m_window;
    IMainView& m_view;
    CSettings& m_settings;
};
