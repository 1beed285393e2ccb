// The member login's fixed-layout reply, and the login body built from typed fields.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "app/login_logic.h"
#include "platform/codepage.h"

namespace {

void CheckReply(const std::string& strReply) {
    const SLoginReply reply = ParseLoginReply(strReply);
    const std::string_view text(strReply.c_str());
    if (reply.strPayload.size() > kMaxLoginPayloadBytes || !IsValidUtf8(reply.strPayload))
        abort();
    if (reply.eStatus == SLoginReply::Failure && !reply.strPayload.empty())
        abort();
    if (reply.eStatus == SLoginReply::Success && text.substr(67, 2) != "OK")
        abort();
    if (reply.eStatus == SLoginReply::Refused && text.substr(67, 3) != "ERR")
        abort();
    // The payload is the text between the two 18-byte frames.
    if (!reply.strPayload.empty() && text.find(reply.strPayload) == std::string_view::npos)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    CheckReply(std::string(reinterpret_cast<const char*>(pData), nSize));

    FuzzedDataProvider provider(pData, nSize);
    const std::string strId = provider.ConsumeRandomLengthString(120);
    const std::string strPw = provider.ConsumeRandomLengthString(120);
    const std::optional<std::string> body = MakeLoginBody(strId, strPw);
    if (body.has_value() != LoginInputFits(strId, strPw))
        abort();
    if (body) {
        std::string strIdWire;
        std::string strPwWire;
        if (!Utf8ToCp949(strId, strIdWire) || !Utf8ToCp949(strPw, strPwWire))
            abort();
        const std::string strExpected =
            "code=" + std::string(kLoginCode) + "&id=" + strIdWire + "&pw=" + strPwWire;
        if (body->size() > kMaxLoginBodyBytes || *body != strExpected)
            abort();
    }
    return 0;
}
