#include "app/auth_reply.h"

#include "platform/codepage.h"

namespace {

// Capacity of the item, name and value buffers of the account script's reply (NUL included).
constexpr std::size_t kItemCapacity = 50;
// Longest reply text the splitter looks at; longer lists are not parsed at all.
constexpr std::size_t kMaxSplitText = 1048577;

// The non-empty pieces of text between occurrences of delim.
std::vector<std::string_view> NonEmptyPieces(std::string_view text, std::string_view delim) {
    std::vector<std::string_view> vec;
    std::size_t nStart = 0;
    while (nStart <= text.size()) {
        std::size_t nPos = text.find(delim, nStart);
        if (nPos == std::string_view::npos)
            nPos = text.size();
        if (nPos > nStart)
            vec.push_back(text.substr(nStart, nPos - nStart));
        if (nPos == text.size())
            break;
        nStart = nPos + delim.size();
    }
    return vec;
}

std::string_view Cut(std::string_view text) {
    return text.substr(0, kItemCapacity - 1);
}

}  // namespace

std::optional<std::string> SAuthReply::Find(std::string_view strName) const {
    std::optional<std::string> value;
    for (const auto& [name, val] : vecItems)
        if (name == strName)
            value = val;
    return value;
}

SAuthReply ParseAuthReply(const std::optional<std::string>& reply) {
    SAuthReply result;
    if (!reply)
        return result;
    std::string_view text(*reply);
    // The reply is read as a C text: nothing after a NUL byte counts.
    text = text.substr(0, text.find('\0'));

    if (text.substr(0, 3) == "+OK") {
        result.eStatus = SAuthReply::Success;
        if (text.size() <= 7)
            return result;
        std::string_view list = text.substr(7);
        if (list.size() > kMaxSplitText)
            return result;
        for (std::string_view item : NonEmptyPieces(list, "|")) {
            std::vector<std::string_view> parts = NonEmptyPieces(Cut(item), "=");
            if (parts.empty())
                continue;
            std::string strValue = parts.size() > 1 ? std::string(Cut(parts[1])) : std::string();
            result.vecItems.emplace_back(std::string(Cut(parts[0])), std::move(strValue));
        }
        return result;
    }
    if (text.substr(0, 4) == "-ERR" && text.size() >= 15) {
        result.eStatus = SAuthReply::Refused;
        result.strMessage = Cp949ToUtf8Lossy(text.substr(15));
    }
    return result;
}

std::optional<std::string> MakeAuthBody(std::string_view strMode, std::string_view strIdUtf8) {
    std::string strId;
    if (!Utf8ToCp949(strIdUtf8, strId))
        return std::nullopt;
    std::string strBody = "mode=";
    strBody.append(strMode).append("&id=").append(strId);
    if (strBody.size() > kMaxAuthBodyBytes)
        return std::nullopt;
    return strBody;
}
