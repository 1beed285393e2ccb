// The server's configuration text as ApplyServerConfig reads it, and its number reader against
// strtoll. The version stop's browser and exit are replaced so that a mismatch only returns.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/server_config.h"
#include "app/settings.h"
#include "app/view.h"
#include "platform/codepage.h"

namespace {

class CQuietView : public IMessageView {
public:
    void Message(const std::string& strText) override {
        ++m_nMessages;
        if (!IsValidUtf8(strText))
            abort();
    }
    bool Confirm(const std::string&) override { abort(); }
    int m_nMessages = 0;
};

int g_nStops = 0;

int32_t ReferenceAtoi(const char* szText) {
    errno = 0;
    long long nValue = std::strtoll(szText, nullptr, 10);
    if (nValue > INT32_MAX)
        return INT32_MAX;
    if (nValue < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(nValue);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetVersionStopHooks([](const std::string&) { return true; }, [](int) { ++g_nStops; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string strBody(reinterpret_cast<const char*>(pData), nSize);
    CSettings settings;
    CQuietView view;
    const int nStopsBefore = g_nStops;
    const int nResult = ApplyServerConfig(settings, strBody, view);
    const bool bStopped = g_nStops != nStopsBefore;
    // The version stop is the only message, it always ends the parse with 0, and only it does
    // so after a piece was found.
    if (nResult != 0 && nResult != 1)
        abort();
    if (bStopped != (view.m_nMessages == 1) || view.m_nMessages > 1)
        abort();
    if (bStopped && nResult != 0)
        abort();
    if (!IsValidUtf8(settings.m_strDownloadAddpointEnable))
        abort();

    if (ConfigAtoi(strBody.c_str()) != ReferenceAtoi(strBody.c_str()))
        abort();
    return 0;
}
