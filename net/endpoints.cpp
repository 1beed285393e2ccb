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

namespace {

std::string FromEnvironment(const char* szName, const char* szDefault) {
    std::optional<std::string> value = GetEnvironmentUtf8(szName);
    return (value && !value->empty()) ? *value : szDefault;
}

std::string WithoutTrailingSlash(std::string strBase) {
    while (!strBase.empty() && strBase.back() == '/')
        strBase.pop_back();
    return strBase;
}

// A board value with a path after "scheme://host" is a whole page address; otherwise the
// board path goes after it.
std::string BoardPage(std::string strValue) {
    const size_t nScheme = strValue.find("://");
    const size_t nHostStart = nScheme == std::string::npos ? 0 : nScheme + 3;
    const size_t nPath = strValue.find('/', nHostStart);
    if (nPath != std::string::npos && nPath + 1 < strValue.size())
        return strValue;
    return WithoutTrailingSlash(std::move(strValue)).append(endpoints::kBoardPath);
}

std::string Join(std::string strBase, std::string_view path) {
    strBase.append(path);
    return strBase;
}

}  // namespace

SEndpoints::SEndpoints()
    : strServiceBase(WithoutTrailingSlash(ZAV_SERVICE_URL_DEFAULT)),
      strPortalBase(WithoutTrailingSlash(ZAV_PORTAL_URL_DEFAULT)),
      strBoardUrl(BoardPage(ZAV_BOARD_URL_DEFAULT)) {}

SEndpoints SEndpoints::FromEnvironment() {
    return FromBases(::FromEnvironment("ZAV_SERVICE_URL", ZAV_SERVICE_URL_DEFAULT),
                     ::FromEnvironment("ZAV_PORTAL_URL", ZAV_PORTAL_URL_DEFAULT),
                     ::FromEnvironment("ZAV_BOARD_URL", ZAV_BOARD_URL_DEFAULT),
                     ::FromEnvironment("ZAV_CA_FILE", ""));
}

SEndpoints SEndpoints::FromBases(std::string strService, std::string strPortal,
                                 std::string strBoard, std::string strCaFile) {
    SEndpoints result;
    result.strServiceBase = WithoutTrailingSlash(std::move(strService));
    result.strPortalBase = WithoutTrailingSlash(std::move(strPortal));
    result.strBoardUrl = BoardPage(strBoard.empty() ? result.strServiceBase : std::move(strBoard));
    result.strCaFile = std::move(strCaFile);
    return result;
}

std::string SEndpoints::ConfigUrl() const {
    return Join(strServiceBase, endpoints::kConfigPath);
}

std::string SEndpoints::LogoUrl() const {
    return Join(strServiceBase, endpoints::kLogoPath);
}

std::string SEndpoints::AuthUrl() const {
    return Join(strServiceBase, endpoints::kAuthPath);
}

std::string SEndpoints::UploadUrl(std::string_view idCp949) const {
    return Join(Join(strServiceBase, endpoints::kUploadPath), idCp949);
}

std::string SEndpoints::ArchiveUrl(std::string_view idCp949, std::string_view archiveName) const {
    return Join(strServiceBase, ArchivePath(idCp949, archiveName));
}

std::string SEndpoints::ArchivePath(std::string_view idCp949, std::string_view archiveName) {
    std::string strPath(endpoints::kUserDataPath);
    strPath.append(idCp949);
    strPath += '/';
    strPath.append(archiveName);
    return strPath;
}

std::string SEndpoints::LoginUrl() const {
    return Join(strPortalBase, endpoints::kLoginPath);
}
