// The upload script: a multipart body streamed into a staging folder, whose archives replace
// the stored ones all together, and only when the whole body has arrived intact.

#include <httplib.h>

#include <algorithm>
#include <cstdio>

#include "service/multipart.h"
#include "service/service.h"
#include "service/text_util.h"

namespace zavsvc {
namespace {

constexpr const char* kTextType = "text/html; charset=euc-kr";
// Room for part headers and closing lines of a standard form beside the archives.
constexpr int64_t kBodyOverhead = 1 << 20;
// What an announced body is taken to hold beside its archives when it reserves capacity: the
// client's form has 636 bytes of part headers and closing lines.
constexpr int64_t kFormAllowance = 16 * 1024;

// Receives the parts of one upload: each known field into its own staged archive.
class CUploadSink : public IMultipartSink {
public:
    CUploadSink(CUploadStage& stage, int64_t nLimit) : m_stage(stage), m_nLimit(nLimit) {}

    bool OnPartBegin(const SPartHeaders& headers) override {
        m_pCurrent = nullptr;
        const SCategory* pCategory = CategoryByField(headers.strName);
        if (pCategory == nullptr) {
            return true;  // another form field: its content is skipped
        }
        if (m_stage.Holds(*pCategory)) {
            m_strReason = "the field " + headers.strName + " comes twice";
            return false;
        }
        m_pCurrent = m_stage.Add(*pCategory);
        if (m_pCurrent == nullptr) {
            m_strReason = "cannot create a temporary file";
            m_bServerFault = true;
            return false;
        }
        return true;
    }

    bool OnPartData(const char* p, size_t n) override {
        if (m_pCurrent == nullptr) {
            return true;
        }
        m_nArchiveBytes += static_cast<int64_t>(n);
        if (m_nArchiveBytes > m_nLimit) {
            m_strReason = "the archives exceed the upload limit";
            m_bTooLarge = true;
            return false;
        }
        if (!m_pCurrent->Write(p, n)) {
            m_strReason = "cannot write a temporary file";
            m_bServerFault = true;
            return false;
        }
        return true;
    }

    bool OnPartEnd() override {
        m_pCurrent = nullptr;
        return true;
    }

    std::string m_strReason;
    bool m_bTooLarge = false;
    bool m_bServerFault = false;
    int64_t m_nArchiveBytes = 0;

private:
    CUploadStage& m_stage;
    int64_t m_nLimit;
    CTempArchive* m_pCurrent = nullptr;
};

void Refuse(httplib::Response& res, int nStatus, const std::string& strReason) {
    res.status = nStatus;
    res.set_header("Connection", "close");
    res.set_content("-ERR upload refused: " + strReason + "\n", kTextType);
}

}  // namespace

bool CService::CheckUploadRequest(const httplib::Request& req, httplib::Response& res) {
    const auto id = MemberIdFromWire(req.get_param_value("userid"));
    if (!id) {
        Refuse(res, 400, "bad member id");
        return false;
    }
    const std::string& strId = *id;
    std::optional<SMember> member;
    if (!m_members.Lookup(strId, member)) {
        Refuse(res, 503, "the member database cannot be reached");
        return false;
    }
    if (!member || !IsBound(*member, ClientAddress(req))) {
        Refuse(res, 403, "not logged in from this address");
        return false;
    }
    const int64_t nLimit = int64_t{m_options.nMaxUploadMb} * 1000000;
    if (req.has_header("Content-Length") && req.get_header_value<uint64_t>("Content-Length") >
                                                static_cast<uint64_t>(nLimit + kBodyOverhead)) {
        Refuse(res, 413, "the body exceeds the upload limit");
        return false;
    }
    return true;
}

int CService::OnExpectContinue(const httplib::Request& req, httplib::Response& res) {
    // A client that waits for "100 Continue" learns of a refusal before it sends the body.
    if (req.method == "POST" && req.path == "/Kelpo/html/post.php" &&
        !CheckUploadRequest(req, res)) {
        return res.status;
    }
    return 100;
}

void CService::OnUpload(const httplib::Request& req, httplib::Response& res,
                        const httplib::ContentReader& reader) {
    if (!CheckUploadRequest(req, res)) {
        return;
    }
    const std::string strId = MemberIdFromWire(req.get_param_value("userid")).value_or("");
    std::string strType = req.get_header_value("X-Zav-Original-Content-Type");
    auto boundary = MultipartBoundary(strType);
    if (!boundary) {
        Refuse(res, 400, "not a multipart/form-data body");
        return;
    }
    const int64_t nLimit = int64_t{m_options.nMaxUploadMb} * 1000000;
    const int64_t nMaxBody = nLimit + kBodyOverhead;

    // Room for the whole announced body (or the largest one allowed, when it is chunked) is
    // reserved before anything is written, and one upload of a member runs at a time: uploads
    // in progress can then neither fill the disk nor pass the capacity together.
    const int64_t nAnnounced =
        req.has_header("Content-Length")
            ? std::min<int64_t>(
                  static_cast<int64_t>(req.get_header_value<uint64_t>("Content-Length")), nMaxBody)
            : nMaxBody;
    const int64_t nStored = req.has_header("Content-Length") ? MemberStored(strId) : 0;
    if (nStored < 0) {
        Refuse(res, 503, "the archive store cannot be reached");
        return;
    }
    const int64_t nAdded = req.has_header("Content-Length")
                               ? std::max<int64_t>(nAnnounced - kFormAllowance - nStored, 0)
                               : 0;
    const int64_t nCapacity = m_options.nCapacityMb * 1000000;
    // The member's lease, in the database that every instance shares, holds the capacity the
    // upload adds at least; the reservation here holds the disk its staging may fill.
    const std::string strToken = NewUploadToken(Now());
    switch (m_members.TakeUploadLease(strId, strToken, nAdded, nCapacity, Now(),
                                      Now() + kUploadLeaseMs)) {
        case CMemberStore::ELease::Taken:
            break;
        case CMemberStore::ELease::MemberBusy:
            Refuse(res, 409, "another upload of this member is in progress");
            return;
        case CMemberStore::ELease::Full:
            Refuse(res, 507, "the storage is full");
            return;
        case CMemberStore::ELease::StoreFailed:
            Refuse(res, 503, "the member database cannot be reached");
            return;
    }
    struct SLeaseRelease {
        CMemberStore& members;
        const std::string& strId;
        const std::string& strToken;
        ~SLeaseRelease() { members.ReleaseUploadLease(strId, strToken); }
    } leaseRelease{m_members, strId, strToken};
    CUploadReservation reservation(m_capacity, strId, nAnnounced);
    if (reservation.Result() == CCapacityLedger::EReserve::MemberBusy) {
        Refuse(res, 409, "another upload of this member is in progress");
        return;
    }
    if (reservation.Result() == CCapacityLedger::EReserve::Full) {
        Refuse(res, 507, "the storage is full");
        return;
    }

    CUploadStage stage(m_archives, !m_pStore->OnLocalDisk());
    CUploadSink sink(stage, nLimit);
    CMultipartParser parser(*boundary, sink);
    // Every byte of the body counts, whatever part or field it belongs to and however it is
    // framed. After a refusal the rest of the body (within the same bound) is still read and
    // dropped, so that the client gets to see the answer instead of a reset connection.
    int64_t nReceived = 0;
    bool bParsed = true;
    bool bLeaseLost = false;
    int64_t nRenewedMs = Now();
    bool bRead = reader([&](const char* p, size_t n) {
        nReceived += static_cast<int64_t>(n);
        bParsed = bParsed && nReceived <= nMaxBody && parser.Feed(p, n);
        if (Now() - nRenewedMs >= kUploadLeaseRenewMs) {
            nRenewedMs = Now();
            bLeaseLost = bLeaseLost ||
                         !m_members.RenewUploadLease(strId, strToken, nRenewedMs + kUploadLeaseMs);
        }
        return nReceived <= nMaxBody;
    });
    if (nReceived > nMaxBody) {
        Refuse(res, 413, "the body exceeds the upload limit");
        return;
    }
    if (!bRead || !bParsed || !parser.Finish()) {
        if (sink.m_bTooLarge) {
            Refuse(res, 413, sink.m_strReason);
        } else if (sink.m_bServerFault) {
            Refuse(res, 500, sink.m_strReason);
        } else if (!parser.Error().empty()) {
            Refuse(res, 400, sink.m_strReason.empty() ? parser.Error() : sink.m_strReason);
        } else {
            Refuse(res, 400, "the body is incomplete");
        }
        return;
    }
    if (stage.Parts().empty()) {
        Refuse(res, 400, "no archive in the body");
        return;
    }
    if (!stage.Finish()) {
        Refuse(res, 500, "cannot write a temporary file");
        return;
    }

    if (bLeaseLost) {
        Refuse(res, 409, "another upload of this member took over");
        return;
    }
    SCommitLimits limits;
    limits.nUploadLimit = nLimit;
    limits.nCapacityLimit = nCapacity;
    switch (m_pStore->Commit(strId, strToken, stage, limits,
                             FormatLocalTime(static_cast<std::time_t>(Now() / 1000)))) {
        case EStoreResult::Ok:
            break;
        case EStoreResult::OverLimit:
            Refuse(res, 413, "the archives kept and uploaded exceed the upload limit");
            return;
        case EStoreResult::Full:
            Refuse(res, 507, "the storage is full");
            return;
        case EStoreResult::LeaseLost:
            Refuse(res, 409, "another upload of this member took over");
            return;
        case EStoreResult::Unavailable:
            Refuse(res, 503, "the archive store cannot be reached; nothing was stored");
            return;
        case EStoreResult::NotFound:
        case EStoreResult::Failed:
            Refuse(res, 500, "cannot store the archives");
            return;
    }
    std::string strItems;
    for (const auto& part : stage.Parts()) {
        strItems += std::string(strItems.empty() ? "" : "|") + part.pCategory->pszName + "=" +
                    std::to_string(part.pFile->Size());
    }
    res.set_content("+OK<br>" + strItems, kTextType);
}

}  // namespace zavsvc
