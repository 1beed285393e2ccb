// The game-folder controls of the main window: the folder picker button, the automatic/manual
// radios and the manual path, and the folder every command takes when it starts.
#include <array>

#include "app/app_messages.h"
#include "app/categories.h"
#include "app/game_folder.h"
#include "app/main_logic.h"

bool CMainLogic::UseGameFolder(const std::string& strPath) {
    EGameFolder eState = EGameFolder::Missing;
    const std::optional<CGameFolder> folder = CGameFolder::From(strPath, &eState);
    if (eState == EGameFolder::TooLong)
        m_view.Message(kMsgGameFolderTooLong);
    if (!folder)
        return false;
    m_settings.SetGameFolder(*folder);
    m_settings.CreateWorkingFolders();
    return true;
}

void CMainLogic::OnBrowseFolder() {
    SFolderPick pick = m_view.PickFolder();
    if (pick.eKind != SFolderPick::Path || pick.strPath.empty())
        return;

    const std::string strPath = WithFinalSeparator(pick.strPath);
    if (!UseGameFolder(strPath))
        return;

    if (RegWriteString(kInstallPathValue, strPath.c_str(), ERegRoot::LocalMachine) == 0) {
        m_view.Message(kMsgPathNotSaved);
    }
    m_view.SetChecked(IDC_MODE_AUTO, false);
    m_view.SetChecked(IDC_MODE_MANUAL, true);
    m_view.SetText(IDC_MANUAL_PATH, strPath);
}

void CMainLogic::OnGameFolderMode() {
    std::string strPath;
    const bool bAuto = m_view.IsChecked(IDC_MODE_AUTO);
    if (bAuto) {
        std::array<char, kMaxPath> szValue{};
        if (RegReadString(kInstallPathValue, szValue.data(), static_cast<int>(szValue.size()),
                          ERegRoot::LocalMachine) > 0) {
            strPath = WithFinalSeparator(szValue.data());
        }
        m_view.SetText(IDC_REGISTRY_PATH, strPath);
    } else {
        strPath = m_view.GetText(IDC_MANUAL_PATH);
    }

    // The field shows the folder as it is used, with its final separator.
    if (!strPath.empty() && UseGameFolder(strPath) && !bAuto)
        m_view.SetText(IDC_MANUAL_PATH, m_settings.GetGameFolder());

    if (bAuto && strPath.empty()) {
        m_view.Message(kMsgGameFolderNotFoundForAuto);
        m_view.SetChecked(IDC_MODE_AUTO, false);
        m_view.SetChecked(IDC_MODE_MANUAL, true);
    }
}

void CMainLogic::OnManualPathEdited() {
    if (!m_view.IsChecked(IDC_MODE_AUTO))
        OnGameFolderMode();
}

std::string CMainLogic::GetGamePathText() {
    return m_view.GetText(m_view.IsChecked(IDC_MODE_AUTO) ? IDC_REGISTRY_PATH : IDC_MANUAL_PATH);
}

std::optional<CGameFolder> CMainLogic::TakeShownGameFolder() {
    EGameFolder eState = EGameFolder::Missing;
    std::optional<CGameFolder> folder = CGameFolder::From(GetGamePathText(), &eState);
    if (!folder) {
        m_view.Message(eState == EGameFolder::TooLong ? kMsgGameFolderTooLong : kMsgNoGameFolder);
        return std::nullopt;
    }
    if (folder->Text() != m_settings.GetGameFolder()) {
        m_settings.SetGameFolder(*folder);
        m_settings.CreateWorkingFolders();
        if (!m_view.IsChecked(IDC_MODE_AUTO))
            m_view.SetText(IDC_MANUAL_PATH, *folder);
    }
    return folder;
}
