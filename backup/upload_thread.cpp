#include "backup/upload_thread.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>

#include "app/categories.h"
#include "app/main_logic.h"
#include "app/settings.h"
#include "backup/backup_messages.h"
#include "backup/folder_packer.h"
#include "net/endpoints.h"
#include "platform/codepage.h"
#include "platform/diag_log.h"
#include "platform/native_text.h"

namespace {

constexpr const char* kPartEnd = "\r\n";

// The size of the file at strPath; -1 when it cannot be read.
int64_t ArchiveSize(const std::string& strPath) {
    std::error_code ec;
    const uintmax_t nSize = std::filesystem::file_size(PathFromUtf8(strPath), ec);
    return ec ? -1 : static_cast<int64_t>(nSize);
}

std::string FailureMessage(int nCode) {
    char szText[128];
    std::snprintf(szText, sizeof szText, kFmtUploadFailed, nCode);
    return szText;
}

}  // namespace

CUploadThread::CUploadThread(CMainLogic& owner, uint8_t nMask, std::string strGameFolder,
                             std::string strId)
    : m_owner(owner),
      m_endpoints(owner.Settings().m_endpoints),
      m_nMask(nMask),
      m_strGameFolder(std::move(strGameFolder)),
      m_strId(std::move(strId)) {}

CUploadThread::~CUploadThread() {
    CloseArchive();
}

std::string CUploadThread::PartHeader(const std::string& strField, const std::string& strFile) {
    return "--AaB03x\r\ncontent-disposition: form-data; name=\"" + strField + "\"; filename=\"" +
           strFile +
           "\"\r\n"
           "Content-Type: multipart/mixed\r\n"
           "Content-Transfer-Encoding: binary\r\n\r\n";
}

void CUploadThread::InitInstance() {
    IMainView& view = m_owner.View();
    const auto tStart = std::chrono::steady_clock::now();
    if (ComputeContentLength() < 0) {
        DiagLog("backup: the size of an archive under " + m_strGameFolder + "Ralum cannot be read");
        view.Message(kMsgSizeUnknown);
    } else {
        int nCode = UploadAll();
        const double dSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
        DiagLog("backup: upload " + (nCode == 0 ? std::string("done") : FailureMessage(nCode)) +
                ", " + std::to_string(m_nBytesSent) + " of " + std::to_string(m_nContentLength) +
                " bytes in " + std::to_string(dSeconds) + " s" + m_strTransferNote);
        view.Message(nCode == 0 ? std::string(kMsgUploadDone) : FailureMessage(nCode));
    }
    DeleteTempArchives(m_strGameFolder, kMaskAll);
    m_owner.RefreshUsage();
}

int64_t CUploadThread::ComputeContentLength() {
    m_vecParts.clear();
    int64_t nLength = 0;
    for (const ECategory eCategory : kUploadOrder) {
        const SCategory& category = GetCategory(eCategory);
        if ((m_nMask & category.nMask) == 0)
            continue;
        const int64_t nSize = ArchiveSize(TempArchivePath(m_strGameFolder, eCategory));
        if (nSize < 0)
            return -1;
        nLength += kPartHeaderBase + static_cast<int64_t>(std::strlen(category.szArchiveName)) +
                   static_cast<int64_t>(std::strlen(kPartEnd)) + nSize;
        m_vecParts.push_back({&category, nSize});
    }
    if (!m_vecParts.empty())
        nLength += static_cast<int64_t>(std::strlen(kClosingLine));
    m_nContentLength = nLength;
    m_nBytesSent = 0;
    return nLength;
}

int CUploadThread::OpenUploadRequest() {
    // The id goes into the target as its CP949 bytes, unescaped, as the service expects.
    std::string strIdCp949;
    if (!Utf8ToCp949(m_strId, strIdCp949))
        strIdCp949 = m_strId;
    m_strUrl = m_endpoints.UploadUrl(strIdCp949);
    m_vecHeaderLines = {kContentTypeLine, "User-Agent: Tavrin"};
    m_nNextPart = 0;
    m_eStage = EStage::NextPart;
    m_strPending.clear();
    m_nPendingPos = 0;
    m_nFailure = 0;
    m_nBytesSent = 0;
    return 0;
}

int CUploadThread::UploadAll() {
    int nCode = OpenUploadRequest();
    if (nCode < 0)
        return nCode;
    CHttpTransfer transfer(m_endpoints.strCaFile);
    SHttpResult result =
        transfer.Post(m_strUrl, m_vecHeaderLines, static_cast<uint64_t>(m_nContentLength),
                      [this](char* pBuffer, size_t nSize) { return ProduceBody(pBuffer, nSize); });
    CloseArchive();
    return RequestOutcome(result);
}

int CUploadThread::RequestOutcome(const SHttpResult& result) {
    m_strTransferNote.clear();
    if (result.nStatus != 0)
        m_strTransferNote += "; HTTP status " + std::to_string(result.nStatus);
    if (!result.strError.empty())
        m_strTransferNote += "; " + result.strError;
    if (m_nFailure < 0 && !m_strFilePath.empty())
        m_strTransferNote += "; while sending " + m_strFilePath;
    if (m_nFailure < 0)
        return m_nFailure;  // a step of the body stopped it
    if (result.nStatus != 0 && (result.nStatus < 200 || result.nStatus > 299))
        return kTransferRefused;
    if (!result.bTransportOk) {
        if (m_nBytesSent == 0)
            return kTransferNotSent;
        return m_eStage == EStage::Closing ? kTransferClosingLine : kTransferBrokeOff;
    }
    // A success status before the whole body was taken is no complete upload.
    return m_eStage == EStage::Done ? 0 : kTransferBrokeOff;
}

int CUploadThread::SendPart(const SPart& part) {
    m_strFilePath = TempArchivePath(m_strGameFolder, part.pCategory->eCategory);
    const int64_t nSize = ArchiveSize(m_strFilePath);
    if (nSize < 0)
        return kTransferLocalStatus;
    // The announced length counted the archive as it was; other bytes would break the body.
    if (nSize != part.nSize)
        return kTransferLocalIo;
    m_strPending = PartHeader(part.pCategory->szUploadField, part.pCategory->szArchiveName);
    m_nPendingPos = 0;
    m_nFileLeft = part.nSize;
    m_eStage = EStage::PartHeader;
    return 0;
}

void CUploadThread::FinishUpload(bool bAbort) {
    CloseArchive();
    if (bAbort) {
        m_eStage = EStage::Done;
        return;
    }
    m_strPending = kClosingLine;
    m_nPendingPos = 0;
    m_eStage = EStage::Closing;
}

void CUploadThread::AddUploadProgress(size_t nBytes) {
    m_nBytesSent += static_cast<int64_t>(nBytes);
    // The bar takes 32-bit counts: scale both down alike for bodies of 2 GB or more.
    int64_t nDone = m_nBytesSent;
    int64_t nTotal = m_nContentLength;
    while (nTotal > std::numeric_limits<int32_t>::max()) {
        nDone >>= 1;
        nTotal >>= 1;
    }
    m_owner.SetProgress(static_cast<uint32_t>(nDone), static_cast<int32_t>(nTotal),
                        EProgressMode::Plain);
}

void CUploadThread::CloseArchive() {
    m_archive.Close();
}

bool CUploadThread::DrainPending(char* pBuffer, size_t nSize, size_t& nDone) {
    size_t nCopy = std::min(nSize - nDone, m_strPending.size() - m_nPendingPos);
    if (nCopy > 0) {
        std::memcpy(pBuffer + nDone, m_strPending.data() + m_nPendingPos, nCopy);
        m_nPendingPos += nCopy;
        nDone += nCopy;
        AddUploadProgress(nCopy);
    }
    return m_nPendingPos == m_strPending.size();
}

int CUploadThread::StreamArchive(char* pBuffer, size_t nSize, size_t& nDone) {
    if (m_nFileLeft > 0) {
        size_t nWant = std::min({kBlockSize, nSize - nDone, static_cast<size_t>(m_nFileLeft)});
        const int64_t nRead = m_archive.Read(pBuffer + nDone, nWant);
        if (nRead <= 0)
            return kTransferLocalIo;  // a read error, or the archive ended early
        nDone += static_cast<size_t>(nRead);
        m_nFileLeft -= nRead;
        AddUploadProgress(static_cast<size_t>(nRead));
    }
    if (m_nFileLeft == 0) {
        CloseArchive();
        m_strPending = kPartEnd;
        m_nPendingPos = 0;
        m_eStage = EStage::PartEnd;
    }
    return 0;
}

size_t CUploadThread::ProduceBody(char* pBuffer, size_t nSize) {
    size_t nDone = 0;
    while (nDone < nSize) {
        int nCode = 0;
        switch (m_eStage) {
            case EStage::NextPart:
                if (m_nNextPart < m_vecParts.size())
                    nCode = SendPart(m_vecParts[m_nNextPart++]);
                else
                    FinishUpload(false);
                break;
            case EStage::PartHeader:
                if (DrainPending(pBuffer, nSize, nDone)) {
                    if (!m_archive.Open(m_strFilePath, CNativeFile::EMode::Read))
                        nCode = kTransferLocalOpen;
                    else
                        m_eStage = EStage::PartData;
                }
                break;
            case EStage::PartData:
                nCode = StreamArchive(pBuffer, nSize, nDone);
                break;
            case EStage::PartEnd:
                if (DrainPending(pBuffer, nSize, nDone))
                    m_eStage = EStage::NextPart;
                break;
            case EStage::Closing:
                if (DrainPending(pBuffer, nSize, nDone))
                    m_eStage = EStage::Done;
                break;
            case EStage::Done:
                return nDone;
        }
        if (nCode < 0) {
            m_nFailure = nCode;
            FinishUpload(true);
            return CHttpTransfer::kAbort;
        }
    }
    return nDone;
}
