// The web view's page reader on any bytes: it ends, keeps within its limits, and keeps only web
// addresses for pictures and links. The first line of the input is the page's own address.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/page_banner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    std::string_view input(reinterpret_cast<const char*>(pData), nSize);
    std::size_t nLine = input.find('\n');
    std::string_view pageUrl =
        nLine == std::string_view::npos ? "http://h/p" : input.substr(0, nLine);
    std::string_view html = nLine == std::string_view::npos ? input : input.substr(nLine + 1);

    const std::string strHtml = PageTextToUtf8(html);
    const SPageBanner banner = ParsePageBanner(strHtml, pageUrl);
    if (banner.vecBlocks.size() > kMaxBannerBlocks ||
        banner.ImageSources().size() > kMaxBannerImages)
        abort();
    for (const SBannerBlock& block : banner.vecBlocks) {
        if (block.eKind == SBannerBlock::Image && !IsWebAddress(block.strSource))
            abort();
        if (!block.strLink.empty() && !IsWebAddress(block.strLink))
            abort();
        if (block.nWidth < 0 || block.nHeight < 0 || block.nFontPixels <= 0)
            abort();
    }
    // Resolving is idempotent for what it returns.
    const std::string strResolved = ResolveUrl(pageUrl, html.substr(0, 200));
    if (IsWebAddress(strResolved) && ResolveUrl(strResolved, "") != strResolved)
        abort();
    return 0;
}
