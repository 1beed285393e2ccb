#include "service/multipart.h"

#include <cstring>
#include <vector>

#include "service/text_util.h"

namespace zavsvc {
namespace {

constexpr size_t kMaxHeaderBlock = 16 * 1024;
constexpr size_t kMaxBoundary = 70;
constexpr size_t kMaxPadding = 64;

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Splits "a; b=\"x;y\"; c" (or with ',') into its pieces, keeping quoted text whole.
std::vector<std::string_view> SplitParameters(std::string_view text, bool bCommaToo) {
    std::vector<std::string_view> vec;
    size_t nStart = 0;
    bool bQuoted = false;
    for (size_t i = 0; i <= text.size(); ++i) {
        char c = i < text.size() ? text[i] : ';';
        if (bQuoted) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                bQuoted = false;
            }
            continue;
        }
        if (c == '"') {
            bQuoted = true;
        } else if (c == ';' || (bCommaToo && c == ',') || i == text.size()) {
            vec.push_back(Trim(text.substr(nStart, i - nStart)));
            nStart = i + 1;
        }
    }
    return vec;
}

// "name=value" or name="quoted value"; false when the piece is not a parameter.
bool ParseParameter(std::string_view piece, std::string& rName, std::string& rValue) {
    size_t nEq = piece.find('=');
    if (nEq == std::string_view::npos) {
        return false;
    }
    rName = std::string(Trim(piece.substr(0, nEq)));
    std::string_view value = Trim(piece.substr(nEq + 1));
    rValue.clear();
    if (!value.empty() && value.front() == '"') {
        for (size_t i = 1; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) {
                rValue += value[++i];
            } else if (value[i] == '"') {
                break;
            } else {
                rValue += value[i];
            }
        }
    } else {
        rValue = std::string(value);
    }
    return true;
}

}  // namespace

std::optional<std::string> MultipartBoundary(std::string_view contentType) {
    auto vecPieces = SplitParameters(contentType, true);
    if (vecPieces.empty() || !EqualsNoCase(vecPieces[0], "multipart/form-data")) {
        return std::nullopt;
    }
    std::string strName, strValue;
    for (size_t i = 1; i < vecPieces.size(); ++i) {
        if (ParseParameter(vecPieces[i], strName, strValue) && EqualsNoCase(strName, "boundary")) {
            if (strValue.empty() || strValue.size() > kMaxBoundary) {
                return std::nullopt;
            }
            return strValue;
        }
    }
    return std::nullopt;
}

CMultipartParser::CMultipartParser(std::string strBoundary, IMultipartSink& sink)
    : m_strDelimiter("\r\n--" + strBoundary), m_sink(sink), m_strPending("\r\n") {
    // The leading CR LF lets a body that starts with the delimiter line match like any other.
}

bool CMultipartParser::Fail(std::string strReason) {
    if (m_eState != EState::Failed) {
        m_eState = EState::Failed;
        m_strError = std::move(strReason);
    }
    return false;
}

bool CMultipartParser::Feed(const char* p, size_t n) {
    if (m_eState == EState::Failed) {
        return false;
    }
    if (m_eState == EState::Epilogue) {
        return true;
    }
    if (m_eState == EState::EmptyHeaders && n > 0) {
        return Fail("a part without headers");
    }
    m_strPending.append(p, n);
    bool bProgress = true;
    while (bProgress) {
        bProgress = false;
        if (!Step(&bProgress)) {
            return false;
        }
    }
    return true;
}

bool CMultipartParser::Step(bool* pbProgress) {
    const size_t nDelim = m_strDelimiter.size();
    switch (m_eState) {
        case EState::Preamble:
        case EState::Data: {
            const char* pFound = static_cast<const char*>(
                memmem(m_strPending.data(), m_strPending.size(), m_strDelimiter.data(), nDelim));
            size_t nEmit;
            if (pFound != nullptr) {
                nEmit = static_cast<size_t>(pFound - m_strPending.data());
            } else {
                nEmit = m_strPending.size() >= nDelim ? m_strPending.size() - (nDelim - 1) : 0;
            }
            if (m_eState == EState::Data && nEmit > 0 &&
                !m_sink.OnPartData(m_strPending.data(), nEmit)) {
                m_bSinkRefused = true;
                return Fail("the part's data was refused");
            }
            if (pFound == nullptr) {
                m_strPending.erase(0, nEmit);
                return true;
            }
            if (m_eState == EState::Data) {
                m_bInPart = false;
                if (!m_sink.OnPartEnd()) {
                    m_bSinkRefused = true;
                    return Fail("the part was refused");
                }
            }
            m_strPending.erase(0, nEmit + nDelim);
            m_eState = EState::AfterDelimiter;
            *pbProgress = true;
            return true;
        }
        case EState::AfterDelimiter: {
            if (m_strPending.size() >= 2 && m_strPending.compare(0, 2, "--") == 0) {
                m_strPending.clear();
                m_eState = EState::Epilogue;
                return true;
            }
            size_t nPad = 0;
            while (nPad < m_strPending.size() &&
                   (m_strPending[nPad] == ' ' || m_strPending[nPad] == '\t')) {
                ++nPad;
            }
            if (nPad > kMaxPadding) {
                return Fail("a delimiter line too long");
            }
            if (m_strPending.size() < nPad + 2) {
                if (m_strPending.size() > nPad && m_strPending[nPad] != '\r' &&
                    m_strPending[nPad] != '-') {
                    return Fail("text after a delimiter");
                }
                return true;
            }
            if (m_strPending.compare(nPad, 2, "\r\n") != 0) {
                return Fail("text after a delimiter");
            }
            m_strPending.erase(0, nPad + 2);
            m_eState = EState::Headers;
            *pbProgress = true;
            return true;
        }
        case EState::Headers: {
            if (m_strPending.size() >= 2 && m_strPending.compare(0, 2, "\r\n") == 0) {
                // An empty header block: the client's closing line, if the body ends here.
                m_strPending.erase(0, 2);
                m_eState = EState::EmptyHeaders;
                if (!m_strPending.empty()) {
                    return Fail("a part without headers");
                }
                return true;
            }
            size_t nEnd = m_strPending.find("\r\n\r\n");
            if (nEnd == std::string::npos) {
                // The pending text may end with the first three bytes of an empty line that
                // still starts within the limit; how the body was cut must not matter.
                if (m_strPending.size() > kMaxHeaderBlock + 3) {
                    return Fail("part headers too long");
                }
                return true;
            }
            if (nEnd > kMaxHeaderBlock) {
                return Fail("part headers too long");
            }
            if (!ParseHeaderBlock(std::string_view(m_strPending).substr(0, nEnd + 2))) {
                return false;
            }
            // The CR LF before the next delimiter belongs to the delimiter, so an empty part is
            // the delimiter directly after the headers' empty line.
            m_strPending.erase(0, nEnd + 4);
            m_eState = EState::Data;
            m_bInPart = true;
            *pbProgress = true;
            return true;
        }
        case EState::EmptyHeaders:
        case EState::Epilogue:
            return true;
        case EState::Failed:
            return false;
    }
    return true;
}

bool CMultipartParser::ParseHeaderBlock(std::string_view block) {
    SPartHeaders headers;
    bool bDisposition = false;
    while (!block.empty()) {
        size_t nEol = block.find("\r\n");
        std::string_view line = block.substr(0, nEol);
        block.remove_prefix(nEol == std::string_view::npos ? block.size() : nEol + 2);
        size_t nColon = line.find(':');
        if (nColon == std::string_view::npos) {
            return Fail("a part header without ':'");
        }
        std::string_view name = Trim(line.substr(0, nColon));
        std::string_view value = Trim(line.substr(nColon + 1));
        if (EqualsNoCase(name, "Content-Disposition")) {
            auto vecPieces = SplitParameters(value, false);
            headers.strDisposition = vecPieces.empty() ? "" : std::string(vecPieces[0]);
            std::string strName, strValue;
            for (size_t i = 1; i < vecPieces.size(); ++i) {
                if (!ParseParameter(vecPieces[i], strName, strValue)) {
                    continue;
                }
                if (EqualsNoCase(strName, "name")) {
                    headers.strName = strValue;
                } else if (EqualsNoCase(strName, "filename")) {
                    headers.strFileName = strValue;
                    headers.bHasFileName = true;
                }
            }
            bDisposition = true;
        } else if (EqualsNoCase(name, "Content-Type")) {
            headers.strContentType = std::string(value);
        }
    }
    if (!bDisposition || !EqualsNoCase(headers.strDisposition, "form-data")) {
        return Fail("a part without a form-data disposition");
    }
    if (!m_sink.OnPartBegin(headers)) {
        m_bSinkRefused = true;
        return Fail("the part was refused");
    }
    return true;
}

bool CMultipartParser::Finish() {
    switch (m_eState) {
        case EState::Epilogue:
        case EState::EmptyHeaders:
            return true;
        case EState::Headers:
            if (m_strPending.empty()) {
                return true;  // "--BOUNDARY" CR LF and the end: the closing line without its empty
                              // line
            }
            return Fail("the body ended inside part headers");
        case EState::Failed:
            return false;
        default:
            return Fail(m_bInPart ? "the body ended inside a part" : "the body has no parts");
    }
}

}  // namespace zavsvc
