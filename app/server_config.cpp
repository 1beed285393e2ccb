#include "app/server_config.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "app/app_messages.h"
#include "app/settings.h"
#include "app/split_text.h"
#include "app/view.h"
#include "net/http_request.h"
#include "platform/codepage.h"

namespace {

enum class EKind { Mega, Minutes, Text, Plain, Version };

struct SConfigName {
    const char* szName;
    EKind eKind;
    int32_t CSettings::*pInt;
};

// In the order each piece is tested against them.
const SConfigName kNames[] = {
    {"MAX_UPLOAD_LIMIT", EKind::Mega, &CSettings::m_nMaxUploadLimit},
    {"DOWNLOAD_INTERVAL", EKind::Minutes, &CSettings::m_nDownloadInterval},
    {"DOWNLOAD_ADDPOINT_ENABLE", EKind::Text, nullptr},
    {"DOWNLOAD_DEFAULT_SIZE", EKind::Mega, &CSettings::m_nDownloadDefaultSize},
    {"SIZE_FOR_ADDPOINT", EKind::Mega, &CSettings::m_nSizeForAddpoint},
    {"POINT_FOR_DNLOAD", EKind::Plain, &CSettings::m_nPointForDnload},
    {"POINT_FOR_EXCEED", EKind::Plain, &CSettings::m_nPointForExceed},
    {"POINT_FOR_WDB", EKind::Plain, &CSettings::m_nPointForWdb},
    {"CRRT_VERSION", EKind::Version, nullptr},
};

int32_t Saturate(int64_t nValue) {
    if (nValue > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (nValue < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(nValue);
}

std::string Format(const char* szTemplate, const std::string& strValue) {
    std::string_view strTemplate = szTemplate;
    size_t nPos = strTemplate.find("%s");
    if (nPos == std::string_view::npos)
        return std::string(strTemplate);
    std::string strText;
    strText.reserve(strTemplate.size() + strValue.size());
    strText.append(strTemplate.substr(0, nPos))
        .append(strValue)
        .append(strTemplate.substr(nPos + 2));
    return strText;
}

// The update message of a version the server does not take.
void ShowVersionStop(const std::string& strServerVersion, IMessageView& view) {
    view.Message(Format(kFmtVersionStop, Cp949ToUtf8Lossy(strServerVersion)));
}

}  // namespace

int32_t ConfigAtoi(const char* szText) {
    const char* p = szText;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool bNegative = false;
    if (*p == '+' || *p == '-')
        bNegative = *p++ == '-';
    int64_t nValue = 0;
    while (*p >= '0' && *p <= '9') {
        nValue = nValue * 10 + (*p++ - '0');
        if (nValue > int64_t{1} << 40)
            break;  // saturates below anyway
    }
    return Saturate(bNegative ? -nValue : nValue);
}

EConfigLoad ApplyServerConfig(CSettings& settings, const std::string& strBody, IMessageView& view) {
    const char* szBody = strBody.c_str();
    int nPieces = SplitText(szBody, "<br>", 0, nullptr, 0);
    if (nPieces == 0)
        return EConfigLoad::NotLoaded;
    if (nPieces < 0)
        return EConfigLoad::Loaded;  // a body over the limit parses nothing
    // The lines in one pass: asking SplitText for each line by its index would rescan the whole
    // body for every line, which a long body turns into hours.
    const std::string_view body(szBody);
    const std::string_view separator("<br>");
    for (size_t nStart = 0; nStart <= body.size();) {
        size_t nFound = std::min(body.find(separator, nStart), body.size());
        std::string_view line = body.substr(nStart, nFound - nStart);
        nStart = nFound + separator.size();
        if (line.empty())
            continue;
        char szLine[100] = {};  // the line cut to 98 bytes
        std::memcpy(szLine, line.data(), std::min<size_t>(line.size(), 98));
        char szBuffer[50] = {};
        SplitText(szLine, "=", 0, szBuffer, 49);
        const SConfigName* pName = nullptr;
        for (const SConfigName& name : kNames) {
            if (std::strcmp(szBuffer, name.szName) == 0) {
                pName = &name;
                break;
            }
        }
        if (pName == nullptr)
            continue;
        std::memset(szBuffer, 0, sizeof(szBuffer));
        SplitText(szLine, "=", 1, szBuffer, 49);
        int64_t nValue = ConfigAtoi(szBuffer);
        switch (pName->eKind) {
            case EKind::Mega:
                settings.*(pName->pInt) = Saturate(nValue * 1000000);
                break;
            case EKind::Minutes:
                settings.*(pName->pInt) = Saturate(nValue * 60);
                break;
            case EKind::Plain:
                settings.*(pName->pInt) = Saturate(nValue);
                break;
            case EKind::Text:
                settings.m_strDownloadAddpointEnable = Cp949ToUtf8Lossy(szBuffer);
                break;
            case EKind::Version:
                if (std::strcmp(szBuffer, kClientVersion) != 0) {
                    ShowVersionStop(szBuffer, view);
                    return EConfigLoad::VersionStop;
                }
                break;
        }
    }
    return EConfigLoad::Loaded;
}

EConfigLoad CSettings::LoadServerConfig(IMessageView& view) {
    std::optional<std::string> body = Request(m_endpoints.ConfigUrl(), kHttpGet);
    if (!body)
        return EConfigLoad::NotLoaded;
    return ApplyServerConfig(*this, *body, view);
}
