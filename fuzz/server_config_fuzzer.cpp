// The server's configuration text as ApplyServerConfig reads it, against a plain reading that
// fetches each line by its index with SplitText, and its number reader against strtoll. The
// version stop's browser and exit are replaced so that a mismatch only returns.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/server_config.h"
#include "app/settings.h"
#include "app/split_text.h"
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

int32_t Saturate(int64_t n) {
    return static_cast<int32_t>(std::clamp<int64_t>(n, INT32_MIN, INT32_MAX));
}

// The configuration read the plain way, each line fetched by its index with SplitText (slow
// for long bodies, so only used on short ones). Returns what ApplyServerConfig returns.
EConfigLoad ReferenceApply(CSettings& settings, const std::string& strBody) {
    const char* szBody = strBody.c_str();
    int nPieces = SplitText(szBody, "<br>", 0, nullptr, 0);
    if (nPieces == 0)
        return EConfigLoad::NotLoaded;
    for (int i = 0; i < nPieces; ++i) {
        char szLine[100] = {};
        SplitText(szBody, "<br>", i, szLine, 99);
        char szName[50] = {};
        char szValue[50] = {};
        SplitText(szLine, "=", 0, szName, 49);
        SplitText(szLine, "=", 1, szValue, 49);
        const std::string strName = szName;
        const int64_t nValue = ConfigAtoi(szValue);
        if (strName == "MAX_UPLOAD_LIMIT")
            settings.m_nMaxUploadLimit = Saturate(nValue * 1000000);
        else if (strName == "DOWNLOAD_INTERVAL")
            settings.m_nDownloadInterval = Saturate(nValue * 60);
        else if (strName == "DOWNLOAD_ADDPOINT_ENABLE")
            settings.m_strDownloadAddpointEnable = Cp949ToUtf8Lossy(szValue);
        else if (strName == "DOWNLOAD_DEFAULT_SIZE")
            settings.m_nDownloadDefaultSize = Saturate(nValue * 1000000);
        else if (strName == "SIZE_FOR_ADDPOINT")
            settings.m_nSizeForAddpoint = Saturate(nValue * 1000000);
        else if (strName == "POINT_FOR_DNLOAD")
            settings.m_nPointForDnload = Saturate(nValue);
        else if (strName == "POINT_FOR_EXCEED")
            settings.m_nPointForExceed = Saturate(nValue);
        else if (strName == "POINT_FOR_WDB")
            settings.m_nPointForWdb = Saturate(nValue);
        else if (strName == "CRRT_VERSION" && std::strcmp(szValue, kClientVersion) != 0)
            return EConfigLoad::VersionStop;
    }
    return EConfigLoad::Loaded;
}

bool SameSettings(const CSettings& a, const CSettings& b) {
    return a.m_nMaxUploadLimit == b.m_nMaxUploadLimit &&
           a.m_nDownloadInterval == b.m_nDownloadInterval &&
           a.m_strDownloadAddpointEnable == b.m_strDownloadAddpointEnable &&
           a.m_nDownloadDefaultSize == b.m_nDownloadDefaultSize &&
           a.m_nSizeForAddpoint == b.m_nSizeForAddpoint &&
           a.m_nPointForDnload == b.m_nPointForDnload &&
           a.m_nPointForExceed == b.m_nPointForExceed && a.m_nPointForWdb == b.m_nPointForWdb;
}

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string strBody(reinterpret_cast<const char*>(pData), nSize);
    CSettings settings;
    CQuietView view;
    const EConfigLoad eResult = ApplyServerConfig(settings, strBody, view);
    // The version stop is the only message, and it always ends the parse.
    const bool bStopped = eResult == EConfigLoad::VersionStop;
    if (bStopped != (view.m_nMessages == 1) || view.m_nMessages > 1)
        abort();
    if (!IsValidUtf8(settings.m_strDownloadAddpointEnable))
        abort();
    if (nSize <= 4096) {
        CSettings reference;
        if (ReferenceApply(reference, strBody) != eResult || !SameSettings(settings, reference))
            abort();
    }

    if (ConfigAtoi(strBody.c_str()) != ReferenceAtoi(strBody.c_str()))
        abort();
    return 0;
}
