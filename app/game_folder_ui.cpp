// The game-folder controls of the main window: the folder picker button and the
// automatic/manual radios.
#include <array>

#include "app/categories.h"
#include "app/game_folder.h"
#include "app/main_logic.h"

void CMainLogic::OnBrowseFolder() {
    SFolderPick pick = m_view.PickFolder();
    if (pick.eKind != SFolderPick::Path || pick.strPath.empty())
        return;

    std::string strPath = pick.strPath;
    if (strPath.back() != kNativeSep)
        strPath += kNativeSep;
    // A folder whose path does not fit the path buffers is refused like one without a
    // file-system path: nothing changes.
    if (!m_settings.SetGameFolder(strPath))
        return;
    m_settings.CreateWorkingFolders();

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
            strPath = szValue.data();
        }
        m_view.SetText(IDC_REGISTRY_PATH, strPath);
    } else {
        strPath = m_view.GetText(IDC_MANUAL_PATH);
    }

    if (!strPath.empty() && m_settings.SetGameFolder(strPath)) {
        m_settings.CreateWorkingFolders();
    }

    if (bAuto && strPath.empty()) {
        m_view.Message(
            "World of Warcraft 설치 경로를 찾을 수 없습니다.\n\n와우 디렉토리를 수동으로 "
            "선택하시기 바랍니다.");
        m_view.SetChecked(IDC_MODE_AUTO, false);
        m_view.SetChecked(IDC_MODE_MANUAL, true);
    }
}

std::string CMainLogic::GetGamePathText() {
    return m_view.GetText(m_view.IsChecked(IDC_MODE_AUTO) ? IDC_REGISTRY_PATH : IDC_MANUAL_PATH);
}
