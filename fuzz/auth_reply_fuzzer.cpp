// The account script's replies: the shared grammar (ParseAuthReply, du and removeall), the
// free-space reading of the backup command, and the request body built from an id.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "app/auth_reply.h"
#include "backup/free_space.h"
#include "platform/codepage.h"

namespace {

void CheckReply(const std::string& strReply) {
    const SAuthReply reply = ParseAuthReply(strReply);
    const std::string_view text(strReply.c_str());
    switch (reply.eStatus) {
        case SAuthReply::Success:
            if (text.substr(0, 3) != "+OK" || !reply.strMessage.empty())
                abort();
            for (const auto& [strName, strValue] : reply.vecItems) {
                // Each name and value is one non-empty piece of an item cut to 49 bytes.
                if (strName.empty() || strName.size() > 49 || strValue.size() > 49)
                    abort();
                if (strName.find_first_of("|=") != std::string::npos ||
                    strValue.find_first_of("|=") != std::string::npos)
                    abort();
                if (text.find(strName) == std::string_view::npos ||
                    text.find(strValue) == std::string_view::npos)
                    abort();
                if (reply.Find(strName) == std::nullopt)
                    abort();
            }
            break;
        case SAuthReply::Refused:
            if (text.substr(0, 4) != "-ERR" || text.size() < 15 || !IsValidUtf8(reply.strMessage))
                abort();
            if (!reply.vecItems.empty())
                abort();
            break;
        case SAuthReply::Failure:
            if (!reply.vecItems.empty() || !reply.strMessage.empty())
                abort();
            break;
    }
    // The free-space check accepts only "+OK" replies.
    if (FreeSpaceAccepts(strReply) && strReply.compare(0, 3, "+OK") != 0)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string strReply(reinterpret_cast<const char*>(pData), nSize);
    CheckReply(strReply);

    // The same bytes as a member id typed in UTF-8: the body is never longer than its buffer
    // and carries the id whole.
    if (nSize <= 64) {
        const std::optional<std::string> body = MakeAuthBody("du", strReply);
        if (body) {
            std::string strWire;
            if (body->size() > kMaxAuthBodyBytes || !Utf8ToCp949(strReply, strWire) ||
                *body != "mode=du&id=" + strWire)
                abort();
        }
    }
    return 0;
}
