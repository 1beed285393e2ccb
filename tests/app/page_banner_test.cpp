// The web view's page: what is kept of its HTML (pictures, paragraphs and their look, links),
// how addresses resolve, and the loading of the page and its pictures.
#include "app/page_banner.h"

#include <gtest/gtest.h>

#include "support/scripted_server.h"

namespace {

constexpr const char* kPageUrl = "http://svc.example:8080/Kelpo/html/logo.html";

SPageBanner Parse(const std::string& strHtml) {
    return ParsePageBanner(strHtml, kPageUrl);
}

}  // namespace

TEST(PageBanner, ReadsTheLogoPageAsItsPictureAndItsStyledLine) {
    const SPageBanner banner = Parse(
        "<!DOCTYPE html>\n<html lang=\"ko\"><head><meta charset=\"utf-8\"><title>ZAV</title>\n"
        "<style>html,body{margin:0;overflow:hidden;background:#fff;font-family:sans-serif}"
        "img{display:block;width:288px;height:96px;border:0}"
        "p{margin:0;height:40px;line-height:40px;text-align:center;font-size:12px;"
        "color:#1d628a}</style></head>\n"
        "<body><img src=\"logo.png\" width=\"288\" height=\"96\" alt=\"ZAV\">"
        "<p>게임 설정을 안전하게 보관하고 언제든 되살립니다.</p></body></html>\n");
    ASSERT_EQ(banner.vecBlocks.size(), 2u);
    const SBannerBlock& image = banner.vecBlocks[0];
    EXPECT_EQ(image.eKind, SBannerBlock::Image);
    EXPECT_EQ(image.strSource, "http://svc.example:8080/Kelpo/html/logo.png");
    EXPECT_EQ(image.nWidth, 288);
    EXPECT_EQ(image.nHeight, 96);
    EXPECT_EQ(image.strAlt, "ZAV");
    EXPECT_EQ(image.strLink, "");
    const SBannerBlock& text = banner.vecBlocks[1];
    EXPECT_EQ(text.eKind, SBannerBlock::Text);
    EXPECT_EQ(text.strText, "게임 설정을 안전하게 보관하고 언제든 되살립니다.");
    EXPECT_EQ(text.eAlign, EBannerAlign::Center);
    EXPECT_EQ(text.nColour, 0x1D628Au);
    EXPECT_EQ(text.nFontPixels, 12);
    EXPECT_EQ(text.nLineHeight, 40);
    EXPECT_EQ(banner.nBackground, 0xFFFFFFu);
    EXPECT_EQ(banner.ImageSources(),
              std::vector<std::string>{"http://svc.example:8080/Kelpo/html/logo.png"});
}

TEST(PageBanner, ShowsNoHiddenTextAndDecodesCharacterReferences) {
    const SPageBanner banner = Parse(
        "<head><title>제목</title><script>document.write('<p>x</p>')</script></head>"
        "<!-- <p>주석</p> --><body bgcolor=\"#eeeeee\">"
        "<p>  A &amp; B\n\t&#54620;&#xAE00; &lt;br&gt; &unknown; </p>"
        "<div style=\"display:none\"><p>숨김</p><img src=\"hidden.png\"></div>"
        "<p class=\"note\" align=\"right\">R</p><b>굵게</b><center><h1>큰 제목</h1></center>"
        "<style>.note{color:rgb(1, 2, 3)}</style></body>");
    ASSERT_EQ(banner.vecBlocks.size(), 4u);
    EXPECT_EQ(banner.vecBlocks[0].strText, "A & B 한글 <br> &unknown;");
    EXPECT_EQ(banner.vecBlocks[1].strText, "R");
    EXPECT_EQ(banner.vecBlocks[1].eAlign, EBannerAlign::Right);
    EXPECT_EQ(banner.vecBlocks[1].nColour, 0x010203u);
    EXPECT_TRUE(banner.vecBlocks[2].bBold);
    EXPECT_EQ(banner.vecBlocks[3].strText, "큰 제목");
    EXPECT_EQ(banner.vecBlocks[3].eAlign, EBannerAlign::Center);
    EXPECT_EQ(banner.vecBlocks[3].nFontPixels, 24);
    EXPECT_EQ(banner.nBackground, 0xEEEEEEu);
    EXPECT_TRUE(banner.ImageSources().empty());
}

TEST(PageBanner, FollowsOnlyWebLinksAndFetchesOnlyWebPictures) {
    const SPageBanner banner = Parse(
        "<a href=\"/board/list?page=1\"><img src=\"../img/a.png\"></a>"
        "<a href=\"javascript:alert(1)\"><img src=\"//cdn.example/b.gif\"></a>"
        "<p><a href=\"mailto:op@example\">메일</a></p><p>링크: <a "
        "href=\"HTTPS://Other.example/x\">밖</a>"
        "<img src=\"file:///C:/Windows/win.ini\"><img src=\"data:image/png;base64,AAAA\">"
        "<img src=\"../img/a.png\"><img>");
    ASSERT_EQ(banner.vecBlocks.size(), 5u);
    EXPECT_EQ(banner.vecBlocks[0].strSource, "http://svc.example:8080/Kelpo/img/a.png");
    EXPECT_EQ(banner.vecBlocks[0].strLink, "http://svc.example:8080/board/list?page=1");
    EXPECT_EQ(banner.vecBlocks[1].strSource, "http://cdn.example/b.gif");
    EXPECT_EQ(banner.vecBlocks[1].strLink, "");
    EXPECT_EQ(banner.vecBlocks[2].strLink, "");
    // A paragraph links where a piece of its text does.
    EXPECT_EQ(banner.vecBlocks[3].strText, "링크: 밖");
    EXPECT_EQ(banner.vecBlocks[3].strLink, "https://Other.example/x");
    EXPECT_EQ(banner.ImageSources(),
              (std::vector<std::string>{"http://svc.example:8080/Kelpo/img/a.png",
                                        "http://cdn.example/b.gif"}));

    std::string strMany;
    for (int i = 0; i < 100; ++i)
        strMany += "<p>" + std::to_string(i) + "</p><img src=\"" + std::to_string(i) + ".png\">";
    const SPageBanner many = Parse(strMany);
    EXPECT_EQ(many.vecBlocks.size(), kMaxBannerBlocks);
    EXPECT_EQ(many.ImageSources().size(), kMaxBannerImages);
}

TEST(PageBanner, CutOffPagesEndWithoutAnything) {
    for (const char* szHtml : {"<img src=\"a.png", "<p", "<!-- x", "<style>p{color:", "<a href=",
                               "<script>", "&#", "<", "</", "<p>a<b>b</i></p></div>"}) {
        const SPageBanner banner = Parse(szHtml);
        EXPECT_LE(banner.vecBlocks.size(), 2u) << szHtml;
    }
}

TEST(PageBanner, ResolvesAddressesAsBrowsersDo) {
    const std::string strBase = "http://a/b/c/d;p?q";
    const std::pair<const char*, const char*> cases[] = {
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q"},
        {"", "http://a/b/c/d;p?q"},
        {".", "http://a/b/c/"},
        {"..", "http://a/b/"},
        {"../g", "http://a/b/g"},
        {"../../../g", "http://a/g"},
        {"g;x=1/../y", "http://a/b/c/y"},
        {"HTTPS://h/x/../y", "https://h/y"},
        {" g ", "http://a/b/c/g"},
    };
    for (const auto& [szRef, szExpected] : cases)
        EXPECT_EQ(ResolveUrl(strBase, szRef), szExpected) << szRef;
    EXPECT_EQ(ResolveUrl("http://127.0.0.1:8080", "logo.png"), "http://127.0.0.1:8080/logo.png");

    EXPECT_TRUE(IsWebAddress("https://x/"));
    EXPECT_TRUE(IsWebAddress("HTTP://x"));
    for (const char* szUrl : {"http://", "http:x", "ftp://x/", "javascript:x", "//x/y", "x"})
        EXPECT_FALSE(IsWebAddress(szUrl)) << szUrl;
}

TEST(PageBanner, ReadsAPageInTheKoreanCodePage) {
    EXPECT_EQ(PageTextToUtf8("\xC7\xD1\xB1\xDB"), "한글");
    EXPECT_EQ(PageTextToUtf8("한글"), "한글");
}

TEST(PageBanner, LoadsThePageAndThePicturesThatArrive) {
    const std::string strPng = std::string("\x89PNG\r\n\x1a\n", 8) + "picture";
    CScriptedServer server([&](const CScriptedServer::SRequest& request) {
        const std::string strPath = request.Path();
        if (strPath == "/Kelpo/html/logo.html")
            return CScriptedServer::Reply(
                200, "<img src=\"logo.png\"><img src=\"gone.png\"><img src=\"big.png\"><p>글</p>");
        if (strPath == "/Kelpo/html/logo.png")
            return CScriptedServer::Reply(200, strPng);
        if (strPath == "/Kelpo/html/big.png")
            return CScriptedServer::Reply(200, std::string(kMaxBannerImageBytes + 1, 'x'));
        return CScriptedServer::Reply(404, "not here");
    });
    const SLoadedPage page = LoadPage(server.BaseUrl() + "/Kelpo/html/logo.html", {});
    ASSERT_TRUE(page.bOk);
    EXPECT_EQ(page.banner.vecBlocks.size(), 4u);
    ASSERT_EQ(page.mapImages.size(), 1u);
    EXPECT_EQ(page.mapImages.begin()->first, server.BaseUrl() + "/Kelpo/html/logo.png");
    EXPECT_EQ(page.mapImages.begin()->second, strPng);

    // A stop asked for before the pictures: the page only.
    std::stop_source stop;
    stop.request_stop();
    EXPECT_TRUE(
        LoadPage(server.BaseUrl() + "/Kelpo/html/logo.html", stop.get_token()).mapImages.empty());

    CClosedPort closed;
    EXPECT_FALSE(LoadPage(closed.BaseUrl() + "/Kelpo/html/logo.html", {}).bOk);
}

TEST(PageBanner, KeepsWithinItsLimitsOnAHugePage) {
    // Many rules and deep nesting: read in time, and what lies past the limits is left out.
    std::string strHtml = "<style>";
    for (int i = 0; i < 5000; ++i)
        strHtml += ".c" + std::to_string(i) + "{color:#123456}";
    strHtml += "p{color:#abcdef}</style>";
    for (int i = 0; i < 5000; ++i)
        strHtml += "<div class=\"c1\">";
    strHtml += "<p>깊은 글</p>";
    const SPageBanner banner = Parse(strHtml);
    ASSERT_EQ(banner.vecBlocks.size(), 1u);
    EXPECT_EQ(banner.vecBlocks[0].strText, "깊은 글");
    EXPECT_EQ(banner.vecBlocks[0].nColour, 0x123456u);  // the p rule came after the limit
}
