// The game-folder controls of the main window: the folder picker button, the automatic/manual
// radios and the manual path, and the folder every command takes when it starts.
#include <array>

#include "app/app_messages.h"
#include "app/categories.h"
#include "app/game_folder.h"
#include "app/main_logic.h"

bool CMainLogic::UseGameFolder(const std::string& strPath) {
    const std::string strFolder = WithFinalSeparator(strPath);
    switch (CheckGameFolder(strFolder)) {
        case EGameFolder::TooLong:
            m_view.Message(kMsgGameFolderTooLong);
            return false;
        case EGameFolder::Missing:
            return false;
        case EGameFolder::Usable:
            break;
    }
    m_settings.SetGameFolder(strFolder);
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
        m_view.Message("선택하신 경로를 저장하지 못하였습니다.");
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
        m_view.Message(
            "World of Warcraft 설치 경로를 찾을 수 없습니다.\n\n와우 디렉토리를 수동으로 "
            "선택하시기 바랍니다.");
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

std::string CMainLogic::TakeShownGameFolder() {
    const std::string strFolder = WithFinalSeparator(GetGamePathText());
    switch (CheckGameFolder(strFolder)) {
        case EGameFolder::Missing:
            m_view.Message(kMsgNoGameFolder);
            return {};
        case EGameFolder::TooLong:
            m_view.Message(kMsgGameFolderTooLong);
            return {};
        case EGameFolder::Usable:
            break;
    }
    if (strFolder != m_settings.GetGameFolder()) {
        m_settings.SetGameFolder(strFolder);
        m_settings.CreateWorkingFolders();
        if (!m_view.IsChecked(IDC_MODE_AUTO))
            m_view.SetText(IDC_MANUAL_PATH, strFolder);
    }
    return strFolder;
}
