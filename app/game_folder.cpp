#include "app/game_folder.h"

#include <cstring>
#include <vector>

#include "app/app_messages.h"
#include "app/categories.h"
#include "app/settings.h"
#include "app/split_text.h"
#include "app/view.h"
#include "platform/diag_log.h"
#include "platform/file_system.h"
#include "platform/folder_lock.h"
#include "platform/game_process.h"
#include "platform/native_text.h"

CDirMaker::CDirMaker(std::string strPath) : m_strPath(std::move(strPath)) {
    if (kWindowsFileSystem) {
        for (char& c : m_strPath) {
            if (c == '\\')
                c = '/';
        }
    }
}

int CDirMaker::MakeParents() const {
    if (m_strPath.size() >= kDirMakerBuffer)
        return 0;  // refused, never cut
    const char* szPath = m_strPath.c_str();
    int nCount = SplitText(szPath, "/", 0, nullptr, 0);
    if (nCount <= 1)
        return 1;

    std::string strPrefix;
    bool bFirst = true;
    for (int i = 0; i < nCount - 1; ++i) {
        char szPiece[kDirMakerBuffer] = {};
        SplitText(szPath, "/", i, szPiece, sizeof(szPiece));
        // "." and ".." name folders that exist; they stay in the prefix so that a relative
        // path keeps its meaning, and are never created.
        if (!strPrefix.empty())
            strPrefix += '/';
        strPrefix += szPiece;
        if (bFirst && m_strPath[0] == '/') {
            // An absolute path starts at the root (of the current drive on Windows).
            strPrefix = AtCurrentRoot(strPrefix);
            if (strPrefix.empty())
                return 0;
        }
        bFirst = false;
        // A file in the way is a failure, not a folder that exists.
        const int nKind = PathKind(strPrefix);
        if (nKind != 0 ? nKind != -1 : !MakeFolder(strPrefix))
            return 0;
    }
    return 1;
}

int CSettings::CreateWorkingFolders() {
    // All four paths must fit the folder maker's buffer; the longest decides, before anything
    // is made.
    std::string strLongest = std::string(m_szGameFolder) + kRalumOriginal + kNativeSep + "NONEED";
    if (strLongest.size() >= kDirMakerBuffer)
        return 0;
    for (const char* szRelative : {kRalum, kRalumOriginal, kRalumRecent, kRalumTemp}) {
        std::string strPath = m_szGameFolder;
        strPath += szRelative;
        strPath += kNativeSep;
        strPath += "NONEED";  // never made: MakeParents stops before the last component
        if (strPath.size() >= static_cast<size_t>(kMaxPath))
            return 0;
        if (CDirMaker(strPath).MakeParents() == 0)
            return 0;
    }
    return 1;
}

EGameFolder CheckGameFolder(std::string_view folder) {
    if (folder.empty() || !PathFromUtf8(folder).is_absolute())
        return EGameFolder::Missing;
    // The folder maker's buffer holds the deepest working folder with its placeholder.
    if (folder.size() + std::strlen(kRalumOriginal) + std::strlen(ZAV_SEP "NONEED") >=
        kDirMakerBuffer)
        return EGameFolder::TooLong;
    for (const SCategory& category : kCategories) {
        for (const char* szRelative : {category.szGameFolder, category.szArchivePath,
                                       category.szRecent, category.szOriginal}) {
            if (!GamePath(folder, szRelative))
                return EGameFolder::TooLong;
        }
    }
    return EGameFolder::Usable;
}

std::optional<CGameFolder> CGameFolder::From(std::string_view text, EGameFolder* pWhy) {
    std::string strFolder = WithFinalSeparator(std::string(text));
    const EGameFolder eState = CheckGameFolder(strFolder);
    if (pWhy != nullptr)
        *pWhy = eState;
    if (eState != EGameFolder::Usable)
        return std::nullopt;
    return CGameFolder(std::move(strFolder));
}

std::string CGameFolder::CategoryFolder(ECategory eCategory) const {
    return m_strFolder + GetCategory(eCategory).szGameFolder;
}

std::string CGameFolder::Archive(ECategory eCategory) const {
    return m_strFolder + GetCategory(eCategory).szArchivePath;
}

std::string CGameFolder::Recent(ECategory eCategory) const {
    return m_strFolder + GetCategory(eCategory).szRecent;
}

std::string CGameFolder::Original(ECategory eCategory) const {
    return m_strFolder + GetCategory(eCategory).szOriginal;
}

bool RefuseWhileGameRuns(IMessageView& view, const std::string& strFolder, const char* szCommand) {
    const std::vector<SGameProcess> vecClients = FindGameClients(strFolder);
    if (vecClients.empty())
        return false;
    DiagLog(std::string(szCommand) + ": refused, " + vecClients.front().strName + " (process " +
            std::to_string(vecClients.front().nPid) + ") runs from " + strFolder);
    view.Message(kMsgGameRunning);
    return true;
}

bool TakeGameFolderLock(IMessageView& view, const std::string& strFolder, CFolderLock& lock,
                        const char* szCommand) {
    const auto path = GamePath(strFolder, kRalumLock);
    CFolderLock::EResult eResult = CFolderLock::EResult::Failed;
    if (path) {
        std::error_code ec;
        MakeFolders(strFolder + kRalum, ec);
        eResult = lock.TryLock(*path);
    }
    if (eResult == CFolderLock::EResult::Taken)
        return true;
    if (eResult == CFolderLock::EResult::Held) {
        DiagLog(std::string(szCommand) + ": refused, another window holds " + *path);
        view.Message(kMsgFolderInUse);
    } else {
        DiagLog(std::string(szCommand) + ": refused, cannot lock " + strFolder + kRalumLock + ": " +
                lock.ErrorText());
        view.Message(kMsgFolderLockFailed);
    }
    return false;
}

std::string WithFinalSeparator(std::string strFolder) {
    // '/' ends a folder on Windows too.
    if (!strFolder.empty() && strFolder.back() != kNativeSep && strFolder.back() != '/')
        strFolder += kNativeSep;
    return strFolder;
}

int CSettings::FindGameFolder(IMessageView& view) {
    char szFolder[kMaxPath] = {};
    const bool bFound =
        RegReadString(kInstallPathValue, szFolder, sizeof(szFolder), ERegRoot::LocalMachine) > 0;
    EGameFolder eState = EGameFolder::Missing;
    const std::optional<CGameFolder> folder =
        bFound ? CGameFolder::From(szFolder, &eState) : std::nullopt;
    if (eState == EGameFolder::TooLong) {
        view.Message(kMsgGameFolderTooLong);
        return 0;
    }
    // A relative value would put every path under wherever the process happens to run.
    if (!folder || !SetGameFolder(*folder)) {
        view.Message(kMsgGameFolderNotFound);
        return 0;
    }
    CreateWorkingFolders();
    return 1;
}
