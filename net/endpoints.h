// Every address the program talks to is built here and nowhere else.
//
// Three bases are compiled in (CMake cache variables ZAV_SERVICE_URL_DEFAULT,
// ZAV_PORTAL_URL_DEFAULT, ZAV_BOARD_URL_DEFAULT) and can be overridden at run time by the
// environment variables ZAV_SERVICE_URL, ZAV_PORTAL_URL and ZAV_BOARD_URL (an empty variable
// counts as unset). Bases are given without a trailing '/' (one is dropped if present).
// ZAV_CA_FILE names an extra certificate file that HTTPS requests trust.
//
// Ids and archive names are inserted into URL paths exactly as given: callers pass the CP949
// bytes of the member id, without percent-encoding, as the service expects.
#pragma once

#include <string>
#include <string_view>

namespace endpoints {

// The service's web server, plain HTTP ("http://host[:port]").
std::string ServiceBase();
// The portal's member login host, HTTPS ("https://host[:port]").
std::string PortalBase();
// The portal's board page handed to the web browser on a version mismatch. ZAV_BOARD_URL may
// be a base ("http://host[:port]"), to which the board path is appended, or a full page URL
// with a path, used as it stands.
std::string BoardUrl();
// The extra trusted certificate file for HTTPS, or "" when none is set.
std::string CaFile();

// GET: the configuration text.
std::string ConfigUrl();
// GET by the web view: the logo page.
std::string LogoUrl();
// POST: the account script (modes du, removeall, freespace).
std::string AuthUrl();
// POST multipart: the upload script, "post.php?userid=" followed by the id's CP949 bytes.
std::string UploadUrl(std::string_view idCp949);
// GET (HTTP/1.0): a stored archive, "/Kelpo/UserData/<id>/<archive name>".
std::string ArchiveUrl(std::string_view idCp949, std::string_view archiveName);
// POST over HTTPS: the member login.
std::string LoginUrl();

// The paths themselves, for the service's tests and the documentation.
inline constexpr std::string_view kConfigPath = "/Kelpo/html/new_config.php";
inline constexpr std::string_view kLogoPath = "/Kelpo/html/logo.html";
inline constexpr std::string_view kAuthPath = "/Kelpo/html/auth.php";
inline constexpr std::string_view kUploadPath = "/Kelpo/html/post.php?userid=";
inline constexpr std::string_view kUserDataPath = "/Kelpo/UserData/";
inline constexpr std::string_view kLoginPath = "/app/login";
inline constexpr std::string_view kBoardPath = "/board/powerbbs.php?come_idx=1206";

}  // namespace endpoints
