#include "restore/download_thread.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>

#include "app/app_messages.h"
#include "app/categories.h"
#include "app/game_folder.h"
#include "app/main_logic.h"
#include "net/endpoints.h"
#include "net/http_transfer.h"
#include "platform/codepage.h"
#include "platform/diag_log.h"
#include "platform/file_system.h"
#include "platform/game_process.h"
#include "platform/native_file.h"
#include "platform/native_text.h"
#include "restore/archive_applier.h"

namespace {

constexpr const char* kAgent = "Tavrin";
// The request path "/Kelpo/UserData/<id>/<archive>" must fit a 260-byte buffer.
constexpr size_t kMaxRequestPath = 259;

// The text with its "%d" replaced by the code.
std::string FormatCode(const std::string& strFormat, int nCode) {
    std::string strText = strFormat;
    if (const size_t nAt = strText.find("%d"); nAt != std::string::npos)
        strText.replace(nAt, 2, std::to_string(nCode));
    return strText;
}

}  // namespace

// An archive being downloaded, under a temporary name beside its final one: created when the
// first byte arrives, and put in place of the final name only when the whole archive is there,
// so that a failed download never destroys the archive an earlier one left.
class CPartialFile {
public:
    explicit CPartialFile(std::string strFinal)
        : m_strFinal(std::move(strFinal)), m_strPartial(m_strFinal + ".part") {}
    ~CPartialFile() {
        m_file.Close();
        if (!m_bCommitted)
            RemovePartial();
    }
    CPartialFile(const CPartialFile&) = delete;
    CPartialFile& operator=(const CPartialFile&) = delete;

    // Appends bytes (the file is made at the first call): 0, or -8 when it cannot be created
    // and -10 when writing fails.
    int Write(const char* pData, size_t nSize) {
        if (!m_file.IsOpen()) {
            // A new file, never one a leftover name leads to.
            RemovePartial();
            if (!m_file.Open(m_strPartial, CNativeFile::EMode::CreateNew))
                return Failed(kTransferLocalOpen);
        }
        return m_file.Write(pData, nSize) ? 0 : Failed(kTransferLocalIo);
    }
    // Makes the whole download the archive: 0, -8 or -10.
    int Commit() {
        if (const int nResult = Write(nullptr, 0); nResult < 0)
            return nResult;
        const bool bSynced = m_file.Sync();
        if (!bSynced || !m_file.Close())
            return Failed(kTransferLocalIo);
        std::error_code ec;
        if (!RenamePath(m_strPartial, m_strFinal, ec)) {
            m_strError = ec.message();
            return kTransferLocalOpen;
        }
        m_bCommitted = true;
        return 0;
    }

    const std::string& Path() const { return m_strPartial; }
    // The system's text of the last failure.
    const std::string& Error() const { return m_strError; }

private:
    void RemovePartial() {
        std::error_code ec;
        std::filesystem::remove(PathFromUtf8(m_strPartial), ec);
    }
    int Failed(int nCode) {
        m_strError = m_file.ErrorText();
        return nCode;
    }

    std::string m_strFinal;
    std::string m_strPartial;
    std::string m_strError;
    CNativeFile m_file;
    bool m_bCommitted = false;
};

std::string RestoreDoneMessage(const std::string& strGameFolder,
                               const std::vector<SCategoryChange>& vecChanges) {
    std::string strText = kMsgRestoreDone;
    if (vecChanges.empty())
        return strText;
    strText += "\n";
    bool bReplaced = false;
    for (const SCategoryChange& change : vecChanges) {
        bReplaced = bReplaced || change.nReplaced + change.nRemoved > 0;
        char szLine[160];
        std::snprintf(szLine, sizeof szLine, kFmtCategoryChange,
                      GetCategory(change.eCategory).szGameFolder, change.nAdded, change.nReplaced,
                      change.nRemoved);
        strText += szLine;
    }
    if (bReplaced)
        strText += std::string(kMsgReplacedKeptIn) + strGameFolder + kRalumRecent;
    return strText;
}

CDownloadThread::CDownloadThread(CMainLogic& owner, uint8_t nMask, std::string strId,
                                 std::string strGameFolder, SServerSizes serverSizes)
    : m_owner(owner),
      m_endpoints(owner.Settings().m_endpoints),
      m_nMask(nMask),
      m_strId(std::move(strId)),
      m_strGameFolder(std::move(strGameFolder)),
      m_serverSizes(serverSizes) {}

CDownloadThread::~CDownloadThread() = default;

void CDownloadThread::ThreadBody() {
    const auto tStart = std::chrono::steady_clock::now();
    auto seconds = [&] {
        return std::to_string(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count());
    };
    DiagLog("restore: categories " + std::to_string(m_nMask) + " into " + m_strGameFolder);
    m_nTotalReceived = 0;
    m_nTotalExpected = ComputeTotalSize();
    if (m_nTotalExpected < 0) {
        DiagLog("restore: nothing to download, or a total size out of range");
        if (m_nTotalExpected != kTransferNothing)
            m_owner.View().Message(kMsgSizeUnknown);
    } else if (const int nResult = DownloadAll(); nResult < 0) {
        DiagLog("restore: download failed, code " + std::to_string(nResult) + m_strTransferNote +
                " after " + seconds() + " s");
        m_owner.View().Message(FormatCode(kMsgDownloadFailed, nResult));
    } else if (RefuseWhileGameRuns(m_owner.View(), m_strGameFolder, "restore apply")) {
        // The game was started while the archives arrived: nothing is applied.
    } else if (ApplyAll() < 0) {
        DiagLog("restore: apply failed: " + m_strApplyError + " after " + seconds() + " s");
        std::string strText = kMsgApplyFailed;
        if (m_pApplier && m_pApplier->LackedRoom())
            strText += std::string("\n\n") + kMsgDiskFull;
        if (const std::string strNote = KeptAndLeftNote(); !strNote.empty())
            strText += "\n\n" + strNote;
        m_owner.View().Message(strText);
    } else {
        DiagLog("restore: done, " + std::to_string(m_nTotalReceived) + " bytes in " + seconds() +
                " s");
        m_owner.SetProgress(0, 0, EProgressMode::Full);
        // The replaced folders go while the member reads the message; the worker, and with it
        // the busy flag, waits for both. Without a thread to spare they go after the message.
        std::jthread remover;
        try {
            remover = std::jthread([this] { RemoveReplacedFolders(); });
        } catch (const std::system_error& e) {
            DiagLog(std::string("restore: no thread to remove the replaced folders: ") + e.what());
        }
        m_owner.View().Message(RestoreDoneMessage(m_strGameFolder, m_vecChanges));
        if (remover.joinable())
            remover.join();
        else
            RemoveReplacedFolders();
        // Said once: a folder left now has a name no later restore uses.
        if (const std::string strNote = KeptAndLeftNote(); !strNote.empty())
            m_owner.View().Message(strNote);
    }
    m_owner.RefreshUsage();
}

int32_t CDownloadThread::ComputeTotalSize() {
    m_expected = SServerSizes{};
    for (const ECategory eCategory : kRestoreOrder) {
        const uint8_t nBit = GetCategory(eCategory).nMask;
        if ((m_nMask & nBit) == 0)
            continue;
        if (m_serverSizes[eCategory] > 0)
            m_expected[eCategory] = m_serverSizes[eCategory];
        else
            m_nMask = static_cast<uint8_t>(m_nMask & ~nBit);
    }
    if ((m_nMask & kMaskAll) == 0) {
        m_owner.View().Message(kMsgNothingToDownload);
        return kTransferNothing;
    }
    // Signed 32-bit sum as the protocol counts it: a total beyond its range comes out
    // negative (and is reported as an unknown size), without overflowing in C++ terms.
    uint32_t nSum = 0;
    for (const ECategory eCategory : kRestoreOrder)
        nSum += static_cast<uint32_t>(m_expected[eCategory]);
    return static_cast<int32_t>(nSum);
}

int CDownloadThread::DownloadAll() {
    for (ECategory eCategory : kRestoreOrder) {
        if ((m_nMask & GetCategory(eCategory).nMask) == 0)
            continue;
        const int nResult = DownloadArchive(eCategory);
        if (nResult < 0)
            return nResult;
    }
    return 0;
}

int CDownloadThread::DownloadArchive(ECategory eCategory) {
    const SCategory& category = GetCategory(eCategory);
    const std::string strArchiveName = category.szArchiveName;
    m_nCurrentReceived = 0;
    m_nCurrentExpected = m_expected[eCategory];

    std::string strIdCp949;
    if (!Utf8ToCp949(m_strId, strIdCp949))
        return kTransferBadRequest;
    const std::string strPath = SEndpoints::ArchivePath(strIdCp949, strArchiveName);
    if (strPath.size() > kMaxRequestPath)
        return kTransferBadRequest;

    // The temporary name is five bytes longer: it must fit the path buffers too.
    const auto local = GamePath(m_strGameFolder, std::string(category.szArchivePath) + ".part");
    if (!local)
        return kTransferLocalOpen;
    std::error_code ec;
    MakeFolders(m_strGameFolder + kRalumTemp, ec);
    CPartialFile file(local->substr(0, local->size() - 5));

    const int nResult =
        OpenRequest(kAgent, m_endpoints.ArchiveUrl(strIdCp949, strArchiveName), file);
    if (nResult < 0)
        return nResult;
    const int nCommit = file.Commit();
    if (nCommit < 0)
        m_strTransferNote = "; " + file.Path() + ": " + file.Error();
    return nCommit;
}

int CDownloadThread::OpenRequest(const std::string& strAgent, const std::string& strUrl,
                                 CPartialFile& file) {
    // The body is cut into pieces of kDownloadPiece bytes counted from its start; each is
    // written and counted, and the transfer ends when the count meets the expected size
    // exactly at the end of a piece (the rest of a longer reply is not read).
    std::string strPiece;
    strPiece.reserve(kDownloadPiece);
    int nWriteResult = 0;
    bool bReachedExpected = false;
    auto flushPiece = [&]() {
        nWriteResult = file.Write(strPiece.data(), strPiece.size());
        if (nWriteResult < 0)
            return false;
        const auto nBytes = static_cast<int32_t>(strPiece.size());
        strPiece.clear();
        AddProgress(nBytes);
        if (m_nCurrentReceived == m_nCurrentExpected) {
            bReachedExpected = true;
            return false;
        }
        return true;
    };
    auto writeFn = [&](const char* pData, size_t nSize) {
        while (nSize > 0) {
            const size_t nTake = std::min(nSize, kDownloadPiece - strPiece.size());
            strPiece.append(pData, nTake);
            pData += nTake;
            nSize -= nTake;
            if (strPiece.size() == kDownloadPiece && !flushPiece())
                return false;
        }
        return true;
    };

    SHttpResult result;
    try {
        CHttpTransfer transfer(m_endpoints.strCaFile);
        result = transfer.Get(strUrl, {}, true, strAgent, writeFn);
    } catch (const std::bad_alloc&) {
        return kTransferNoSession;
    }
    m_strTransferNote = "; " + strUrl;
    if (result.nStatus != 0)
        m_strTransferNote += ", HTTP status " + std::to_string(result.nStatus);
    if (!result.strError.empty())
        m_strTransferNote += ", " + result.strError;
    if (nWriteResult < 0)
        m_strTransferNote += ", writing " + file.Path() + ": " + file.Error();
    if (nWriteResult < 0)
        return nWriteResult;
    if (result.nStatus != 0 && (result.nStatus < 200 || result.nStatus > 299))
        return kTransferRefused;  // an error page is no archive
    if (bReachedExpected)
        return 0;
    if (!result.bTransportOk)
        return result.nStatus == 0 ? kTransferNotSent : kTransferBrokeOff;
    if (!strPiece.empty() && !flushPiece() && nWriteResult < 0)
        return nWriteResult;
    return 0;
}

int32_t CDownloadThread::AddProgress(int32_t n) {
    // Counted as the protocol counts them, in 32 bits; a reply past 2 GB wraps instead of
    // overflowing.
    m_nTotalReceived =
        static_cast<int32_t>(static_cast<uint32_t>(m_nTotalReceived) + static_cast<uint32_t>(n));
    m_nCurrentReceived =
        static_cast<int32_t>(static_cast<uint32_t>(m_nCurrentReceived) + static_cast<uint32_t>(n));
    m_owner.SetProgress(static_cast<uint32_t>(m_nTotalReceived), m_nTotalExpected,
                        EProgressMode::FiveLess);
    return m_nTotalReceived;
}

int CDownloadThread::ApplyAll() {
    m_pApplier = std::make_unique<CArchiveApplier>(m_strGameFolder, m_nMask);
    try {
        const int nResult = m_pApplier->ApplyAll(CArchiveApplier::EReplaced::Keep);
        m_vecChanges = m_pApplier->Changes();
        m_strApplyError = m_pApplier->LastError();
        return nResult;
    } catch (const std::exception& e) {
        // Out of memory or a file-system error the applier did not expect: the restore
        // failed, and the caller tells the member so. The journal tells the next start what
        // was done.
        m_strApplyError = e.what();
        return -1;
    }
}

void CDownloadThread::RemoveReplacedFolders() {
    if (!m_pApplier)
        return;
    try {
        m_pApplier->RemoveReplaced();
    } catch (const std::exception& e) {
        // What is left is named by the journal and removed by the next restore or start.
        DiagLog(std::string("restore: removing the replaced folders: ") + e.what());
    }
}

std::string CDownloadThread::KeptAndLeftNote() const {
    return m_pApplier ? ::KeptAndLeftNote(*m_pApplier) : std::string();
}
