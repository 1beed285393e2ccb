// The portal's member login: the password check behind the login slow-down, which treats ids
// that exist and ids that do not alike.

#include <httplib.h>

#include <cstdio>

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

void Reply(httplib::Response& res, bool bOk, const char* pszText) {
    res.set_content(LoginReply(bOk, pszText), kLoginType);
}

}  // namespace

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
    const int64_t nNow = Now();
    // Every id, known or not, is slowed down alike: which ids exist cannot be told from the
    // answers, and the slow-down is taken before the hash is computed.
    switch (m_members.ReserveLoginAttempt(strId, strAddr, nNow)) {
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
    if (validId) {
        member = m_members.Find(strId);
    }
    // An unknown id costs the same hash as a known one.
    const bool bOk = VerifyPassword(pw, member ? member->strPasswordHash : m_strDummyHash) &&
                     member.has_value() && !pw.empty();
    if (!bOk) {
        if (!m_members.RecordLoginFailure(strId, strAddr, Now())) {
            std::fprintf(stderr, "zav-service: cannot store a failed login\n");
        }
        Reply(res, false, kMsgWrongLogin);
        return;
    }
    // Without the stored binding the member could not use the service: never answer OK then.
    if (!m_members.RecordLoginSuccess(strId, strAddr, nNow)) {
        res.status = 503;
        Reply(res, false, kMsgStoreFailed);
        return;
    }
    res.set_content(LoginReply(true, member->strNickname), kLoginType);
}

}  // namespace zavsvc
