#include "net/endpoints.h"

#include "platform/native_text.h"

#ifndef ZAV_SERVICE_URL_DEFAULT
#define ZAV_SERVICE_URL_DEFAULT "http://127.0.0.1:8080"
#endif
#ifndef ZAV_PORTAL_URL_DEFAULT
#define ZAV_PORTAL_URL_DEFAULT "https://127.0.0.1:8443"
#endif
#ifndef ZAV_BOARD_URL_DEFAULT
#define ZAV_BOARD_URL_DEFAULT "http://127.0.0.1:8080"
#endif

namespace endpoints {
namespace {

std::string FromEnvironment(const char* szName, const char* szDefault) {
    std::optional<std::string> value = GetEnvironmentUtf8(szName);
    return (value && !value->empty()) ? *value : szDefault;
}

std::string Base(const char* szName, const char* szDefault) {
    std::string strBase = FromEnvironment(szName, szDefault);
    while (!strBase.empty() && strBase.back() == '/')
        strBase.pop_back();
    return strBase;
}

std::string Join(std::string strBase, std::string_view path) {
    strBase.append(path);
    return strBase;
}

}  // namespace

std::string ServiceBase() {
    return Base("ZAV_SERVICE_URL", ZAV_SERVICE_URL_DEFAULT);
}

std::string PortalBase() {
    return Base("ZAV_PORTAL_URL", ZAV_PORTAL_URL_DEFAULT);
}

std::string BoardUrl() {
    std::string strValue = FromEnvironment("ZAV_BOARD_URL", ZAV_BOARD_URL_DEFAULT);
    // A path after "scheme://host" means a full page address.
    size_t nScheme = strValue.find("://");
    size_t nHostStart = nScheme == std::string::npos ? 0 : nScheme + 3;
    size_t nPath = strValue.find('/', nHostStart);
    if (nPath != std::string::npos && nPath + 1 < strValue.size())
        return strValue;
    while (!strValue.empty() && strValue.back() == '/')
        strValue.pop_back();
    return Join(std::move(strValue), kBoardPath);
}

std::string CaFile() {
    return FromEnvironment("ZAV_CA_FILE", "");
}

std::string ConfigUrl() {
    return Join(ServiceBase(), kConfigPath);
}

std::string LogoUrl() {
    return Join(ServiceBase(), kLogoPath);
}

std::string AuthUrl() {
    return Join(ServiceBase(), kAuthPath);
}

std::string UploadUrl(std::string_view idCp949) {
    return Join(Join(ServiceBase(), kUploadPath), idCp949);
}

std::string ArchiveUrl(std::string_view idCp949, std::string_view archiveName) {
    std::string strUrl = Join(Join(ServiceBase(), kUserDataPath), idCp949);
    strUrl += '/';
    strUrl.append(archiveName);
    return strUrl;
}

std::string LoginUrl() {
    return Join(PortalBase(), kLoginPath);
}

}  // namespace endpoints
