#include "service/replies.h"

#include <zlib.h>

#include <cstdio>
#include <vector>

#include "service/text_util.h"

namespace zavsvc {
namespace {

constexpr std::string_view kLoginHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<login api=\"zav-01\" result=\"";
constexpr std::string_view kLoginMiddle = "\">\n<text><![CDATA[";
constexpr std::string_view kLoginTail = "]]></text></login>";
static_assert(kLoginHead.size() == 67);
static_assert(kLoginMiddle.size() == 18);
static_assert(kLoginTail.size() == 18);

constexpr size_t kMaxLoginPayload = 200;

// Cuts UTF-8 text to at most nMax bytes without splitting a character.
std::string_view CutUtf8(std::string_view text, size_t nMax) {
    if (text.size() <= nMax) {
        return text;
    }
    size_t n = nMax;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    return text.substr(0, n);
}

void PutBigEndian(std::string& rOut, uint32_t n) {
    rOut += static_cast<char>(n >> 24);
    rOut += static_cast<char>(n >> 16);
    rOut += static_cast<char>(n >> 8);
    rOut += static_cast<char>(n);
}

void PutChunk(std::string& rOut, const char* pszType, const std::string& data) {
    PutBigEndian(rOut, static_cast<uint32_t>(data.size()));
    std::string strTyped = std::string(pszType, 4) + data;
    rOut += strTyped;
    PutBigEndian(rOut,
                 static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(strTyped.data()),
                                             static_cast<uInt>(strTyped.size()))));
}

// A blue gradient banner with a lighter band, 288 x 96, RGB.
std::string MakeLogoPng() {
    constexpr uint32_t kWidth = 288, kHeight = 96;
    std::string strRaw;
    for (uint32_t y = 0; y < kHeight; ++y) {
        strRaw += '\0';  // filter: none
        for (uint32_t x = 0; x < kWidth; ++x) {
            bool bBand = y > 60 && y < 68;
            auto r = static_cast<unsigned char>(bBand ? 95 : 10 + y / 3);
            auto g = static_cast<unsigned char>(bBand ? 173 : 60 + y + x / 12);
            auto b = static_cast<unsigned char>(bBand ? 209 : 140 + x / 4);
            strRaw += static_cast<char>(r);
            strRaw += static_cast<char>(g);
            strRaw += static_cast<char>(b);
        }
    }
    uLongf nPacked = compressBound(static_cast<uLong>(strRaw.size()));
    std::vector<Bytef> vecPacked(nPacked);
    compress2(vecPacked.data(), &nPacked, reinterpret_cast<const Bytef*>(strRaw.data()),
              static_cast<uLong>(strRaw.size()), 9);
    std::string strHeader;
    PutBigEndian(strHeader, kWidth);
    PutBigEndian(strHeader, kHeight);
    strHeader += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no interlace
    std::string strPng("\x89PNG\r\n\x1a\n", 8);
    PutChunk(strPng, "IHDR", strHeader);
    PutChunk(strPng, "IDAT", std::string(reinterpret_cast<const char*>(vecPacked.data()), nPacked));
    PutChunk(strPng, "IEND", "");
    return strPng;
}

}  // namespace

std::string LoginReply(bool bOk, std::string_view payloadUtf8) {
    std::string strReply(kLoginHead);
    strReply += bOk ? "OK" : "ERR";
    strReply += kLoginMiddle;
    strReply += CutUtf8(payloadUtf8, kMaxLoginPayload);
    strReply += kLoginTail;
    return strReply;
}

std::string AuthOk(std::string_view items) {
    return "+OK<br>" + std::string(items);
}

std::string AuthErr(int nStatus, std::string_view messageUtf8) {
    char szFixed[16];
    std::snprintf(szFixed, sizeof szFixed, " %03d <br>\r\n", nStatus % 1000);
    std::string strReply = "-ERR";
    strReply += szFixed;  // 11 bytes: the message starts at byte 15
    strReply += Cp949FromUtf8(messageUtf8).value_or(std::string(messageUtf8));
    return strReply;
}

std::string ConfigText(const SConfigValues& values) {
    std::string strText;
    auto add = [&](const char* pszName, const std::string& strValue) {
        if (!strText.empty()) {
            strText += "<br>";
        }
        strText += pszName;
        strText += '=';
        strText += strValue;
    };
    add("MAX_UPLOAD_LIMIT", std::to_string(values.nMaxUploadMb));
    add("DOWNLOAD_INTERVAL", "10");
    add("DOWNLOAD_ADDPOINT_ENABLE", "N");
    add("DOWNLOAD_DEFAULT_SIZE", "20");
    add("SIZE_FOR_ADDPOINT", "5");
    add("POINT_FOR_DNLOAD", "10");
    add("POINT_FOR_EXCEED", "1");
    add("POINT_FOR_WDB", "0");
    add("CRRT_VERSION", values.strClientVersion);
    return strText;
}

std::string LogoPage() {
    return "<!DOCTYPE html>\n"
           "<html lang=\"ko\"><head><meta charset=\"utf-8\"><title>ZAV</title>\n"
           "<style>html,body{margin:0;padding:0;overflow:hidden;width:288px;height:136px;"
           "background:#fff;font-family:sans-serif}"
           "img{display:block;width:288px;height:96px;border:0}"
           "p{margin:0;height:40px;line-height:40px;text-align:center;font-size:12px;"
           "color:#1d628a}</style></head>\n"
           "<body><img src=\"logo.png\" width=\"288\" height=\"96\" alt=\"ZAV\">"
           "<p>게임 설정을 안전하게 보관하고 언제든 되살립니다.</p></body></html>\n";
}

const std::string& LogoImagePng() {
    static const std::string s_strPng = MakeLogoPng();
    return s_strPng;
}

std::string BoardPage(std::string_view version) {
    std::string strVersion = EscapeForLog(version);
    return "<!DOCTYPE html>\n<html lang=\"ko\"><head><meta charset=\"utf-8\">"
           "<title>ZAV 새 버전 안내</title></head>\n<body>\n"
           "<h1>ZAV 새 버전 안내</h1>\n"
           "<p>사용 중인 프로그램은 더 이상 서비스와 맞지 않습니다. ZAV VER " +
           strVersion +
           "을(를) 내려받아 설치한 뒤 다시 실행하십시오.</p>\n"
           "<p>새 버전은 서비스 운영자에게 받거나, 이 서비스를 운영하는 곳의 배포 "
           "페이지에서 내려받을 수 있습니다. 설정 보관 내용은 그대로 남아 있습니다.</p>\n"
           "</body></html>\n";
}

}  // namespace zavsvc
