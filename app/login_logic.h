// The login dialog without widgets: the input limits, the request body, the fixed-layout
// reply of the member login and the handler OnLogin. CLoginDialog (Qt) forwards to it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "app/app_messages.h"
#include "app/settings.h"
#include "app/view.h"

// Fixed part of the login body; the id and the password follow "&id=" and "&pw=".
inline constexpr std::string_view kLoginCode = "3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f";
// The body buffer holds 149 characters; the fixed text takes 61 of them.
inline constexpr std::size_t kMaxLoginBodyBytes = 149;
inline constexpr std::size_t kMaxLoginInputBytes = 88;  // id and password together (CP949)
// Nickname and refusal text: at most 200 bytes.
inline constexpr std::size_t kMaxLoginPayloadBytes = 200;

// Bytes the text takes on the wire (CP949), or nullopt when CP949 cannot encode it.
std::optional<std::size_t> WireBytes(std::string_view strUtf8);
// Whether an id and a password (UTF-8, as typed) may stand in the login fields: both encodable
// in CP949, the id no longer than the account query allows (38 bytes), both together no longer
// than the login body allows (88 bytes).
bool LoginInputFits(std::string_view strId, std::string_view strPw);

// "code=...&id=<id>&pw=<pw>" with the CP949 bytes as typed, unescaped; nullopt when the input
// does not fit (LoginInputFits).
std::optional<std::string> MakeLoginBody(std::string_view strId, std::string_view strPw);

// The member login's reply as the program reads it: the status word at byte 67 and the payload
// framed by 18 bytes of template text on each side.
struct SLoginReply {
    enum EStatus {
        Failure,  // no reply, no status word, too short, or a payload over 200 bytes
        Success,  // "OK": strPayload is the nickname
        Refused,  // "ERR": strPayload is the message to show
    } eStatus = Failure;
    std::string strPayload;  // UTF-8 as sent; empty when it was not valid UTF-8
};
SLoginReply ParseLoginReply(const std::optional<std::string>& reply);

// Which field gets the focus after a login attempt.
enum class ELoginFocus { Id, Pw };

struct SLoginOutcome {
    bool bLoggedIn = false;  // the account is stored; the caller opens the main window
    ELoginFocus eFocus = ELoginFocus::Id;
};

class CLoginLogic {
public:
    CLoginLogic(IMessageView& view, CSettings& settings) : m_view(view), m_settings(settings) {}

    // The login button and the Enter key: checks the fields, posts the login, reads the reply
    // and shows any message through the view. On success the account is stored in the settings.
    SLoginOutcome OnLogin(const std::string& strId, const std::string& strPw);

private:
    IMessageView& m_view;
    CSettings& m_settings;
};
