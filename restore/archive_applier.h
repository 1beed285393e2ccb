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
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/categories.h"

// The order in which every loop of a restore visits the categories.
inline constexpr ECategory kRestoreOrder[4] = {ECategory::Fonts, ECategory::Interface,
                                               ECategory::Wdb, ECategory::Wtf};

class CArchiveApplier {
public:
    // strGameFolder: the game folder as the command took it (ends with the separator);
    // nMask: the categories whose archives lie in Ralum/Temp.
    CArchiveApplier(std::string strGameFolder, uint8_t nMask);

    // Extracts every selected archive, takes the missing Original copies, then swaps the new
    // folders in and the old ones to their Recent copies. 0 on success; -1 when anything
    // failed, in which case the game folder holds what it held before (Original copies taken
    // meanwhile stay: they are true copies of the folders as found).
    int ApplyAll();

    // Copies every category folder that has no Original copy yet to Ralum/Original (all four
    // categories, whatever the mask; a missing folder gets its copy at a later restore).
    // 0, or -1 when a copy could not be made.
    int KeepOriginals();

    // Extracts the archive of eCategory into its staging folder, checking it on the way.
    // True when every entry was extracted whole; false (staging removed) otherwise.
    bool ExtractArchive(ECategory eCategory);

    // What went wrong, for the record (the member sees the fixed apply-failure message).
    const std::string& LastError() const { return m_strError; }

private:
    enum class EMoved { None, Renamed, Copied };
    struct SSlot {
        ECategory eCategory;
        std::string strTarget;     // the category folder in the game folder
        std::string strStageRoot;  // beside the target: archives are extracted under it
        std::string strStaged;     // the new category folder inside the stage root
        std::string strAside;      // beside the target: the old folder after a copying move
        std::string strRecent;     // Ralum/Recent/<word>
        std::string strRecentOld;  // beside it: the previous Recent copy until success
        std::string strCreated;    // the first folder this apply created above the target
        bool bRecentAside = false;
        EMoved eMoved = EMoved::None;
        bool bStagedIn = false;
    };

    bool PreparePaths();
    SSlot* FindSlot(ECategory eCategory);
    bool SwapIn(SSlot& slot);
    void RollBack();
    void DiscardStaging();
    void FinishAll();
    bool Fail(const std::string& strWhat);

    std::string m_strGameFolder;
    uint8_t m_nMask;
    std::vector<SSlot> m_vecSlots;  // the selected categories, in restore order
    std::string m_strError;
};

// True when the entry name (memory form) lies inside the relative folder strFolder ('/'
// separated): a file must lie below it, a folder entry may also be one of its parents.
bool IsEntryInFolder(const std::string& strName, bool bDirectory, const std::string& strFolder);
