#pragma once
// The byte layouts the desktop client reads: the configuration text, the auth.php replies, the
// fixed-layout login reply, and the small pages of the service.

#include <cstdint>
#include <string>
#include <string_view>

namespace zavsvc {

// The fixed client code the desktop client sends with every login.
inline constexpr std::string_view kClientCode = "3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f";

// Login reply: 67 template bytes, "OK" or "ERR", 18 template bytes, the UTF-8 payload, 18
// template bytes. The payload is cut to 200 bytes at a character boundary.
std::string LoginReply(bool bOk, std::string_view payloadUtf8);

// "+OK<br>" followed by the items joined with "|".
std::string AuthOk(std::string_view items);
// "-ERR", 11 fixed bytes (" NNN <br>" CR LF with the status), then the message in CP949.
std::string AuthErr(int nStatus, std::string_view messageUtf8);

struct SConfigValues {
    int nMaxUploadMb = 20;
    std::string strClientVersion = "1.2";
};
std::string ConfigText(const SConfigValues& values);

std::string LogoPage();
const std::string& LogoImagePng();  // 288 x 96 banner
std::string BoardPage(std::string_view version);

}  // namespace zavsvc
