// Every address the program talks to is built here and nowhere else.
//
// Three bases are compiled in (CMake cache variables ZAV_SERVICE_URL_DEFAULT,
// ZAV_PORTAL_URL_DEFAULT, ZAV_BOARD_URL_DEFAULT) and can be overridden at start-up by the
// environment variables ZAV_SERVICE_URL, ZAV_PORTAL_URL and ZAV_BOARD_URL (an empty variable
// counts as unset). Bases are kept without a trailing '/' (one is dropped if present).
// ZAV_CA_FILE names an extra certificate file that HTTPS requests trust.
//
// Ids and archive names are inserted into URL paths exactly as given: callers pass the CP949
// bytes of the member id, without percent-encoding, as the service expects.
#pragma once

#include <string>
#include <string_view>

// The addresses the program talks to, and the extra certificate its HTTPS trusts. Read once at
// start-up (FromEnvironment) and passed down; nothing reads the environment per request.
struct SEndpoints {
    std::string strServiceBase;  // the service's web server, plain HTTP ("http://host[:port]")
    std::string strPortalBase;   // the portal's member login, HTTPS ("https://host[:port]")
    std::string strBoardUrl;     // the board page handed to a web browser, a whole address
    std::string strCaFile;       // an extra trusted certificate file for HTTPS, "" for none

    // The compiled-in bases.
    SEndpoints();
    // The compiled-in bases, each overridden by its environment variable when that is set
    // and not empty: ZAV_SERVICE_URL, ZAV_PORTAL_URL, ZAV_BOARD_URL, ZAV_CA_FILE.
    static SEndpoints FromEnvironment();
    // Given bases (a trailing '/' is dropped). The board is a base, to which the board path
    // is appended, or a whole page address with a path, used as it stands; "" takes the
    // service's base.
    static SEndpoints FromBases(std::string strService, std::string strPortal,
                                std::string strBoard = {}, std::string strCaFile = {});

    // GET: the configuration text.
    std::string ConfigUrl() const;
    // GET by the web view: the logo page.
    std::string LogoUrl() const;
    // POST: the account script (modes du, removeall, freespace).
    std::string AuthUrl() const;
    // POST multipart: the upload script, "post.php?userid=" followed by the id's CP949 bytes.
    std::string UploadUrl(std::string_view idCp949) const;
    // GET (HTTP/1.0): a stored archive, "/Kelpo/UserData/<id>/<archive name>".
    std::string ArchiveUrl(std::string_view idCp949, std::string_view archiveName) const;
    // Its path alone, "/Kelpo/UserData/<id>/<archive name>" (the request line's target).
    static std::string ArchivePath(std::string_view idCp949, std::string_view archiveName);
    // POST over HTTPS: the member login.
    std::string LoginUrl() const;
};

namespace endpoints {

// The paths themselves, for the service's tests and the documentation.
inline constexpr std::string_view kConfigPath = "/Kelpo/html/new_config.php";
inline constexpr std::string_view kLogoPath = "/Kelpo/html/logo.html";
inline constexpr std::string_view kAuthPath = "/Kelpo/html/auth.php";
inline constexpr std::string_view kUploadPath = "/Kelpo/html/post.php?userid=";
inline constexpr std::string_view kUserDataPath = "/Kelpo/UserData/";
inline constexpr std::string_view kLoginPath = "/app/login";
inline constexpr std::string_view kBoardPath = "/board/powerbbs.php?come_idx=1206";

}  // namespace endpoints
