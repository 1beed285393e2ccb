// The service's page in the main window's web view (the logo page), as both windows show it:
// the page is read as the small HTML it is, a banner of pictures and lines of text. Kept: the
// pictures (their address, the size the page gives them, the link around them) and the text
// paragraphs (alignment, colour, size, weight and line height from the page's style sheet, the
// element's style attribute or its old attributes, and the link around them). Left out:
// scripts, frames, forms, tables as tables, and every style property not named here. Addresses
// are resolved against the page's address; only http and https links are followed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

enum class EBannerAlign { Left, Center, Right };

// One picture or one paragraph, in page order.
struct SBannerBlock {
    enum EKind { Image, Text } eKind = Text;
    EBannerAlign eAlign = EBannerAlign::Left;
    std::string strLink;  // an absolute http(s) address, or "" when the block links nowhere
    // Image: the absolute address, and the size the page gives it (0 = the picture's own).
    std::string strSource;
    std::string strAlt;
    int nWidth = 0;
    int nHeight = 0;
    // Text: white space collapsed, character references decoded.
    std::string strText;
    uint32_t nColour = 0x000000;  // 0xRRGGBB
    int nFontPixels = 12;
    bool bBold = false;
    int nLineHeight = 0;  // pixels; 0 = the font's own
};

struct SPageBanner {
    std::vector<SBannerBlock> vecBlocks;
    uint32_t nBackground = 0xFFFFFF;  // the body's background colour

    // The pictures to fetch: distinct addresses in page order, at most kMaxBannerImages.
    std::vector<std::string> ImageSources() const;
};

// A page holds at most this many blocks and pictures; what follows is not shown.
inline constexpr std::size_t kMaxBannerBlocks = 64;
inline constexpr std::size_t kMaxBannerImages = 8;
// Pictures larger than this are not shown (the logo page holds a banner or two).
inline constexpr std::size_t kMaxBannerImageBytes = 4 * 1024 * 1024;

// strHtml is UTF-8 (PageTextToUtf8); strPageUrl the page's own address.
SPageBanner ParsePageBanner(std::string_view strHtml, std::string_view strPageUrl);

// strRef resolved against the absolute address strBase (RFC 3986: scheme, authority, path with
// its dot segments removed, query; the fragment is dropped).
std::string ResolveUrl(std::string_view strBase, std::string_view strRef);
// True for an absolute http or https address: the only links the windows follow.
bool IsWebAddress(std::string_view strUrl);
// The service's pages are UTF-8 or the Korean code page.
std::string PageTextToUtf8(std::string_view bytes);

// What the web view loads, on a thread of its own: the page, then its pictures.
struct SLoadedPage {
    bool bOk = false;     // the page arrived
    std::string strHtml;  // its text, UTF-8
    SPageBanner banner;
    std::map<std::string, std::string> mapImages;  // absolute address -> bytes, those that came
};
// Stops between requests (and within a picture's transfer) once stop is requested.
SLoadedPage LoadPage(const std::string& strUrl, std::stop_token stop);
