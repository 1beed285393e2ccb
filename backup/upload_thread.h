// CUploadThread: the upload worker of a backup. It sends the temporary archives of the chosen
// categories to the service's upload script in one multipart/form-data POST, tells the member
// the outcome, deletes the temporary archives and refreshes the account status; the thread that
// runs it (CMainLogic::RunWorker) then gives back the transfer claim as its last act.
//
// The body (every line ends in CR LF), one part per chosen category in the order Interface,
// WTF, WDB, Fonts:
//   --AaB03x
//   content-disposition: form-data; name="UserFile001"; filename="__Interface.zip"
//   Content-Type: multipart/mixed
//   Content-Transfer-Encoding: binary
//   <empty line><the archive's bytes>CR LF
//   ... and after the last part the closing line "--AaB03x" and an empty line.
// Its length is announced before the first byte (never chunked); archives are streamed in
// blocks of at most 10240 bytes, so the body is never held in memory.
//
// The worker works only on its own copies of the member id and of the game folder the
// command took when it started; it never looks at the process's current folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/endpoints.h"
#include "net/http_transfer.h"
#include "net/transfer_codes.h"
#include "platform/native_file.h"

class CMainLogic;
struct SCategory;

class CUploadThread {
public:
    static constexpr size_t kBlockSize = 10240;
    // The part header formatted with an 11-character field name and an empty file name.
    static constexpr int64_t kPartHeaderBase = 143;
    static constexpr const char* kClosingLine = "--AaB03x\r\n\r\n";
    static constexpr const char* kContentTypeLine =
        "Content-Type: multipart/form-data, boundary=AaB03x";

    // strGameFolder: the game folder of the command; strId: the member id (UTF-8).
    CUploadThread(CMainLogic& owner, uint8_t nMask, std::string strGameFolder, std::string strId);
    ~CUploadThread();
    CUploadThread(const CUploadThread&) = delete;
    CUploadThread& operator=(const CUploadThread&) = delete;

    // The whole job; runs on the worker thread.
    void InitInstance();

    // Body length for the chosen archives; -1 when an archive's size cannot be read.
    int64_t ComputeContentLength();
    // Sends the body; 0 when all of it was sent and the server took it, else a code above.
    int UploadAll();

    // One part header as sent.
    static std::string PartHeader(const std::string& strField, const std::string& strFile);

    int64_t GetContentLength() const { return m_nContentLength; }
    int64_t GetBytesSent() const { return m_nBytesSent; }

private:
    struct SPart {
        const SCategory* pCategory;
        int64_t nSize;  // the archive's size when the length was computed
    };
    enum class EStage { NextPart, PartHeader, PartData, PartEnd, Closing, Done };

    int OpenUploadRequest();
    // Starts the part: reads the archive's status and queues its header.
    int SendPart(const SPart& part);
    // Queues the closing line, or (bAbort) ends the body where it stands.
    void FinishUpload(bool bAbort);
    void AddUploadProgress(size_t nBytes);
    // The read callback of the POST: the next body bytes, the parts as a state machine.
    size_t ProduceBody(char* pBuffer, size_t nSize);
    // Copies queued text; true when the queue has been emptied.
    bool DrainPending(char* pBuffer, size_t nSize, size_t& nDone);
    int StreamArchive(char* pBuffer, size_t nSize, size_t& nDone);
    void CloseArchive();
    // The code of the finished POST; notes its status and error for the log.
    int RequestOutcome(const SHttpResult& result);

    CMainLogic& m_owner;
    SEndpoints m_endpoints;  // the owner's, copied when the worker is made
    uint8_t m_nMask;
    std::string m_strGameFolder;
    std::string m_strId;
    int64_t m_nContentLength = 0;
    int64_t m_nBytesSent = 0;

    std::string m_strUrl;
    std::vector<std::string> m_vecHeaderLines;
    std::vector<SPart> m_vecParts;
    size_t m_nNextPart = 0;
    EStage m_eStage = EStage::NextPart;
    std::string m_strPending;
    size_t m_nPendingPos = 0;
    CNativeFile m_archive;    // the archive being streamed
    int64_t m_nFileLeft = 0;  // its bytes still to send
    std::string m_strFilePath;
    int m_nFailure = 0;             // the code of a step that stopped the body
    std::string m_strTransferNote;  // status and transfer error, for the log
};
