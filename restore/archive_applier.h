// Applying downloaded archives to the game folder.
//
// A restore replaces each chosen category folder by the content of its archive and keeps two
// copies under Ralum: the Original copy (the folder as the first restore found it, taken once
// for all four categories) and the Recent copy (the folder as it was just before the latest
// restore of that category).
//
// Nothing in the game folder changes until every archive of the restore has been extracted
// and checked: each archive is extracted into a staging folder beside its target (same file
// system), every entry read to its end with its CRC checked, every name required to stay
// inside the category's folder. Only then are the folders swapped by renames, and a failure
// in the swap puts every folder back. So a bad archive, a full disk or a folder that cannot be
// written leaves the game folder as it was.
//
// The names tell how far an apply got, so that one cut off by a crash or a power loss is found
// and finished by the next restore or start (Recover):
//   <parent>/.zav-stage-<word>   archives being extracted: nothing has been swapped yet
//   <parent>/.zav-ready-<word>   every archive checked and every Original copy taken: the
//                                swaps may have begun and are finished from here
//   Ralum/Recent/.zav-old-<word> the previous Recent copy, until the new one stands
//   <parent>/.zav-old-<word>     the old folder, when Recent lies on another file system and
//                                the folder was copied there
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/categories.h"

// The order in which every loop of a restore visits the categories.
inline constexpr ECategory kRestoreOrder[4] = {ECategory::Fonts, ECategory::Interface,
                                               ECategory::Wdb, ECategory::Wtf};

// What Recover found.
enum class ERecovery {
    Nothing,     // no apply was cut off (leftover staging folders are removed silently)
    Finished,    // an apply cut off during its swaps was finished
    RolledBack,  // a category whose new folder was lost was put back as it was
    Failed,      // a step could not be done; the names stay for the next attempt
};

// Told at start when an interrupted apply was finished or put back.
inline constexpr const char* kMsgApplyResumed = "지난번에 중단된 설정 적용을 마무리하였습니다.";
inline constexpr const char* kMsgApplyRolledBack =
    "지난번에 중단된 설정 적용을 취소하고 이전 설정으로 되돌렸습니다.";
inline constexpr const char* kMsgApplyNotRecovered =
    "지난번에 중단된 설정 적용을 마무리하지 못하였습니다.\n\n반복적인 경우 담당자에게 문의하세요.";

class IMessageView;

// What a restore changed in one category folder, counted by file names (contents are not
// read): files only in the new folder, in both, and only in the old one.
struct SCategoryChange {
    ECategory eCategory;
    int nAdded = 0;
    int nReplaced = 0;
    int nRemoved = 0;
};

class CArchiveApplier {
public:
    // strGameFolder: the game folder as the command took it (ends with the separator);
    // nMask: the categories whose archives lie in Ralum/Temp.
    CArchiveApplier(std::string strGameFolder, uint8_t nMask);

    // Finishes an interrupted apply first (Recover), then extracts every selected archive,
    // takes the missing Original copies, then swaps the new folders in and the old ones to
    // their Recent copies. 0 on success; -1 when anything failed, in which case the game folder
    // holds what it held before (Original copies taken meanwhile stay: they are true copies of
    // the folders as found).
    // The folders the swap replaced (each previous Recent copy, and an old folder set aside when
    // Recent lies on another file system) are removed before it returns, or with Keep left for
    // the caller to remove (ReplacedFolders): removing a Recent copy of tens of thousands of
    // files takes as long as the extraction, and the member need not wait for it. Until they
    // are removed, Recover recognises them and removes them.
    enum class EReplaced { Remove, Keep };
    int ApplyAll(EReplaced eReplaced = EReplaced::Remove);
    // After ApplyAll(EReplaced::Keep) succeeded: the folders it left, for DeleteFolder. Nothing
    // else may touch the game folder's restore folders until they are gone.
    std::vector<std::string> ReplacedFolders() const;

    // Finds an apply that was cut off (by the names above, for all four categories, whatever
    // the mask) and finishes it, or puts back a category that cannot be finished. Never
    // deletes the folder that stands in Recent.
    ERecovery Recover();

    // Copies every category folder that has no Original copy yet to Ralum/Original (all four
    // categories, whatever the mask; a missing folder gets its copy at a later restore).
    // 0, or -1 when the copy of a category being restored could not be made; a failed copy of
    // another category is tried again at a later restore.
    int KeepOriginals();

    // Extracts the archive of eCategory into its staging folder, checking it on the way.
    // True when every entry was extracted whole; false (staging removed) otherwise.
    bool ExtractArchive(ECategory eCategory);

    // What went wrong, for the record (the member sees the fixed apply-failure message).
    const std::string& LastError() const { return m_strError; }
    // After a successful ApplyAll: the change of each restored category, in restore order.
    const std::vector<SCategoryChange>& Changes() const { return m_vecChanges; }

private:
    enum class EMoved { None, Renamed, Copied };
    struct SSlot {
        ECategory eCategory;
        std::string strTarget;     // the category folder in the game folder
        std::string strStageRoot;  // beside the target: archives are extracted under it
        std::string strReadyRoot;  // the stage root once everything is checked
        std::string strReady;      // the new category folder inside the ready root
        std::string strAside;      // beside the target: the old folder after a copying move
        std::string strRecent;     // Ralum/Recent/<word>
        std::string strRecentOld;  // beside it: the previous Recent copy until success
        std::string strCreated;    // the first folder this apply created above the target
        bool bRecentAside = false;
        EMoved eMoved = EMoved::None;
        bool bStagedIn = false;
    };

    bool PreparePaths(uint8_t nMask);
    SSlot* FindSlot(ECategory eCategory);
    bool SwapIn(SSlot& slot);
    // Takes a slot whose ready folder exists from wherever its swap stopped to the end.
    bool ResumeSwap(SSlot& slot);
    // Deletes what a finished slot no longer needs, or puts back what it cannot finish.
    bool SettleSlot(SSlot& slot, bool& bRolledBack);
    void RollBack();
    void DiscardStaging();
    bool Fail(const std::string& strWhat);

    std::string m_strGameFolder;
    uint8_t m_nMask;
    std::vector<SSlot> m_vecSlots;  // the selected categories, in restore order
    std::vector<SCategoryChange> m_vecChanges;
    std::string m_strError;
};

// Runs Recover on the game folder when the window opens and tells the member when an apply
// was finished, put back, or could not be settled. Nothing is shown when nothing was found.
ERecovery RecoverInterruptedApply(IMessageView& view, const std::string& strGameFolder);

// True when the entry name (memory form) lies inside the relative folder strFolder ('/'
// separated): a file must lie below it, a folder entry may also be one of its parents.
bool IsEntryInFolder(const std::string& strName, bool bDirectory, const std::string& strFolder);
