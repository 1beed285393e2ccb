// The portal's member login: the password check behind the login slow-down, which treats ids
// that exist and ids that do not alike.

#include <httplib.h>

#include <cstdio>

#include "service/address.h"
#include "service/password.h"
#include "service/replies.h"
#include "service/service.h"
#include "service/text_util.h"

namespace zavsvc {
namespace {

constexpr const char* kLoginType = "text/xml; charset=utf-8";
constexpr const char* kMsgUnknownClient = "등록되지 않은 프로그램입니다.";
constexpr const char* kMsgWrongLogin = "아이디 또는 비밀번호가 올바르지 않습니다.";
constexpr const char* kMsgThrottled =
    "로그인 실패가 반복되었습니다. 잠시후에 다시 시도해 보시기 바랍니다.";
constexpr const char* kMsgStoreFailed =
    "로그인 정보를 저장하지 못하였습니다. 잠시후에 다시 시도해 보시기 바랍니다.";

// How often an unknown id's login looks at the stored hashes' cost again.
constexpr int64_t kCostCheckMs = 60 * 1000;

void Reply(httplib::Response& res, bool bOk, const char* pszText) {
    res.set_content(LoginReply(bOk, pszText), kLoginType);
}

}  // namespace

std::string CService::DummyHash() {
    const int64_t nNow = Now();
    int64_t nChecked = m_nCostCheckedMs.load();
    if ((nNow - nChecked > kCostCheckMs || nNow < nChecked) &&
        m_nCostCheckedMs.compare_exchange_strong(nChecked, nNow)) {
        const int nStored = m_members.MaxHashCost();
        int nCurrent = m_nDummyIterations.load();
        while (nStored > nCurrent && !m_nDummyIterations.compare_exchange_weak(nCurrent, nStored)) {
        }
    }
    return WithHashCost(m_strDummyHash, m_nDummyIterations.load());
}

void CService::MatchDummyCost(const std::string& strStoredHash) {
    const int nCost = HashCost(strStoredHash);
    int nCurrent = m_nDummyIterations.load();
    while (nCost > nCurrent && !m_nDummyIterations.compare_exchange_weak(nCurrent, nCost)) {
    }
}

void CService::OnLogin(const httplib::Request& req, httplib::Response& res,
                       const httplib::ContentReader& reader) {
    std::string strBody;
    if (!ReadSmallBody(req, res, reader, kMaxFormBody, strBody)) {
        Reply(res, false, kMsgWrongLogin);
        return;
    }
    // The client inserts id and password raw: the password is everything after "&pw=".
    std::string_view body = strBody;
    size_t nId = body.find("&id=");
    size_t nPw = nId == std::string_view::npos ? nId : body.find("&pw=", nId + 4);
    if (body.rfind("code=", 0) != 0 || nPw == std::string_view::npos ||
        body.substr(5, nId - 5) != kClientCode) {
        Reply(res, false, kMsgUnknownClient);
        return;
    }
    // The id arrives in CP949; an id that is none still counts its failures under its bytes.
    const std::string strWireId(body.substr(nId + 4, nPw - nId - 4));
    const std::optional<std::string> validId = MemberIdFromWire(strWireId);
    const std::string strId = validId.value_or(strWireId);
    const std::string_view pw = body.substr(nPw + 4);
    const std::string strAddr = ClientAddress(req);
    // Failures count per subscriber: an IPv6 client by its /64, which it can fill at will.
    const std::string strKey = AddressKey(strAddr);
    const int64_t nNow = Now();
    // Every id, known or not, is slowed down alike: which ids exist cannot be told from the
    // answers, and the slow-down is taken before the hash is computed.
    switch (m_members.ReserveLoginAttempt(strId, strKey, nNow)) {
        case CMemberStore::EGate::Open:
            break;
        case CMemberStore::EGate::Throttled:
            Reply(res, false, kMsgThrottled);
            return;
        case CMemberStore::EGate::StoreFailed:
            res.status = 503;
            Reply(res, false, kMsgStoreFailed);
            return;
    }
    std::optional<SMember> member;
    if (validId && !m_members.Lookup(strId, member)) {
        res.status = 503;
        Reply(res, false, kMsgStoreFailed);
        return;
    }
    // An unknown id costs the same hash as the costliest known one.
    if (member) {
        MatchDummyCost(member->strPasswordHash);
    }
    const bool bOk = VerifyPassword(pw, member ? member->strPasswordHash : DummyHash()) &&
                     member.has_value() && !pw.empty();
    if (!bOk) {
        if (!m_members.RecordLoginFailure(strId, strKey, Now())) {
            std::fprintf(stderr, "zav-service: cannot store a failed login\n");
        }
        Reply(res, false, kMsgWrongLogin);
        return;
    }
    // Without the stored binding the member could not use the service: never answer OK then.
    if (!m_members.RecordLoginSuccess(strId, strKey, strAddr, nNow)) {
        res.status = 503;
        Reply(res, false, kMsgStoreFailed);
        return;
    }
    res.set_content(LoginReply(true, member->strNickname), kLoginType);
}

}  // namespace zavsvc
