// The start every command of the main window shares: refused while a transfer runs, the wait
// cursor, the game folder the window shows, the categories of its check boxes; and the claim
// of the transfer slot with the game folder's lock, taken when the command is about to change
// something.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/main_logic.h"
#include "app/view.h"

struct SCommandNeeds {
    bool bWaitCursor = true;  // the wait cursor from the start (else ShowWaitCursor later)
    bool bGameFolder = true;  // the folder the window shows (TakeShownGameFolder)
    // The check boxes whose categories the command works on, and what it says when none is
    // chosen; no group: no categories.
    std::optional<ECheckGroup> group;
    const char* szNothingChosen = nullptr;

    // A transfer (backup, restore): all four steps.
    static SCommandNeeds Transfer(ECheckGroup eGroup, const char* szNothingChosen) {
        return {true, true, eGroup, szNothingChosen};
    }
    // A command on the game folder that asks first and shows the wait cursor then.
    static SCommandNeeds FolderAskingFirst() { return {false, true, std::nullopt, nullptr}; }
    // A command on the server only, asking first.
    static SCommandNeeds ServerAskingFirst() { return {false, false, std::nullopt, nullptr}; }
};

class CCommandStart {
public:
    // Runs the steps in that order; each refusal is told to the member and ends the start.
    CCommandStart(CMainLogic& window, const SCommandNeeds& needs);
    CCommandStart(const CCommandStart&) = delete;
    CCommandStart& operator=(const CCommandStart&) = delete;

    // False when the command must not go on.
    explicit operator bool() const { return m_bReady; }
    // The game folder (only when the command needs one).
    const CGameFolder& GameFolder() const { return *m_folder; }
    uint8_t Categories() const { return m_nMask; }
    // The wait cursor from now on, for a command that asks its questions first.
    void ShowWaitCursor();
    // The transfer slot and the game folder's lock; an empty claim after telling the member
    // (a transfer runs, or another window holds the folder). szCommand names it in the log.
    CTransferClaim Claim(const char* szCommand);

private:
    CMainLogic& m_window;
    std::optional<CWaitCursor> m_wait;
    std::optional<CGameFolder> m_folder;
    uint8_t m_nMask = 0;
    bool m_bReady = false;
};
