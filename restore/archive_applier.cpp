#include "restore/archive_applier.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <utility>

#include "platform/native_text.h"
#include "restore/folder_ops.h"
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

// The first missing folder on the way down to strFolder, or "" when it exists.
std::string FirstMissingAncestor(const fs::path& folder) {
    fs::path missing;
    for (fs::path p = folder; !p.empty() && !PathExists(Utf8FromPath(p)); p = p.parent_path()) {
        missing = p;
        if (p == p.parent_path())
            break;
    }
    return Utf8FromPath(missing);
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

bool CArchiveApplier::Fail(const std::string& strWhat) {
    if (m_strError.empty())
        m_strError = strWhat;
    return false;
}

bool CArchiveApplier::PreparePaths(uint8_t nMask) {
    m_vecSlots.clear();
    for (ECategory eCategory : kRestoreOrder) {
        const SCategory& category = GetCategory(eCategory);
        if ((nMask & category.nMask) == 0)
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
        const std::string strWord = category.szWord;
        slot.strStageRoot = Utf8FromPath(parent / (".zav-stage-" + strWord));
        slot.strReadyRoot = Utf8FromPath(parent / (".zav-ready-" + strWord));
        slot.strReady = Utf8FromPath(PathFromUtf8(slot.strReadyRoot) / category.szGameFolder);
        slot.strAside = Utf8FromPath(parent / (".zav-old-" + strWord));
        slot.strRecentOld =
            Utf8FromPath(PathFromUtf8(slot.strRecent).parent_path() / (".zav-old-" + strWord));
        m_vecSlots.push_back(std::move(slot));
    }
    return true;
}

CArchiveApplier::SSlot* CArchiveApplier::FindSlot(ECategory eCategory) {
    for (SSlot& slot : m_vecSlots) {
        if (slot.eCategory == eCategory)
            return &slot;
    }
    return nullptr;
}

int CArchiveApplier::ApplyAll(EReplaced eReplaced) {
    m_strError.clear();
    if (Recover() == ERecovery::Failed)
        return -1;
    if (!PreparePaths(m_nMask))
        return -1;
    for (const SSlot& slot : m_vecSlots) {
        if (!ExtractArchive(slot.eCategory)) {
            DiscardStaging();
            return -1;
        }
    }
    if (KeepOriginals() < 0) {
        DiscardStaging();
        return -1;
    }
    // Every archive is checked: from here on an interrupted apply is finished, not discarded.
    std::error_code ec;
    m_vecChanges.clear();
    for (const SSlot& slot : m_vecSlots) {
        const std::vector<std::string> vecOld = FileNames(slot.strTarget);
        const std::vector<std::string> vecNew = FileNames(Utf8FromPath(
            PathFromUtf8(slot.strStageRoot) / GetCategory(slot.eCategory).szGameFolder));
        std::vector<std::string> vecBoth;
        std::set_intersection(vecOld.begin(), vecOld.end(), vecNew.begin(), vecNew.end(),
                              std::back_inserter(vecBoth));
        const auto nBoth = static_cast<int>(vecBoth.size());
        m_vecChanges.push_back({slot.eCategory, static_cast<int>(vecNew.size()) - nBoth, nBoth,
                                static_cast<int>(vecOld.size()) - nBoth});

        if (!RenamePath(slot.strStageRoot, slot.strReadyRoot, ec)) {
            Fail("cannot mark " + slot.strStageRoot + " ready: " + ec.message());
            DiscardStaging();
            return -1;
        }
    }
    for (SSlot& slot : m_vecSlots) {
        if (!SwapIn(slot)) {
            RollBack();
            DiscardStaging();
            return -1;
        }
    }
    for (const SSlot& slot : m_vecSlots)
        DeleteFolder(slot.strReadyRoot);  // empty now
    if (eReplaced == EReplaced::Remove) {
        for (const std::string& strFolder : ReplacedFolders())
            DeleteFolder(strFolder);
    }
    return 0;
}

bool CArchiveApplier::ExtractArchive(ECategory eCategory) {
    if (m_vecSlots.empty())
        PreparePaths(m_nMask);
    SSlot* pSlot = FindSlot(eCategory);
    const SCategory& category = GetCategory(eCategory);
    if (pSlot == nullptr)
        return Fail(std::string(category.szWord) + " is not part of this restore");
    SSlot& slot = *pSlot;
    const std::string strArchive = *ArchivePath(m_strGameFolder, eCategory);

    std::error_code ec;
    const fs::path parent = PathFromUtf8(slot.strTarget).parent_path();
    if (slot.strCreated.empty())
        slot.strCreated = FirstMissingAncestor(parent);
    DeleteFolder(slot.strStageRoot);
    fs::create_directories(PathFromUtf8(slot.strStageRoot), ec);
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
                bOk = Fail(strArchive + ": unsafe entry name " + strName);
            else if (header.IsEncrypted())
                bOk = Fail(strArchive + ": encrypted entry " + strName);
            else if (!IsEntryInFolder(strName, header.IsDirectory(), category.szGameFolder))
                bOk =
                    Fail(strArchive + ": entry outside " + category.szGameFolder + ": " + strName);
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
        fs::create_directories(PathFromUtf8(*original).parent_path(), ec);
        if (!CopyFolder(*folder, *original)) {
            // Only a category being restored needs its copy now; another one (too large for
            // the disk, a file that cannot be read) gets it at a later restore.
            if ((m_nMask & GetCategory(eCategory).nMask) != 0) {
                Fail("cannot copy " + *folder + " to " + *original);
                return -1;
            }
        }
    }
    return 0;
}

bool CArchiveApplier::SwapIn(SSlot& slot) {
    std::error_code ec;
    // The previous Recent copy stays aside until the whole restore has succeeded. With no
    // folder to replace it, it stays where it is: it is the member's only Recent copy. (A swap
    // that was cut off may have set it aside already, or set the old folder aside.)
    if (PathExists(slot.strTarget) && !PathExists(slot.strAside) && PathExists(slot.strRecent) &&
        !PathExists(slot.strRecentOld)) {
        if (!RenamePath(slot.strRecent, slot.strRecentOld, ec))
            return Fail("cannot set aside " + slot.strRecent + ": " + ec.message());
        slot.bRecentAside = true;
    }
    if (PathExists(slot.strTarget) && !PathExists(slot.strAside)) {
        fs::create_directories(PathFromUtf8(slot.strRecent).parent_path(), ec);
        if (!PathExists(slot.strRecent) && RenamePath(slot.strTarget, slot.strRecent, ec)) {
            slot.eMoved = EMoved::Renamed;
        } else if (PathExists(slot.strRecent) || ec == std::errc::cross_device_link) {
            // Recent on another file system: copy it there (unless a cut-off swap already
            // did), then move the folder aside.
            const bool bCopied = !PathExists(slot.strRecent);
            if (bCopied && !CopyFolder(slot.strTarget, slot.strRecent))
                return Fail("cannot copy " + slot.strTarget + " to " + slot.strRecent);
            if (!RenamePath(slot.strTarget, slot.strAside, ec)) {
                if (bCopied)
                    DeleteFolder(slot.strRecent);
                return Fail("cannot move " + slot.strTarget + ": " + ec.message());
            }
            slot.eMoved = EMoved::Copied;
        } else {
            return Fail("cannot move " + slot.strTarget + ": " + ec.message());
        }
    }
    if (PathExists(slot.strReady)) {
        if (!RenamePath(slot.strReady, slot.strTarget, ec))
            return Fail("cannot move the new " + slot.strTarget + " in: " + ec.message());
        slot.bStagedIn = true;
    }
    return true;
}

void CArchiveApplier::RollBack() {
    std::error_code ec;
    for (auto it = m_vecSlots.rbegin(); it != m_vecSlots.rend(); ++it) {
        SSlot& slot = *it;
        if (slot.bStagedIn && RenamePath(slot.strTarget, slot.strReady, ec))
            slot.bStagedIn = false;
        if (slot.eMoved == EMoved::Renamed && RenamePath(slot.strRecent, slot.strTarget, ec)) {
            slot.eMoved = EMoved::None;
        } else if (slot.eMoved == EMoved::Copied && RenamePath(slot.strAside, slot.strTarget, ec)) {
            DeleteFolder(slot.strRecent);
            slot.eMoved = EMoved::None;
        }
        if (slot.bRecentAside && !PathExists(slot.strRecent) &&
            RenamePath(slot.strRecentOld, slot.strRecent, ec))
            slot.bRecentAside = false;
        if (slot.bStagedIn || slot.eMoved != EMoved::None || slot.bRecentAside)
            m_strError += "; could not put back " + slot.strTarget;
    }
}

void CArchiveApplier::DiscardStaging() {
    for (SSlot& slot : m_vecSlots) {
        DeleteFolder(slot.strStageRoot);
        DeleteFolder(slot.strReadyRoot);
        // Folders this apply created above the target (Cache/WDB for a first cache restore)
        // hold nothing else while the target is not in place.
        if (!slot.strCreated.empty() && !slot.bStagedIn && !PathExists(slot.strTarget))
            DeleteFolder(slot.strCreated);
    }
}

std::vector<std::string> CArchiveApplier::ReplacedFolders() const {
    std::vector<std::string> vecFolders;
    for (const SSlot& slot : m_vecSlots) {
        for (const std::string* pFolder : {&slot.strRecentOld, &slot.strAside}) {
            if (PathExists(*pFolder))
                vecFolders.push_back(*pFolder);
        }
    }
    return vecFolders;
}
