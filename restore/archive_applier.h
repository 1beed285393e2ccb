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
// inside the category's folder, and the extracted files flushed to the disk. Only then are the
// folders swapped by renames, and a failure in the swap puts every folder back. So a bad
// archive, a full disk or a folder that cannot be written leaves the game folder as it was.
//
// Every step is written to a journal (restore/apply_journal.h, Ralum/zav-apply.journal) and
// flushed before it is taken, so that an apply cut off by a crash or a power cut is finished,
// or put back, by the next restore or start (Recover), which follows the journal and never
// infers a step from the folders it finds. The names an apply uses carry its own id, so that
// a folder one apply left (one that could not be removed) never stands in another's way:
//   <parent>/.zav-stage-<word>-<id>    the archive extracted, until it is moved in
//   Ralum/Recent/.zav-old-<word>-<id>  the previous Recent copy, until the new one stands
//   <parent>/.zav-old-<word>-<id>      the old folder, when Recent lies on another file system
//                                      and the folder was copied there
// A folder found where a step is to put one (the game made a new WTF after a crash) is never
// deleted: it is moved to Ralum/Kept/<yyyymmdd-hhmmss>/ and named to the member.
//
// The caller holds the game folder's lock (TakeGameFolderLock) for as long as it applies.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/categories.h"
#include "restore/restore_messages.h"

class CApplyJournal;

// The journal of the apply, relative to the game folder.
inline constexpr const char* kRalumJournal = "Ralum" ZAV_SEP "zav-apply.journal";
// Where folders that an apply found in its way are kept, relative to the game folder.
inline constexpr const char* kRalumKept = "Ralum" ZAV_SEP "Kept";

// What Recover found.
enum class ERecovery {
    Nothing,     // no apply was cut off during its swaps (one cut off earlier is discarded)
    Finished,    // an apply cut off during its swaps was finished
    RolledBack,  // an apply that was being put back was put back
    Failed,      // a step could not be done; the journal stays for the next attempt
    Deferred,    // not tried: the game runs from the folder, or another window holds it
};

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
    ~CArchiveApplier();
    CArchiveApplier(const CArchiveApplier&) = delete;
    CArchiveApplier& operator=(const CArchiveApplier&) = delete;

    // Finishes an interrupted apply first (Recover), then extracts every selected archive,
    // takes the missing Original copies, then swaps the new folders in and the old ones to
    // their Recent copies. 0 on success; -1 when anything failed, in which case the game folder
    // holds what it held before (Original copies taken meanwhile stay: they are true copies of
    // the folders as found).
    // The folders the swap replaced (each previous Recent copy, and an old folder set aside when
    // Recent lies on another file system) are removed before it returns, or with Keep left for
    // RemoveReplaced: removing a Recent copy of tens of thousands of files takes as long as the
    // extraction, and the member need not wait for it. Until they are removed the journal names
    // them, and Recover removes them.
    enum class EReplaced { Remove, Keep };
    int ApplyAll(EReplaced eReplaced = EReplaced::Remove);
    // After ApplyAll(EReplaced::Keep) succeeded: the folders it left.
    std::vector<std::string> ReplacedFolders() const;
    // Removes them and ends the journal. One that cannot be removed is left where it is and
    // named by LeftFolders: its name is the apply's own, so it is in nobody's way.
    void RemoveReplaced();

    // Follows the journal of an apply that was cut off: one cut off before its swaps is
    // discarded (its staging folders go), one cut off during them is finished (or, when a
    // step cannot be done, put back), one being put back is put back, and the folders a
    // finished one replaced are removed. Nothing when there is no journal.
    ERecovery Recover();

    // Copies every category folder that has no Original copy yet to Ralum/Original (all four
    // categories, whatever the mask; a missing folder gets its copy at a later restore).
    // 0, or -1 when the copy of a category being restored could not be made; a failed copy of
    // another category is tried again at a later restore.
    int KeepOriginals();

    // What went wrong, for the record (the member sees the fixed apply-failure message).
    const std::string& LastError() const { return m_strError; }
    // After a failed ApplyAll: the archives declare more than the game folder's disk holds.
    bool LackedRoom() const { return m_bNoRoom; }
    // After a successful ApplyAll: the change of each restored category, in restore order.
    const std::vector<SCategoryChange>& Changes() const { return m_vecChanges; }
    // Folders found where a step was to put one, and where they are now (ApplyAll and Recover).
    const std::vector<std::pair<std::string, std::string>>& KeptFolders() const {
        return m_vecKept;
    }
    // Replaced folders that could not be removed (ApplyAll, RemoveReplaced, Recover).
    const std::vector<std::string>& LeftFolders() const { return m_vecLeft; }

    // For tests: fnCut runs at every point where a crash would leave another state (after
    // each journal record is on the disk, and after each step it records); throwing from it
    // stops the apply there as a crash would, leaving what a crash leaves.
    void SetCutHook(std::function<void(int)> fnCut) { m_fnCut = std::move(fnCut); }

private:
    struct SSlot {
        ECategory eCategory;
        std::string strTarget;             // the category folder in the game folder
        std::string strStageRoot;          // beside the target: its archive is extracted under it
        std::string strStaged;             // the new category folder inside the stage root
        std::string strAside;              // beside the target: the old folder after a copying move
        std::string strRecent;             // Ralum/Recent/<word>
        std::string strRecentOld;          // beside it: the previous Recent copy until success
        std::vector<std::string> vecMade;  // folders above the target this apply makes
    };
    enum class EStepKind { Rename, Move };
    enum class EStepState { Planned, Begun, Copying, Done, Undoing, Undone };
    struct SStep {
        EStepKind eKind = EStepKind::Rename;
        std::string strFrom, strTo;
        std::string strAside;   // Move: where the source goes once copied to another file system
        std::string strRemove;  // what goes once every step is done ("" for nothing)
        EStepState eState = EStepState::Planned;
        bool bCopied = false;  // Move: done by copying
    };

    bool PreparePaths();
    bool CheckRoom();
    bool ExtractArchive(const SSlot& slot);
    void PlanSteps();
    bool Journal(const std::vector<std::string>& record);
    void Cut();
    bool RunStep(size_t nStep);
    bool UndoStep(size_t nStep);
    bool UndoAll();
    // Moves whatever stands at strPath to Ralum/Kept, so that a step can put its folder there.
    bool KeepAside(const std::string& strPath);
    // Removes the staging folders, half-made copies and made folders of a discarded apply, and
    // its journal.
    bool Discard();
    void RemoveFolders(bool bReplacedToo);
    bool EndJournal();
    bool LoadJournal(const std::vector<std::vector<std::string>>& records);
    std::string Relative(const std::string& strPath) const;
    std::string Absolute(const std::string& strRelative) const;
    bool Fail(const std::string& strWhat);

    std::string m_strGameFolder;
    uint8_t m_nMask;
    std::string m_strId;            // the apply's id, in every name it uses
    std::vector<SSlot> m_vecSlots;  // the selected categories, in restore order
    std::vector<SStep> m_vecSteps;  // the swaps, once every archive is checked
    std::vector<std::string> m_vecStageRoots, m_vecMade, m_vecOriginals;
    bool m_bReady = false;      // every step is planned (and recorded)
    bool m_bCommitted = false;  // every step is done
    bool m_bUndo = false;       // the steps are being put back
    bool m_bNoRoom = false;     // refused for want of room
    std::unique_ptr<CApplyJournal> m_pJournal;
    std::vector<SCategoryChange> m_vecChanges;
    std::vector<std::pair<std::string, std::string>> m_vecKept;
    std::vector<std::string> m_vecLeft;
    std::string m_strError;
    std::function<void(int)> m_fnCut;
    int m_nCutPoint = 0;
};

// Runs Recover on the game folder when the window opens, holding the game folder's lock and
// only while the game does not run from it, and tells the member when an apply was finished,
// put back, could not be settled, or has to wait. Nothing is shown when nothing was found.
ERecovery RecoverInterruptedApply(IMessageView& view, const std::string& strGameFolder);

// The member's note on folders an apply kept or left ("" when there are none).
std::string KeptAndLeftNote(const CArchiveApplier& applier);

// True when the entry name (memory form) lies inside the relative folder strFolder ('/'
// separated): a file must lie below it, a folder entry may also be one of its parents.
bool IsEntryInFolder(const std::string& strName, bool bDirectory, const std::string& strFolder);
