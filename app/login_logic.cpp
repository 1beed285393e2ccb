#include "app/login_logic.h"

#include "app/auth_reply.h"
#include "net/endpoints.h"
#include "net/http_request.h"
#include "platform/codepage.h"
#include "platform/diag_log.h"

namespace {

// Layout of the login reply.
constexpr std::size_t kStatusPos = 67;
constexpr std::size_t kFrameBytes = 18;
constexpr std::size_t kNicknamePos = kStatusPos + 2 + kFrameBytes;  // 87
constexpr std::size_t kMessagePos = kStatusPos + 3 + kFrameBytes;   // 88

// The payload from nStart up to the last 18 bytes, or nullopt when the reply is too short or
// the payload too long.
std::optional<std::string_view> Payload(std::string_view text, std::size_t nStart) {
    if (text.size() < nStart + kFrameBytes)
        return std::nullopt;
    std::string_view payload = text.substr(nStart, text.size() - kFrameBytes - nStart);
    if (payload.size() > kMaxLoginPayloadBytes)
        return std::nullopt;
    return payload;
}

}  // namespace

std::optional<std::size_t> WireBytes(std::string_view strUtf8) {
    std::string strCp949;
    if (!Utf8ToCp949(strUtf8, strCp949))
        return std::nullopt;
    return strCp949.size();
}

bool LoginInputFits(std::string_view strId, std::string_view strPw) {
    std::optional<std::size_t> nId = WireBytes(strId);
    std::optional<std::size_t> nPw = WireBytes(strPw);
    return nId && nPw && *nId <= kMaxAuthIdBytes && *nId + *nPw <= kMaxLoginInputBytes;
}

std::optional<std::string> MakeLoginBody(std::string_view strId, std::string_view strPw) {
    if (!LoginInputFits(strId, strPw))
        return std::nullopt;
    std::string strIdWire;
    std::string strPwWire;
    Utf8ToCp949(strId, strIdWire);
    Utf8ToCp949(strPw, strPwWire);
    std::string strBody = "code=";
    strBody.append(kLoginCode).append("&id=").append(strIdWire).append("&pw=").append(strPwWire);
    return strBody;
}

SLoginReply ParseLoginReply(const std::optional<std::string>& reply) {
    SLoginReply result;
    if (!reply)
        return result;
    std::string_view text(*reply);
    text = text.substr(0, text.find('\0'));  // read as a C text
    std::optional<std::string_view> payload;
    if (text.size() >= kStatusPos + 2 && text.substr(kStatusPos, 2) == "OK") {
        payload = Payload(text, kNicknamePos);
        if (payload)
            result.eStatus = SLoginReply::Success;
    } else if (text.size() >= kStatusPos + 3 && text.substr(kStatusPos, 3) == "ERR") {
        payload = Payload(text, kMessagePos);
        if (payload)
            result.eStatus = SLoginReply::Refused;
    }
    if (payload && IsValidUtf8(*payload))
        result.strPayload = std::string(*payload);
    return result;
}

SLoginOutcome CLoginLogic::OnLogin(const std::string& strId, const std::string& strPw) {
    if (strId.empty()) {
        m_view.Message(kMsgEnterId);
        return {false, ELoginFocus::Id};
    }
    if (strPw.empty()) {
        m_view.Message(kMsgEnterPw);
        return {false, ELoginFocus::Pw};
    }
    std::optional<std::string> body = MakeLoginBody(strId, strPw);
    if (!body) {
        // The fields refuse such input; never send a cut body.
        m_view.Message(kMsgSystemFailure);
        return {false, ELoginFocus::Id};
    }
    SLoginReply reply = ParseLoginReply(m_settings.Request(
        m_settings.m_endpoints.LoginUrl(), kHttpPost, &*body, m_settings.m_endpoints.strCaFile));
    switch (reply.eStatus) {
        case SLoginReply::Success:
            DiagLog("login: " + strId);
            m_settings.SetId(strId);
            m_settings.SetPw(strPw);
            m_settings.SetNickname(reply.strPayload);
            return {true, ELoginFocus::Id};
        case SLoginReply::Refused:
            DiagLog("login: " + strId + " refused by the portal");
            // A refusal whose text cannot be read would be an empty box: say what failed instead.
            m_view.Message(reply.strPayload.empty() ? kMsgSystemFailure : reply.strPayload);
            return {false, ELoginFocus::Id};
        case SLoginReply::Failure:
            break;
    }
    DiagLog("login: no usable reply from the portal");
    m_view.Message(kMsgSystemFailure);
    return {false, ELoginFocus::Id};
}
