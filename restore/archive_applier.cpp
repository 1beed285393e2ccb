#include "restore/archive_applier.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <random>
#include <system_error>
#include <utility>

#include "platform/diag_log.h"
#include "platform/file_system.h"
#include "platform/native_text.h"
#include "restore/apply_journal.h"
#include "zip/zip_archiver.h"

namespace fs = std::filesystem;

namespace {

// Chunk in which extracted files are written.
constexpr uint32_t kExtractChunk = 65535;

std::vector<std::string> SplitPath(const std::string& strPath) {
    std::vector<std::string> parts;
    std::string strPart;
    auto flush = [&] {
        if (strPart == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!strPart.empty() && strPart != ".") {
            parts.push_back(strPart);
        }
        strPart.clear();
    };
    for (char c : strPath) {
        if (c == '/' || c == '\\')
            flush();
        else
            strPart += c;
    }
    flush();
    return parts;
}

// The files of a tree (links counted as files), by their path relative to it, sorted.
std::vector<std::string> FileNames(const std::string& strRoot) {
    std::vector<std::string> vecNames;
    std::error_code ec;
    const fs::path root = PathFromUtf8(strRoot);
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ecEntry;
        if (!it->is_directory(ecEntry) || it->is_symlink(ecEntry))
            vecNames.push_back(Utf8FromPath(it->path().lexically_relative(root)));
    }
    std::sort(vecNames.begin(), vecNames.end());
    return vecNames;
}

// The folders on the way down to folder that do not exist, outermost first.
std::vector<std::string> MissingFolders(const fs::path& folder) {
    std::vector<std::string> vecMissing;
    for (fs::path p = folder; !p.empty() && !PathExists(Utf8FromPath(p)); p = p.parent_path()) {
        vecMissing.insert(vecMissing.begin(), Utf8FromPath(p));
        if (p == p.parent_path())
            break;
    }
    return vecMissing;
}

// Eight hex digits that no earlier apply of this folder is likely to have used.
std::string NewApplyId() {
    std::random_device device;
    std::mt19937 engine(
        device() ^
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    char szId[9];
    std::snprintf(szId, sizeof szId, "%08x", static_cast<unsigned>(engine()));
    return szId;
}

std::string LeafOf(const std::string& strPath) {
    return Utf8FromPath(PathFromUtf8(strPath).filename());
}

std::string ParentOf(const std::string& strPath) {
    return Utf8FromPath(PathFromUtf8(strPath).parent_path());
}

// Half-built copies of a cut-off CopyFolder to <folder>/<leaf> (".<leaf>.zav-copy<n>").
void DeleteCopyLeftovers(const std::string& strFolder, const std::string& strLeaf) {
    const std::string strPrefix = "." + strLeaf + ".zav-copy";
    std::error_code ec;
    for (fs::directory_iterator it(PathFromUtf8(strFolder), ec), end; !ec && it != end;
         it.increment(ec)) {
        if (Utf8FromPath(it->path().filename()).rfind(strPrefix, 0) == 0)
            DeleteFolder(Utf8FromPath(it->path()));
    }
}

const char* StepKindName(bool bMove) {
    return bMove ? "move" : "rename";
}

}  // namespace

bool IsEntryInFolder(const std::string& strName, bool bDirectory, const std::string& strFolder) {
    const std::vector<std::string> name = SplitPath(StoredName(strName, true));
    const std::vector<std::string> folder = SplitPath(strFolder);
    const size_t nCommon = std::min(name.size(), folder.size());
    for (size_t i = 0; i < nCommon; ++i) {
        if (name[i] != folder[i])
            return false;
    }
    if (name.size() > folder.size())
        return true;
    // The folder itself or one of its parents: harmless as a folder entry, never as a file.
    return bDirectory;
}

CArchiveApplier::CArchiveApplier(std::string strGameFolder, uint8_t nMask)
    : m_strGameFolder(std::move(strGameFolder)), m_nMask(nMask) {}

CArchiveApplier::~CArchiveApplier() = default;

bool CArchiveApplier::Fail(const std::string& strWhat) {
    if (m_strError.empty())
        m_strError = strWhat;
    DiagLog("apply: " + strWhat);
    return false;
}

void CArchiveApplier::Cut() {
    if (m_fnCut)
        m_fnCut(m_nCutPoint++);
}

bool CArchiveApplier::Journal(const std::vector<std::string>& record) {
    if (!m_pJournal->Append(record))
        return Fail(m_pJournal->Error());
    Cut();
    return true;
}

std::string CArchiveApplier::Relative(const std::string& strPath) const {
    return strPath.substr(std::min(strPath.size(), m_strGameFolder.size()));
}

std::string CArchiveApplier::Absolute(const std::string& strRelative) const {
    // The journal is the program's own, but a damaged one must not lead outside the folder.
    const fs::path relative = PathFromUtf8(strRelative);
    if (strRelative.empty() || relative.is_absolute() || relative.has_root_name() ||
        !IsSafeEntryName(strRelative, true))
        return {};
    return m_strGameFolder + strRelative;
}

bool CArchiveApplier::PreparePaths() {
    m_vecSlots.clear();
    for (ECategory eCategory : kRestoreOrder) {
        const SCategory& category = GetCategory(eCategory);
        if ((m_nMask & category.nMask) == 0)
            continue;
        SSlot slot;
        slot.eCategory = eCategory;
        const auto target = CategoryFolderPath(m_strGameFolder, eCategory);
        const auto recent = RecentPath(m_strGameFolder, eCategory);
        const auto archive = ArchivePath(m_strGameFolder, eCategory);
        if (!target || !recent || !archive)
            return Fail("path too long for " + std::string(category.szWord));
        slot.strTarget = *target;
        slot.strRecent = *recent;
        const fs::path parent = PathFromUtf8(slot.strTarget).parent_path();
        const std::string strSuffix = std::string(category.szWord) + "-" + m_strId;
        slot.strStageRoot = Utf8FromPath(parent / (".zav-stage-" + strSuffix));
        slot.strStaged = Utf8FromPath(PathFromUtf8(slot.strStageRoot) / category.szGameFolder);
        slot.strAside = Utf8FromPath(parent / (".zav-old-" + strSuffix));
        slot.strRecentOld =
            Utf8FromPath(PathFromUtf8(slot.strRecent).parent_path() / (".zav-old-" + strSuffix));
        slot.vecMade = MissingFolders(parent);
        m_vecSlots.push_back(std::move(slot));
    }
    return true;
}

int CArchiveApplier::ApplyAll(EReplaced eReplaced) {
    m_strError.clear();
    m_vecKept.clear();
    m_vecLeft.clear();
    m_vecChanges.clear();
    if (Recover() == ERecovery::Failed)
        return -1;

    m_vecSteps.clear();
    m_vecStageRoots.clear();
    m_vecMade.clear();
    m_vecOriginals.clear();
    m_bReady = m_bCommitted = m_bUndo = false;
    m_bNoRoom = false;
    if (!CheckRoom())
        return -1;
    m_strId = NewApplyId();
    const auto journal = GamePath(m_strGameFolder, kRalumJournal);
    if (!journal || !PreparePaths())
        return Fail("path too long for the journal or a category"), -1;
    std::error_code ec;
    MakeFolders(Utf8FromPath(PathFromUtf8(*journal).parent_path()), ec);
    m_pJournal = std::make_unique<CApplyJournal>(*journal);
    if (!m_pJournal->Create({"apply", "1", m_strId})) {
        Fail(m_pJournal->Error());
        m_pJournal.reset();
        return -1;
    }
    Cut();

    // What the extraction is about to make, so that a crash leaves nothing unexplained.
    bool bOk = true;
    for (const SSlot& slot : m_vecSlots) {
        for (const std::string& strMade : slot.vecMade) {
            if (std::find(m_vecMade.begin(), m_vecMade.end(), strMade) == m_vecMade.end()) {
                bOk = bOk && Journal({"made", Relative(strMade)});
                m_vecMade.push_back(strMade);
            }
        }
        bOk = bOk && Journal({"stage", Relative(slot.strStageRoot)});
        m_vecStageRoots.push_back(slot.strStageRoot);
    }
    for (size_t i = 0; bOk && i < m_vecSlots.size(); ++i)
        bOk = ExtractArchive(m_vecSlots[i]);
    // The new folders are on the disk before anything of the member's is moved for them.
    for (size_t i = 0; bOk && i < m_vecSlots.size(); ++i) {
        std::string strError;
        if (!SyncTree(m_vecSlots[i].strStageRoot, &strError))
            bOk = Fail("cannot flush " + m_vecSlots[i].strStageRoot + ": " + strError);
    }
    if (bOk)
        Cut();
    if (!bOk || KeepOriginals() < 0) {
        Discard();
        return -1;
    }

    for (const SSlot& slot : m_vecSlots) {
        const std::vector<std::string> vecOld = FileNames(slot.strTarget);
        const std::vector<std::string> vecNew = FileNames(slot.strStaged);
        std::vector<std::string> vecBoth;
        std::set_intersection(vecOld.begin(), vecOld.end(), vecNew.begin(), vecNew.end(),
                              std::back_inserter(vecBoth));
        const auto nBoth = static_cast<int>(vecBoth.size());
        m_vecChanges.push_back({slot.eCategory, static_cast<int>(vecNew.size()) - nBoth, nBoth,
                                static_cast<int>(vecOld.size()) - nBoth});
    }

    // Every archive is checked and every Original copy taken: from here on an apply that is
    // cut off is finished, not discarded.
    PlanSteps();
    for (size_t i = 0; bOk && i < m_vecSteps.size(); ++i) {
        const SStep& step = m_vecSteps[i];
        bOk = Journal({"step", std::to_string(i), StepKindName(step.eKind == EStepKind::Move),
                       Relative(step.strFrom), Relative(step.strTo),
                       step.strAside.empty() ? "" : Relative(step.strAside),
                       step.strRemove.empty() ? "" : Relative(step.strRemove)});
    }
    bOk = bOk && Journal({"ready", std::to_string(m_vecSteps.size())});
    if (!bOk) {
        Discard();
        return -1;
    }
    m_bReady = true;
    for (size_t i = 0; i < m_vecSteps.size(); ++i) {
        if (!RunStep(i)) {
            if (UndoAll()) {
                Discard();
            } else {
                m_strError += "; could not put every folder back (the next start tries again)";
                m_pJournal->Close();
            }
            return -1;
        }
    }
    // Should the record not reach the disk, a recovery finds every step done all the same.
    Journal({"commit"});
    m_bCommitted = true;
    RemoveFolders(eReplaced == EReplaced::Remove);
    if (m_pJournal)
        m_pJournal->Close();  // stands until RemoveReplaced
    return 0;
}

bool CArchiveApplier::CheckRoom() {
    // Every archive is extracted beside its folder, on the game folder's disk, before anything
    // is swapped: what they declare together must fit there, or nothing is written at all.
    uint64_t nTotal = 0;
    for (ECategory eCategory : kRestoreOrder) {
        if ((m_nMask & GetCategory(eCategory).nMask) == 0)
            continue;
        const auto archive = ArchivePath(m_strGameFolder, eCategory);
        if (!archive)
            return Fail("path too long for the archive of " +
                        std::string(GetCategory(eCategory).szWord));
        try {
            CZipArchiver zip;
            zip.Open(*archive, ZipOpenMode::ReadOnly);
            nTotal += zip.DeclaredSize();
        } catch (const CException& e) {
            return Fail(*archive + ": " + e.what());
        }
    }
    uint64_t nAvailable = 0;
    if (!HasRoomFor(m_strGameFolder, nTotal, &nAvailable)) {
        m_bNoRoom = true;
        return Fail("the archives hold " + std::to_string(nTotal) + " bytes, " +
                    std::to_string(nAvailable) + " are free in " + m_strGameFolder);
    }
    return true;
}

void CArchiveApplier::PlanSteps() {
    m_vecSteps.clear();
    for (const SSlot& slot : m_vecSlots) {
        const bool bTarget = PathExists(slot.strTarget);
        // The previous Recent copy stays aside until the whole restore has succeeded. With no
        // folder to replace it, it stays where it is: it is the member's only Recent copy.
        if (bTarget && PathExists(slot.strRecent))
            m_vecSteps.push_back(
                {EStepKind::Rename, slot.strRecent, slot.strRecentOld, "", slot.strRecentOld});
        if (bTarget)
            m_vecSteps.push_back(
                {EStepKind::Move, slot.strTarget, slot.strRecent, slot.strAside, slot.strAside});
        m_vecSteps.push_back({EStepKind::Rename, slot.strStaged, slot.strTarget, "", ""});
    }
}

bool CArchiveApplier::ExtractArchive(const SSlot& slot) {
    const SCategory& category = GetCategory(slot.eCategory);
    const std::string strArchive = *ArchivePath(m_strGameFolder, slot.eCategory);

    std::error_code ec;
    DeleteFolder(slot.strStageRoot);
    MakeFolders(slot.strStageRoot, ec);
    if (ec)
        return Fail("cannot create " + slot.strStageRoot + ": " + ec.message());

    bool bOk = true;
    try {
        CZipArchiver zip;
        zip.Open(strArchive, ZipOpenMode::ReadOnly);
        const int nCount = zip.EntryCount();
        if (nCount > 65535)
            bOk = Fail(strArchive + ": too many entries");
        // Every name first: nothing is written for an archive with a hostile entry.
        for (int i = 0; bOk && i < nCount; ++i) {
            CZipEntryHeader header;
            if (!zip.GetFileInfo(static_cast<uint16_t>(i), header)) {
                bOk = Fail(strArchive + ": entry unreadable");
                break;
            }
            const std::string strName = header.GetFileName();
            if (!IsSafeEntryName(strName, true))
                bOk = Fail(std::string(strArchive).append(": unsafe entry name ").append(strName));
            else if (header.IsEncrypted())
                bOk = Fail(std::string(strArchive).append(": encrypted entry ").append(strName));
            else if (!IsEntryInFolder(strName, header.IsDirectory(), category.szGameFolder))
                bOk = Fail(std::string(strArchive)
                               .append(": entry outside ")
                               .append(category.szGameFolder)
                               .append(": ")
                               .append(strName));
        }
        for (int i = 0; bOk && i < nCount; ++i) {
            if (!zip.ExtractEntry(static_cast<uint16_t>(i), slot.strStageRoot, true, kExtractChunk))
                bOk = Fail(strArchive + ": entry " + std::to_string(i) + " not extracted whole");
        }
    } catch (const CException& e) {
        bOk = Fail(strArchive + ": " + e.what());
    }
    if (!bOk)
        DeleteFolder(slot.strStageRoot);
    return bOk;
}

int CArchiveApplier::KeepOriginals() {
    for (ECategory eCategory : kRestoreOrder) {
        const auto original = OriginalPath(m_strGameFolder, eCategory);
        const auto folder = CategoryFolderPath(m_strGameFolder, eCategory);
        if (!original || !folder) {
            Fail("path too long for the Original copies");
            return -1;
        }
        if (PathExists(*original))
            continue;
        std::error_code ec;
        if (!fs::is_directory(PathFromUtf8(*folder), ec))
            continue;
        MakeFolders(Utf8FromPath(PathFromUtf8(*original).parent_path()), ec);
        const SCategory& category = GetCategory(eCategory);
        // Named first, so that a crash in the middle of the copy leaves nothing unexplained.
        if (m_pJournal) {
            if (!Journal({"original", Relative(*original)}))
                return -1;
            m_vecOriginals.push_back(*original);
        }
        if (!CopyFolder(*folder, *original)) {
            // Only a category being restored needs its copy now; another one (too large for
            // the disk, a file that cannot be read) gets it at a later restore.
            if ((m_nMask & category.nMask) != 0) {
                Fail("cannot copy " + *folder + " to " + *original);
                return -1;
            }
        } else if (m_pJournal) {
            Cut();
        }
    }
    return 0;
}

bool CArchiveApplier::KeepAside(const std::string& strPath) {
    const auto kept = GamePath(m_strGameFolder, kRalumKept);
    if (!kept)
        return Fail("path too long for " + std::string(kRalumKept));
    const std::string strFolder = UniqueDatedFolder(*kept);
    std::string strDest = Utf8FromPath(PathFromUtf8(strFolder) / PathFromUtf8(LeafOf(strPath)));
    std::error_code ec;
    MakeFolders(strFolder, ec);
    if (!Journal({"kept", Relative(strPath), Relative(strDest)}))
        return false;
    if (!RenameDurably(strPath, strDest, ec)) {
        // Ralum on another file system: kept beside where it was found, under a new name.
        const std::string strBeside =
            strPath + "-kept-" + Utf8FromPath(PathFromUtf8(strFolder).filename());
        if (!Journal({"kept", Relative(strPath), Relative(strBeside)}) ||
            !RenameDurably(strPath, strBeside, ec))
            return Fail("cannot move " + strPath + " out of the way: " + ec.message());
        strDest = strBeside;
        DeleteFolder(strFolder);  // made for it, empty
    }
    DiagLog("apply: kept " + strPath + " found in the way, now " + strDest);
    m_vecKept.emplace_back(strPath, strDest);
    Cut();
    return true;
}

bool CArchiveApplier::RunStep(size_t nStep) {
    SStep& step = m_vecSteps[nStep];
    const std::string strStep = std::to_string(nStep);
    std::error_code ec;
    auto finish = [&] {
        step.eState = EStepState::Done;
        return Journal({"done", strStep});
    };
    auto copyAndSetAside = [&] {
        // Recent on another file system: the folder is copied there (flushed), then set aside
        // until the whole restore has succeeded.
        if (!CopyFolder(step.strFrom, step.strTo))
            return Fail("cannot copy " + step.strFrom + " to " + step.strTo);
        Cut();
        if (!RenameDurably(step.strFrom, step.strAside, ec))
            return Fail("cannot move " + step.strFrom + ": " + ec.message());
        Cut();
        return finish();
    };

    switch (step.eState) {
        case EStepState::Planned:
            if (PathExists(step.strTo) && !KeepAside(step.strTo))
                return false;
            MakeFolders(Utf8FromPath(PathFromUtf8(step.strTo).parent_path()), ec);
            if (!Journal({"begin", strStep}))
                return false;
            step.eState = EStepState::Begun;
            break;
        case EStepState::Begun:
            // A rename's source is the program's own folder: while it stands, the rename was
            // not made. A move's destination is: once it stands, the move was made (a folder at
            // its source then is a new one, which the next step keeps out of its way).
            if (step.eKind == EStepKind::Rename) {
                if (!PathExists(step.strFrom)) {
                    if (PathExists(step.strTo))
                        return finish();
                    return Fail("the folder " + step.strFrom + " is gone");
                }
                if (PathExists(step.strTo) && !KeepAside(step.strTo))
                    return false;
            } else if (PathExists(step.strTo) || !PathExists(step.strFrom)) {
                return finish();
            }
            break;
        case EStepState::Copying:
            if (PathExists(step.strTo)) {
                if (PathExists(step.strAside) || !PathExists(step.strFrom))
                    return finish();
                if (!RenameDurably(step.strFrom, step.strAside, ec))
                    return Fail("cannot move " + step.strFrom + ": " + ec.message());
                Cut();
                return finish();
            }
            DeleteCopyLeftovers(ParentOf(step.strTo), LeafOf(step.strTo));
            return copyAndSetAside();
        default:
            return true;
    }

    if (RenameDurably(step.strFrom, step.strTo, ec)) {
        Cut();
        return finish();
    }
    if (step.eKind == EStepKind::Rename || ec != std::errc::cross_device_link)
        return Fail("cannot move " + step.strFrom + " to " + step.strTo + ": " + ec.message());
    if (!Journal({"copying", strStep}))
        return false;
    step.eState = EStepState::Copying;
    step.bCopied = true;
    return copyAndSetAside();
}

bool CArchiveApplier::UndoStep(size_t nStep) {
    SStep& step = m_vecSteps[nStep];
    const std::string strStep = std::to_string(nStep);
    const bool bRename = step.eKind == EStepKind::Rename;
    std::error_code ec;
    auto undone = [&] {
        step.eState = EStepState::Undone;
        return Journal({"undone", strStep});
    };
    // A step cut off in its middle: was it made?
    if (step.eState == EStepState::Begun) {
        const bool bMade = bRename ? !PathExists(step.strFrom) : PathExists(step.strTo);
        if (!bMade)
            return undone();
        step.eState = EStepState::Done;
    }
    if (step.eState == EStepState::Copying) {
        if (!PathExists(step.strAside)) {
            // The source never left: the copy, whole or in part, goes.
            if (!DeleteFolder(step.strTo))
                return Fail("cannot remove the copy " + step.strTo);
            DeleteCopyLeftovers(ParentOf(step.strTo), LeafOf(step.strTo));
            return undone();
        }
        step.eState = EStepState::Done;
    }
    if (step.eState == EStepState::Undoing) {
        // Cut off while being undone: the program's own side tells whether it was.
        const bool bUndone = bRename        ? PathExists(step.strFrom)
                             : step.bCopied ? !PathExists(step.strAside)
                                            : !PathExists(step.strTo);
        if (bUndone) {
            if (step.bCopied && !DeleteFolder(step.strTo))
                return Fail("cannot remove the copy " + step.strTo);
            return undone();
        }
    } else if (step.eState == EStepState::Done) {
        if (!Journal({"unbegin", strStep}))
            return false;
        step.eState = EStepState::Undoing;
    } else {
        return true;  // never begun, or undone
    }

    if (!bRename && PathExists(step.strFrom) && !KeepAside(step.strFrom))
        return false;
    const std::string& strBack = step.bCopied ? step.strAside : step.strTo;
    if (!RenameDurably(strBack, step.strFrom, ec))
        return Fail("cannot put back " + step.strFrom + ": " + ec.message());
    Cut();
    if (step.bCopied && !DeleteFolder(step.strTo))
        return Fail("cannot remove the copy " + step.strTo);
    return undone();
}

bool CArchiveApplier::UndoAll() {
    if (!m_bUndo) {
        if (!Journal({"undo"}))
            return false;
        m_bUndo = true;
    }
    for (size_t i = m_vecSteps.size(); i-- > 0;) {
        if (!UndoStep(i))
            return false;
    }
    return true;
}

bool CArchiveApplier::Discard() {
    bool bOk = true;
    for (const std::string& strRoot : m_vecStageRoots)
        bOk = DeleteFolder(strRoot) && bOk;
    for (const std::string& strOriginal : m_vecOriginals)
        DeleteCopyLeftovers(ParentOf(strOriginal), LeafOf(strOriginal));
    // Folders made above a target (Cache/WDB for a first cache restore) go when they are
    // empty again; anything in them now is not the apply's.
    for (auto it = m_vecMade.rbegin(); it != m_vecMade.rend(); ++it) {
        std::error_code ec;
        if (fs::is_empty(PathFromUtf8(*it), ec))
            fs::remove(PathFromUtf8(*it), ec);
    }
    if (!bOk) {
        Fail("cannot remove the staging folders of a restore");
        return false;
    }
    return EndJournal();
}

void CArchiveApplier::RemoveFolders(bool bReplacedToo) {
    for (const std::string& strRoot : m_vecStageRoots)
        DeleteFolder(strRoot);  // empty once its folder was moved in
    if (bReplacedToo)
        RemoveReplaced();
}

std::vector<std::string> CArchiveApplier::ReplacedFolders() const {
    std::vector<std::string> vecFolders;
    for (const SStep& step : m_vecSteps) {
        if (!step.strRemove.empty() && PathExists(step.strRemove))
            vecFolders.push_back(step.strRemove);
    }
    return vecFolders;
}

void CArchiveApplier::RemoveReplaced() {
    for (const std::string& strFolder : ReplacedFolders()) {
        // Its name is this apply's own: left standing, it is in no later apply's way.
        if (!DeleteFolder(strFolder)) {
            DiagLog("apply: could not remove " + strFolder + "; it is left as it is");
            m_vecLeft.push_back(strFolder);
        }
    }
    if (m_pJournal)
        EndJournal();
}

bool CArchiveApplier::EndJournal() {
    if (!m_pJournal)
        return true;
    const bool bOk = m_pJournal->Remove();
    if (!bOk)
        Fail(m_pJournal->Error());
    m_pJournal.reset();
    return bOk;
}
