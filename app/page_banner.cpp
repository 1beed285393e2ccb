#include "app/page_banner.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>

#include "net/http_request.h"
#include "net/http_transfer.h"
#include "platform/ascii_case.h"
#include "platform/codepage.h"

namespace {

constexpr int kMaxPictureSide = 4096;
// What a page may hold and still be read in time: longer paragraphs are cut, further style
// rules are not read, and elements nested deeper take their parent's place.
constexpr std::size_t kMaxParagraphBytes = 2000;
constexpr std::size_t kMaxStyleRules = 256;
constexpr std::size_t kMaxDepth = 256;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string Lower(std::string_view text) {
    std::string strLower(text);
    for (char& c : strLower)
        c = AsciiLower(c);
    return strLower;
}

// ---- addresses -------------------------------------------------------------------------

struct SUrlParts {
    std::string strScheme;  // without ':'
    std::optional<std::string> authority;
    std::string strPath;
    std::optional<std::string> query;
};

SUrlParts SplitUrl(std::string_view url) {
    SUrlParts parts;
    url = url.substr(0, url.find('#'));
    std::size_t nColon = url.find(':');
    std::size_t nFirstStop = url.find_first_of("/?");
    if (nColon != std::string_view::npos && nColon > 0 &&
        (nFirstStop == std::string_view::npos || nColon < nFirstStop) &&
        std::all_of(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(nColon), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '+' || c == '-' || c == '.';
        })) {
        parts.strScheme = Lower(url.substr(0, nColon));
        url.remove_prefix(nColon + 1);
    }
    if (url.substr(0, 2) == "//") {
        url.remove_prefix(2);
        std::size_t nEnd = url.find_first_of("/?");
        parts.authority = std::string(url.substr(0, nEnd));
        url.remove_prefix(nEnd == std::string_view::npos ? url.size() : nEnd);
    }
    std::size_t nQuery = url.find('?');
    if (nQuery != std::string_view::npos) {
        parts.query = std::string(url.substr(nQuery + 1));
        url = url.substr(0, nQuery);
    }
    parts.strPath = std::string(url);
    return parts;
}

// RFC 3986 5.2.4.
std::string RemoveDotSegments(std::string_view path) {
    std::vector<std::string_view> vecOut;
    const bool bAbsolute = !path.empty() && path.front() == '/';
    std::size_t nStart = bAbsolute ? 1 : 0;
    bool bTrailingSlash = false;
    while (nStart <= path.size()) {
        std::size_t nEnd = path.find('/', nStart);
        std::string_view segment = path.substr(
            nStart, nEnd == std::string_view::npos ? std::string_view::npos : nEnd - nStart);
        bTrailingSlash = segment == "." || segment == "..";
        if (segment == "..") {
            if (!vecOut.empty())
                vecOut.pop_back();
        } else if (segment != ".") {
            vecOut.push_back(segment);
        }
        if (nEnd == std::string_view::npos)
            break;
        nStart = nEnd + 1;
    }
    std::string strOut = bAbsolute ? "/" : "";
    for (std::size_t i = 0; i < vecOut.size(); ++i) {
        if (i > 0)
            strOut += '/';
        strOut += vecOut[i];
    }
    if (bTrailingSlash && !strOut.empty() && strOut.back() != '/')
        strOut += '/';
    return strOut;
}

std::string JoinUrl(const SUrlParts& parts) {
    std::string strUrl;
    if (!parts.strScheme.empty())
        strUrl += parts.strScheme + ":";
    if (parts.authority)
        strUrl += "//" + *parts.authority;
    strUrl += parts.strPath;
    if (parts.query)
        strUrl += "?" + *parts.query;
    return strUrl;
}

// ---- text ------------------------------------------------------------------------------

void AppendCodePoint(std::string& strOut, uint32_t nCode) {
    if (nCode == 0 || nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF))
        nCode = 0xFFFD;
    if (nCode < 0x80) {
        strOut += static_cast<char>(nCode);
    } else if (nCode < 0x800) {
        strOut += static_cast<char>(0xC0 | (nCode >> 6));
        strOut += static_cast<char>(0x80 | (nCode & 0x3F));
    } else if (nCode < 0x10000) {
        strOut += static_cast<char>(0xE0 | (nCode >> 12));
        strOut += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
        strOut += static_cast<char>(0x80 | (nCode & 0x3F));
    } else {
        strOut += static_cast<char>(0xF0 | (nCode >> 18));
        strOut += static_cast<char>(0x80 | ((nCode >> 12) & 0x3F));
        strOut += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
        strOut += static_cast<char>(0x80 | (nCode & 0x3F));
    }
}

// The character references of text decoded; unknown ones stay as they are.
std::string DecodeEntities(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, uint32_t>, 7> kNamed = {{
        {"amp", '&'},
        {"lt", '<'},
        {"gt", '>'},
        {"quot", '"'},
        {"apos", '\''},
        {"nbsp", 0xA0},
        {"middot", 0xB7},
    }};
    std::string strOut;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '&') {
            strOut += text[i++];
            continue;
        }
        std::size_t nSemi = text.find(';', i);
        if (nSemi == std::string_view::npos || nSemi - i > 10) {
            strOut += text[i++];
            continue;
        }
        std::string_view name = text.substr(i + 1, nSemi - i - 1);
        std::optional<uint32_t> code;
        if (name.size() > 1 && name[0] == '#') {
            const bool bHex = name[1] == 'x' || name[1] == 'X';
            std::string_view digits = name.substr(bHex ? 2 : 1);
            uint32_t nValue = 0;
            bool bOk = !digits.empty();
            for (char c : digits) {
                int nDigit = c >= '0' && c <= '9'           ? c - '0'
                             : bHex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                             : bHex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                            : -1;
                if (nDigit < 0 || nValue > 0x10FFFF) {
                    bOk = false;
                    break;
                }
                nValue = nValue * (bHex ? 16 : 10) + static_cast<uint32_t>(nDigit);
            }
            if (bOk)
                code = nValue;
        } else {
            for (const auto& [key, nValue] : kNamed)
                if (key == name)
                    code = nValue;
        }
        if (!code) {
            strOut += text[i++];
            continue;
        }
        AppendCodePoint(strOut, *code);
        i = nSemi + 1;
    }
    return strOut;
}

// ---- style -----------------------------------------------------------------------------

std::optional<uint32_t> ParseColour(std::string_view value) {
    std::string strValue = Lower(Trim(value));
    static constexpr std::array<std::pair<std::string_view, uint32_t>, 16> kNames = {{
        {"black", 0x000000},
        {"white", 0xFFFFFF},
        {"red", 0xFF0000},
        {"green", 0x008000},
        {"blue", 0x0000FF},
        {"navy", 0x000080},
        {"gray", 0x808080},
        {"grey", 0x808080},
        {"silver", 0xC0C0C0},
        {"maroon", 0x800000},
        {"purple", 0x800080},
        {"teal", 0x008080},
        {"orange", 0xFFA500},
        {"yellow", 0xFFFF00},
        {"lime", 0x00FF00},
        {"aqua", 0x00FFFF},
    }};
    for (const auto& [name, nColour] : kNames)
        if (strValue == name)
            return nColour;
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (!strValue.empty() && strValue[0] == '#') {
        std::string_view digits = std::string_view(strValue).substr(1);
        if (std::any_of(digits.begin(), digits.end(), [&](char c) { return hex(c) < 0; }))
            return std::nullopt;
        if (digits.size() == 3) {
            uint32_t nColour = 0;
            for (char c : digits)
                nColour = (nColour << 8) | static_cast<uint32_t>(hex(c) * 17);
            return nColour;
        }
        if (digits.size() == 6)
            return static_cast<uint32_t>(std::strtoul(std::string(digits).c_str(), nullptr, 16));
        return std::nullopt;
    }
    if (strValue.rfind("rgb(", 0) == 0 && strValue.back() == ')') {
        std::string_view inner = std::string_view(strValue).substr(4, strValue.size() - 5);
        uint32_t nColour = 0;
        int nParts = 0;
        while (nParts < 3) {
            std::size_t nComma = inner.find(',');
            std::string strPart(Trim(inner.substr(0, nComma)));
            if (strPart.empty() || !std::all_of(strPart.begin(), strPart.end(),
                                                [](char c) { return c >= '0' && c <= '9'; }))
                return std::nullopt;
            long nPart = std::min(255L, std::strtol(strPart.substr(0, 4).c_str(), nullptr, 10));
            nColour = (nColour << 8) | static_cast<uint32_t>(nPart);
            ++nParts;
            if (nComma == std::string_view::npos)
                break;
            inner.remove_prefix(nComma + 1);
        }
        return nParts == 3 ? std::optional<uint32_t>(nColour) : std::nullopt;
    }
    return std::nullopt;
}

// "12px", "9pt" or a plain number, in pixels.
std::optional<int> ParseLength(std::string_view value) {
    std::string strValue = Lower(Trim(value));
    std::size_t nDigits = 0;
    while (nDigits < strValue.size() && nDigits < 6 && strValue[nDigits] >= '0' &&
           strValue[nDigits] <= '9')
        ++nDigits;
    if (nDigits == 0)
        return std::nullopt;
    int nValue = std::atoi(strValue.substr(0, nDigits).c_str());
    std::string_view unit = std::string_view(strValue).substr(nDigits);
    if (!unit.empty() && unit[0] == '.') {  // a fraction is dropped
        unit.remove_prefix(1);
        while (!unit.empty() && unit[0] >= '0' && unit[0] <= '9')
            unit.remove_prefix(1);
    }
    if (unit == "pt")
        nValue = nValue * 4 / 3;
    else if (!unit.empty() && unit != "px")
        return std::nullopt;
    return std::min(nValue, kMaxPictureSide);
}

// "left", "center" or "right" (any case).
std::optional<EBannerAlign> ParseAlign(std::string_view value) {
    const std::string strValue = Lower(Trim(value));
    if (strValue == "center")
        return EBannerAlign::Center;
    if (strValue == "right")
        return EBannerAlign::Right;
    if (strValue == "left")
        return EBannerAlign::Left;
    return std::nullopt;
}

struct SStyle {
    EBannerAlign eAlign = EBannerAlign::Left;
    uint32_t nColour = 0x000000;
    int nFontPixels = 12;
    bool bBold = false;
    int nLineHeight = 0;
    bool bHidden = false;
    // Not inherited.
    int nWidth = 0;
    int nHeight = 0;
    std::optional<uint32_t> background;
};

using Declarations = std::vector<std::pair<std::string, std::string>>;

Declarations ParseDeclarations(std::string_view text) {
    Declarations decls;
    while (!text.empty()) {
        std::size_t nEnd = text.find(';');
        std::string_view decl = text.substr(0, nEnd);
        std::size_t nColon = decl.find(':');
        if (nColon != std::string_view::npos) {
            std::string strValue(Trim(decl.substr(nColon + 1)));
            std::size_t nImportant = Lower(strValue).find("!important");
            if (nImportant != std::string::npos)
                strValue = std::string(Trim(std::string_view(strValue).substr(0, nImportant)));
            decls.emplace_back(Lower(Trim(decl.substr(0, nColon))), strValue);
        }
        if (nEnd == std::string_view::npos)
            break;
        text.remove_prefix(nEnd + 1);
    }
    return decls;
}

void ApplyDeclarations(SStyle& style, const Declarations& decls) {
    for (const auto& [strName, strValue] : decls) {
        const std::string strLower = Lower(strValue);
        if (strName == "color") {
            if (auto colour = ParseColour(strValue))
                style.nColour = *colour;
        } else if (strName == "background" || strName == "background-color") {
            std::string_view first = Trim(strValue);
            first = first.substr(0, first.find(' '));
            if (auto colour = ParseColour(first))
                style.background = *colour;
        } else if (strName == "text-align") {
            style.eAlign = ParseAlign(strValue).value_or(style.eAlign);
        } else if (strName == "font-size") {
            if (auto length = ParseLength(strValue); length && *length > 0)
                style.nFontPixels = std::min(*length, 200);
        } else if (strName == "font-weight") {
            style.bBold = strLower == "bold" || strLower == "bolder" ||
                          (strLower.size() == 3 && strLower >= "600" && strLower <= "900");
        } else if (strName == "line-height") {
            if (auto length = ParseLength(strValue))
                style.nLineHeight = std::min(*length, 1000);
        } else if (strName == "display") {
            style.bHidden = style.bHidden || strLower == "none";
        } else if (strName == "visibility") {
            style.bHidden = style.bHidden || strLower == "hidden";
        } else if (strName == "width") {
            if (auto length = ParseLength(strValue))
                style.nWidth = *length;
        } else if (strName == "height") {
            if (auto length = ParseLength(strValue))
                style.nHeight = *length;
        }
    }
}

// A rule of a style sheet whose selector is an element, a class, an id or an element with a
// class or an id; other selectors are not understood and their rules are passed over.
struct SCssRule {
    std::string strTag;  // "" = any
    std::string strClass;
    std::string strId;
    int nSpecificity = 0;
    std::size_t nOrder = 0;
    Declarations decls;
};

void ParseStyleSheet(std::string_view text, std::vector<SCssRule>& vecRules) {
    std::string strText;
    // Comments out.
    for (std::size_t i = 0; i < text.size();) {
        if (text.substr(i, 2) == "/*") {
            std::size_t nEnd = text.find("*/", i + 2);
            i = nEnd == std::string_view::npos ? text.size() : nEnd + 2;
        } else {
            strText += text[i++];
        }
    }
    std::string_view rest = strText;
    while (!rest.empty()) {
        std::size_t nOpen = rest.find('{');
        if (nOpen == std::string_view::npos)
            break;
        std::size_t nClose = rest.find('}', nOpen);
        std::string_view selectors = rest.substr(0, nOpen);
        std::string_view body =
            rest.substr(nOpen + 1, nClose == std::string_view::npos ? std::string_view::npos
                                                                    : nClose - nOpen - 1);
        rest.remove_prefix(nClose == std::string_view::npos ? rest.size() : nClose + 1);
        if (selectors.find('@') != std::string_view::npos)
            continue;  // at-rules (a @media block's inner rules are read as rules of their own)
        const Declarations decls = ParseDeclarations(body);
        while (!selectors.empty()) {
            std::size_t nComma = selectors.find(',');
            std::string strSelector = Lower(Trim(selectors.substr(0, nComma)));
            selectors.remove_prefix(nComma == std::string_view::npos ? selectors.size()
                                                                     : nComma + 1);
            if (strSelector.empty() || strSelector.find_first_of(" >+~:[*") != std::string::npos)
                continue;
            SCssRule rule;
            std::size_t nMark = strSelector.find_first_of(".#");
            rule.strTag = strSelector.substr(0, nMark);
            if (nMark != std::string::npos) {
                std::string strName = strSelector.substr(nMark + 1);
                if (strName.find_first_of(".#") != std::string::npos)
                    continue;
                (strSelector[nMark] == '.' ? rule.strClass : rule.strId) = strName;
            }
            rule.nSpecificity = (rule.strId.empty() ? 0 : 100) + (rule.strClass.empty() ? 0 : 10) +
                                (rule.strTag.empty() ? 0 : 1);
            rule.nOrder = vecRules.size();
            rule.decls = decls;
            if (vecRules.size() < kMaxStyleRules)
                vecRules.push_back(std::move(rule));
        }
    }
    std::stable_sort(vecRules.begin(), vecRules.end(), [](const SCssRule& a, const SCssRule& b) {
        return a.nSpecificity != b.nSpecificity ? a.nSpecificity < b.nSpecificity
                                                : a.nOrder < b.nOrder;
    });
}

// ---- tags ------------------------------------------------------------------------------

struct STag {
    std::string strName;  // lower case, "" for none
    bool bClosing = false;
    bool bSelfClosing = false;
    std::vector<std::pair<std::string, std::string>> vecAttributes;  // names lower case

    std::optional<std::string> Attribute(std::string_view name) const {
        for (const auto& [strKey, strValue] : vecAttributes)
            if (strKey == name)
                return strValue;
        return std::nullopt;
    }
};

// The tag starting at html[nPos] ('<'); nPos is moved past it.
STag ReadTag(std::string_view html, std::size_t& nPos) {
    STag tag;
    std::size_t i = nPos + 1;
    if (i < html.size() && html[i] == '/') {
        tag.bClosing = true;
        ++i;
    }
    std::size_t nNameStart = i;
    while (i < html.size() && !IsSpace(html[i]) && html[i] != '>' && html[i] != '/')
        ++i;
    tag.strName = Lower(html.substr(nNameStart, i - nNameStart));
    while (i < html.size() && html[i] != '>') {
        if (IsSpace(html[i]) || html[i] == '/') {
            tag.bSelfClosing = html[i] == '/';
            ++i;
            continue;
        }
        std::size_t nStart = i;
        while (i < html.size() && !IsSpace(html[i]) && html[i] != '>' && html[i] != '=' &&
               html[i] != '/')
            ++i;
        std::string strName = Lower(html.substr(nStart, i - nStart));
        if (strName.empty()) {
            ++i;  // a stray '=' or quote
            continue;
        }
        while (i < html.size() && IsSpace(html[i]))
            ++i;
        std::string strValue;
        if (i < html.size() && html[i] == '=') {
            ++i;
            while (i < html.size() && IsSpace(html[i]))
                ++i;
            if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
                const char cQuote = html[i++];
                std::size_t nEnd = html.find(cQuote, i);
                if (nEnd == std::string_view::npos)
                    nEnd = html.size();
                strValue = DecodeEntities(html.substr(i, nEnd - i));
                i = nEnd + 1;
            } else {
                std::size_t nValueStart = i;
                while (i < html.size() && !IsSpace(html[i]) && html[i] != '>')
                    ++i;
                strValue = DecodeEntities(html.substr(nValueStart, i - nValueStart));
            }
        }
        tag.vecAttributes.emplace_back(std::move(strName), std::move(strValue));
    }
    nPos = std::min(i + 1, html.size());
    return tag;
}

bool IsOneOf(std::string_view name, std::initializer_list<std::string_view> names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool IsVoid(std::string_view name) {
    return IsOneOf(name, {"img", "br", "hr", "meta", "link", "input", "area", "base", "col",
                          "embed", "param", "source", "track", "wbr"});
}

bool IsBlock(std::string_view name) {
    return IsOneOf(
        name, {"p",          "div",  "br",   "hr",    "h1",         "h2",      "h3",      "h4",
               "h5",         "h6",   "li",   "ul",    "ol",         "dl",      "dt",      "dd",
               "tr",         "td",   "th",   "table", "center",     "section", "article", "header",
               "footer",     "nav",  "main", "aside", "blockquote", "pre",     "address", "figure",
               "figcaption", "body", "html", "form"});
}

// Elements whose text is never shown: read to their end tag and passed over.
bool IsRawText(std::string_view name) {
    return IsOneOf(name, {"script", "style", "title", "textarea", "template", "noscript", "iframe",
                          "xmp", "noembed", "noframes"});
}

// Elements whose content is not shown.
bool IsHiddenContainer(std::string_view name) {
    return IsOneOf(name, {"head", "select", "svg", "object", "canvas", "video", "audio", "map",
                          "button", "frameset"});
}

class CBannerBuilder {
public:
    CBannerBuilder(std::string_view strPageUrl, std::vector<SCssRule> vecRules)
        : m_strBase(strPageUrl), m_vecRules(std::move(vecRules)) {
        m_stack.push_back({"", SStyle{}, ""});
    }

    void OnTag(const STag& tag) {
        if (tag.strName.empty())
            return;
        if (tag.bClosing) {
            Close(tag.strName);
            return;
        }
        if (tag.strName == "base") {
            if (auto href = tag.Attribute("href"))
                m_strBase = ResolveUrl(m_strBase, *href);
            return;
        }
        if (IsBlock(tag.strName))
            FlushParagraph();
        if (tag.strName == "p" && m_stack.back().strName == "p")
            Close("p");
        SElement element{tag.strName, StyleOf(tag), m_stack.back().strLink};
        if (tag.strName == "a") {
            std::string strHref = ResolveUrl(m_strBase, tag.Attribute("href").value_or(""));
            element.strLink = tag.Attribute("href") && IsWebAddress(strHref) ? strHref : "";
        }
        if (tag.strName == "body" || tag.strName == "html") {
            if (auto colour = tag.Attribute("bgcolor"); colour && ParseColour(*colour))
                element.style.background = ParseColour(*colour);
            if (element.style.background && !element.style.bHidden)
                m_banner.nBackground = *element.style.background;
        }
        if (tag.strName == "img") {
            OnImage(tag, element);
            return;
        }
        if (!IsVoid(tag.strName) && !tag.bSelfClosing && m_stack.size() < kMaxDepth)
            m_stack.push_back(std::move(element));
    }

    void OnText(std::string_view text) {
        const SElement& top = m_stack.back();
        if (top.style.bHidden)
            return;
        std::string strText = DecodeEntities(text);
        for (char c : strText) {
            if (IsSpace(c)) {
                m_bPendingSpace = !m_strParagraph.empty();
                continue;
            }
            if (m_strParagraph.empty()) {
                m_paragraphStyle = top.style;
                m_strParagraphLink.clear();
            }
            if (m_strParagraphLink.empty())
                m_strParagraphLink = top.strLink;
            if (m_strParagraph.size() >= kMaxParagraphBytes)
                continue;
            if (m_bPendingSpace)
                m_strParagraph += ' ';
            m_bPendingSpace = false;
            m_strParagraph += c;
        }
    }

    SPageBanner Finish() {
        FlushParagraph();
        return std::move(m_banner);
    }

private:
    struct SElement {
        std::string strName;
        SStyle style;
        std::string strLink;
    };

    SStyle StyleOf(const STag& tag) const {
        const SStyle& parent = m_stack.back().style;
        SStyle style;
        style.eAlign = parent.eAlign;
        style.nColour = parent.nColour;
        style.nFontPixels = parent.nFontPixels;
        style.bBold = parent.bBold;
        style.nLineHeight = parent.nLineHeight;
        style.bHidden = parent.bHidden || IsHiddenContainer(tag.strName);
        static constexpr std::array<int, 6> kHeadingPixels = {24, 18, 14, 12, 10, 9};
        if (tag.strName.size() == 2 && tag.strName[0] == 'h' && tag.strName[1] >= '1' &&
            tag.strName[1] <= '6') {
            style.bBold = true;
            style.nFontPixels = kHeadingPixels[static_cast<std::size_t>(tag.strName[1] - '1')];
        }
        if (IsOneOf(tag.strName, {"b", "strong", "th"}))
            style.bBold = true;
        if (tag.strName == "center")
            style.eAlign = EBannerAlign::Center;
        if (tag.strName == "font") {
            if (auto colour = ParseColour(tag.Attribute("color").value_or("")))
                style.nColour = *colour;
        }
        if (auto align = tag.Attribute("align"); align && IsBlock(tag.strName))
            style.eAlign = ParseAlign(*align).value_or(style.eAlign);
        const std::string strId = Lower(tag.Attribute("id").value_or(""));
        std::vector<std::string> vecClasses;
        const std::string strClasses = Lower(Trim(tag.Attribute("class").value_or("")));
        for (std::size_t i = 0; i < strClasses.size();) {
            std::size_t nEnd = strClasses.find(' ', i);
            std::string strClass = strClasses.substr(i, nEnd - i);
            if (!strClass.empty())
                vecClasses.push_back(strClass);
            i = nEnd == std::string::npos ? strClasses.size() : nEnd + 1;
        }
        for (const SCssRule& rule : m_vecRules) {
            if (!rule.strTag.empty() && rule.strTag != tag.strName)
                continue;
            if (!rule.strId.empty() && rule.strId != strId)
                continue;
            if (!rule.strClass.empty() &&
                std::find(vecClasses.begin(), vecClasses.end(), rule.strClass) == vecClasses.end())
                continue;
            ApplyDeclarations(style, rule.decls);
        }
        if (auto inlineStyle = tag.Attribute("style"))
            ApplyDeclarations(style, ParseDeclarations(*inlineStyle));
        return style;
    }

    void OnImage(const STag& tag, const SElement& element) {
        FlushParagraph();
        auto source = tag.Attribute("src");
        if (element.style.bHidden || !source || Trim(*source).empty())
            return;
        SBannerBlock block;
        block.eKind = SBannerBlock::Image;
        block.strSource = ResolveUrl(m_strBase, Trim(*source));
        if (!IsWebAddress(block.strSource))
            return;
        block.strAlt = tag.Attribute("alt").value_or("");
        block.strLink = element.strLink;
        block.eAlign = element.style.eAlign;
        auto size = [&](const char* szName, int nStyle) {
            std::optional<int> length = ParseLength(tag.Attribute(szName).value_or(""));
            return std::clamp(nStyle > 0 ? nStyle : length.value_or(0), 0, kMaxPictureSide);
        };
        block.nWidth = size("width", element.style.nWidth);
        block.nHeight = size("height", element.style.nHeight);
        Add(std::move(block));
    }

    void Close(std::string_view name) {
        for (std::size_t i = m_stack.size(); i-- > 1;) {
            if (m_stack[i].strName == name) {
                if (IsBlock(name))
                    FlushParagraph();
                m_stack.resize(i);
                return;
            }
        }
        if (IsBlock(name))
            FlushParagraph();
    }

    void FlushParagraph() {
        m_bPendingSpace = false;
        if (m_strParagraph.empty())
            return;
        SBannerBlock block;
        block.eKind = SBannerBlock::Text;
        block.strText = std::move(m_strParagraph);
        block.strLink = m_strParagraphLink;
        block.eAlign = m_paragraphStyle.eAlign;
        block.nColour = m_paragraphStyle.nColour;
        block.nFontPixels = m_paragraphStyle.nFontPixels;
        block.bBold = m_paragraphStyle.bBold;
        block.nLineHeight = m_paragraphStyle.nLineHeight;
        m_strParagraph.clear();
        Add(std::move(block));
    }

    void Add(SBannerBlock block) {
        if (m_banner.vecBlocks.size() < kMaxBannerBlocks)
            m_banner.vecBlocks.push_back(std::move(block));
    }

    std::string m_strBase;
    std::vector<SCssRule> m_vecRules;
    std::vector<SElement> m_stack;
    SPageBanner m_banner;
    std::string m_strParagraph;
    std::string m_strParagraphLink;
    SStyle m_paragraphStyle;
    bool m_bPendingSpace = false;
};

// The position of "</name" (any case) from nFrom, or the end of html.
std::size_t FindEndTag(std::string_view html, std::string_view name, std::size_t nFrom) {
    const std::string strNeedle = "</" + std::string(name);
    for (std::size_t i = html.find("</", nFrom); i != std::string_view::npos;
         i = html.find("</", i + 2)) {
        if (Lower(html.substr(i, strNeedle.size())) == strNeedle)
            return i;
    }
    return html.size();
}

}  // namespace

std::vector<std::string> SPageBanner::ImageSources() const {
    std::vector<std::string> vecSources;
    for (const SBannerBlock& block : vecBlocks) {
        if (block.eKind != SBannerBlock::Image || vecSources.size() >= kMaxBannerImages ||
            std::find(vecSources.begin(), vecSources.end(), block.strSource) != vecSources.end())
            continue;
        vecSources.push_back(block.strSource);
    }
    return vecSources;
}

std::string ResolveUrl(std::string_view strBase, std::string_view strRef) {
    strRef = Trim(strRef);
    const SUrlParts base = SplitUrl(strBase);
    const SUrlParts ref = SplitUrl(strRef);
    SUrlParts target;
    if (!ref.strScheme.empty()) {
        target = ref;
        target.strPath = RemoveDotSegments(ref.strPath);
    } else {
        target.strScheme = base.strScheme;
        if (ref.authority) {
            target.authority = ref.authority;
            target.strPath = RemoveDotSegments(ref.strPath);
            target.query = ref.query;
        } else {
            target.authority = base.authority;
            if (ref.strPath.empty()) {
                target.strPath = base.strPath;
                target.query = ref.query ? ref.query : base.query;
            } else {
                if (ref.strPath.front() == '/') {
                    target.strPath = RemoveDotSegments(ref.strPath);
                } else {
                    std::string strMerged;
                    if (base.authority && base.strPath.empty()) {
                        strMerged = "/" + ref.strPath;
                    } else {
                        std::size_t nSlash = base.strPath.rfind('/');
                        strMerged =
                            (nSlash == std::string::npos ? std::string()
                                                         : base.strPath.substr(0, nSlash + 1)) +
                            ref.strPath;
                    }
                    target.strPath = RemoveDotSegments(strMerged);
                }
                target.query = ref.query;
            }
        }
    }
    return JoinUrl(target);
}

bool IsWebAddress(std::string_view strUrl) {
    const SUrlParts parts = SplitUrl(strUrl);
    return (parts.strScheme == "http" || parts.strScheme == "https") && parts.authority &&
           !parts.authority->empty();
}

std::string PageTextToUtf8(std::string_view bytes) {
    return IsValidUtf8(bytes) ? std::string(bytes) : Cp949ToUtf8Lossy(bytes);
}

SPageBanner ParsePageBanner(std::string_view strHtml, std::string_view strPageUrl) {
    // The style sheets first: their rules apply to the whole page.
    std::vector<SCssRule> vecRules;
    for (std::size_t i = strHtml.find('<'); i != std::string_view::npos;
         i = strHtml.find('<', i + 1)) {
        if (Lower(strHtml.substr(i, 6)) != "<style")
            continue;
        std::size_t nPos = i;
        STag tag = ReadTag(strHtml, nPos);
        if (tag.strName != "style")
            continue;
        std::size_t nEnd = FindEndTag(strHtml, "style", nPos);
        ParseStyleSheet(strHtml.substr(nPos, nEnd - nPos), vecRules);
        i = nEnd;
        if (i >= strHtml.size())
            break;
    }

    CBannerBuilder builder(strPageUrl, std::move(vecRules));
    std::size_t i = 0;
    while (i < strHtml.size()) {
        std::size_t nLt = strHtml.find('<', i);
        if (nLt == std::string_view::npos) {
            builder.OnText(strHtml.substr(i));
            break;
        }
        if (nLt > i)
            builder.OnText(strHtml.substr(i, nLt - i));
        i = nLt;
        const char cNext = i + 1 < strHtml.size() ? strHtml[i + 1] : '\0';
        if (strHtml.substr(i, 4) == "<!--") {
            std::size_t nEnd = strHtml.find("-->", i + 4);
            i = nEnd == std::string_view::npos ? strHtml.size() : nEnd + 3;
        } else if (cNext == '!' || cNext == '?') {
            std::size_t nEnd = strHtml.find('>', i);
            i = nEnd == std::string_view::npos ? strHtml.size() : nEnd + 1;
        } else if ((cNext >= 'a' && cNext <= 'z') || (cNext >= 'A' && cNext <= 'Z') ||
                   cNext == '/') {
            STag tag = ReadTag(strHtml, i);
            if (!tag.bClosing && IsRawText(tag.strName)) {
                i = FindEndTag(strHtml, tag.strName, i);
                continue;  // its end tag is read as a tag of its own
            }
            builder.OnTag(tag);
        } else {
            builder.OnText("<");
            ++i;
        }
    }
    return builder.Finish();
}

SLoadedPage LoadPage(const std::string& strUrl, std::stop_token stop) {
    SLoadedPage page;
    std::optional<std::string> text = HttpRequest(strUrl, kHttpGet);
    if (!text || stop.stop_requested())
        return page;
    page.bOk = true;
    page.strHtml = PageTextToUtf8(*text);
    page.banner = ParsePageBanner(page.strHtml, strUrl);
    for (const std::string& strSource : page.banner.ImageSources()) {
        if (stop.stop_requested())
            break;
        std::string strData;
        CHttpTransfer transfer;
        SHttpResult result =
            transfer.Get(strSource, {}, false, "", [&](const char* pData, std::size_t nSize) {
                if (stop.stop_requested() || strData.size() + nSize > kMaxBannerImageBytes)
                    return false;
                strData.append(pData, nSize);
                return true;
            });
        if (result.bTransportOk && result.nStatus >= 200 && result.nStatus <= 299 &&
            !strData.empty())
            page.mapImages.emplace(strSource, std::move(strData));
    }
    return page;
}
