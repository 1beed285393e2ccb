#include "service/http_head.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "service/address.h"
#include "service/text_util.h"

namespace zavsvc {
namespace {

// Token characters of field names and methods.
bool IsTokenChar(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsToken(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c == '\0' || !IsTokenChar(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// Visible ASCII and the bytes of other code pages (the client puts CP949 ids into paths raw).
bool IsTargetText(std::string_view text) {
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b <= ' ' || b == 0x7F) {
            return false;
        }
    }
    return !text.empty();
}

bool IsFieldValue(std::string_view text) {
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if ((b < ' ' && b != '\t') || b == 0x7F) {
            return false;
        }
    }
    return true;
}

std::string_view TrimSpace(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

CHeadParser::EState CHeadParser::Refuse(int nStatus) {
    m_eState = EState::Refused;
    m_nStatus = nStatus;
    m_strBuffer.clear();
    m_strBuffer.shrink_to_fit();
    return m_eState;
}

CHeadParser::EState CHeadParser::Feed(std::string_view bytes) {
    if (m_eState != EState::NeedMore) {
        return m_eState;
    }
    m_strBuffer.append(bytes);
    while (m_eState == EState::NeedMore) {
        const size_t nLimit = m_bRequestLine ? m_limits.nMaxHeaderLine : m_limits.nMaxRequestLine;
        size_t nEnd = m_strBuffer.find('\n', m_nScanned);
        if (nEnd == std::string::npos) {
            m_nScanned = m_strBuffer.size();
            // The line so far (a CR LF may still follow) already exceeds a limit.
            if (m_nScanned - m_nLineStart > nLimit + 1) {
                return Refuse(m_bRequestLine ? 431 : 414);
            }
            // The head still needs at least the LF that ends this line.
            if (m_nScanned >= m_limits.nMaxHeadBytes) {
                return Refuse(431);
            }
            return m_eState;
        }
        // The limits first, in the order the branch above applies them, so that the answer
        // does not depend on how the bytes were cut into pieces on the way.
        if (nEnd - m_nLineStart > nLimit + 1) {
            return Refuse(m_bRequestLine ? 431 : 414);
        }
        if (nEnd + 1 > m_limits.nMaxHeadBytes) {
            return Refuse(431);
        }
        if (nEnd == m_nLineStart || m_strBuffer[nEnd - 1] != '\r') {
            return Refuse(400);  // a bare LF
        }
        std::string_view line(m_strBuffer.data() + m_nLineStart, nEnd - 1 - m_nLineStart);
        m_nLineStart = m_nScanned = nEnd + 1;
        if (line.empty() && m_bRequestLine) {
            m_nHeadEnd = nEnd + 1;
            if (!CheckFraming()) {
                return m_eState;
            }
            m_eState = EState::Complete;
            return m_eState;
        }
        if (!TakeLine(line)) {
            return m_eState;
        }
    }
    return m_eState;
}

bool CHeadParser::TakeLine(std::string_view line) {
    if (line.find('\r') != std::string_view::npos) {
        Refuse(400);
        return false;
    }
    if (!m_bRequestLine) {
        // METHOD SP TARGET SP HTTP/1.x
        size_t nSp1 = line.find(' ');
        size_t nSp2 = nSp1 == std::string_view::npos ? nSp1 : line.find(' ', nSp1 + 1);
        if (nSp2 == std::string_view::npos || line.find(' ', nSp2 + 1) != std::string_view::npos) {
            Refuse(400);
            return false;
        }
        std::string_view method = line.substr(0, nSp1);
        std::string_view target = line.substr(nSp1 + 1, nSp2 - nSp1 - 1);
        std::string_view version = line.substr(nSp2 + 1);
        if (!IsToken(method) || !IsTargetText(target) ||
            (version != "HTTP/1.1" && version != "HTTP/1.0")) {
            Refuse(400);
            return false;
        }
        m_head.strMethod = method;
        m_head.strTarget = target;
        m_head.strVersion = version;
        m_bRequestLine = true;
        return true;
    }
    if (m_head.vecFields.size() >= m_limits.nMaxHeaders) {
        Refuse(431);
        return false;
    }
    // No folded continuation lines, and no space before the colon.
    size_t nColon = line.find(':');
    if (nColon == std::string_view::npos || !IsToken(line.substr(0, nColon))) {
        Refuse(400);
        return false;
    }
    std::string_view value = TrimSpace(line.substr(nColon + 1));
    if (!IsFieldValue(value)) {
        Refuse(400);
        return false;
    }
    m_head.vecFields.emplace_back(line.substr(0, nColon), value);
    return true;
}

// A body's length must be stated one way only, or two readers of this request could disagree
// on where it ends.
bool CHeadParser::CheckFraming() {
    auto vecLength = FieldValues(m_head, "Content-Length");
    auto vecEncoding = FieldValues(m_head, "Transfer-Encoding");
    if (vecLength.size() > 1 || (!vecLength.empty() && !vecEncoding.empty()) ||
        vecEncoding.size() > 1 ||
        (!vecEncoding.empty() && !EqualsNoCase(vecEncoding[0], "chunked"))) {
        Refuse(400);
        return false;
    }
    if (!vecLength.empty() &&
        (vecLength[0].empty() || vecLength[0].size() > 18 ||
         vecLength[0].find_first_not_of("0123456789") != std::string_view::npos)) {
        Refuse(400);
        return false;
    }
    return true;
}

bool CChunkFraming::Fail() {
    m_eState = EState::Failed;
    return false;
}

bool CChunkFraming::Feed(std::string_view bytes) {
    size_t nPos = 0;
    while (nPos < bytes.size()) {
        const char c = bytes[nPos];
        switch (m_eState) {
            case EState::Size:
            case EState::Extension:
                if (++m_nLine > kMaxLine) {
                    return Fail();
                }
                if (c == '\r') {
                    m_eState = m_nDigits > 0 ? EState::SizeLf : EState::Failed;
                } else if (m_eState == EState::Extension) {
                    if ((static_cast<unsigned char>(c) < ' ' && c != '\t') || c == 0x7F) {
                        return Fail();
                    }
                } else if (c == ';' && m_nDigits > 0) {
                    m_eState = EState::Extension;
                } else if (std::isxdigit(static_cast<unsigned char>(c)) && m_nDigits < 15) {
                    ++m_nDigits;
                    const int nDigit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
                    m_nLeft = m_nLeft * 16 + static_cast<uint64_t>(nDigit);
                } else {
                    return Fail();
                }
                ++nPos;
                break;
            case EState::SizeLf:
                if (c != '\n') {
                    return Fail();
                }
                m_nLine = 0;
                m_nDigits = 0;
                m_eState = m_nLeft == 0 ? EState::LastCr : EState::Data;
                ++nPos;
                break;
            case EState::Data: {
                const uint64_t nTake = std::min<uint64_t>(m_nLeft, bytes.size() - nPos);
                nPos += static_cast<size_t>(nTake);
                m_nLeft -= nTake;
                if (m_nLeft == 0) {
                    m_eState = EState::DataCr;
                }
                break;
            }
            case EState::DataCr:
            case EState::LastCr:
                if (c != '\r') {
                    return Fail();
                }
                m_eState = m_eState == EState::DataCr ? EState::DataLf : EState::LastLf;
                ++nPos;
                break;
            case EState::DataLf:
            case EState::LastLf:
                if (c != '\n') {
                    return Fail();
                }
                m_eState = m_eState == EState::DataLf ? EState::Size : EState::Done;
                ++nPos;
                break;
            case EState::Done:
                return true;
            case EState::Failed:
                return false;
        }
    }
    return m_eState != EState::Failed;
}

std::string_view CHeadParser::Rest() const {
    if (m_eState != EState::Complete) {
        return {};
    }
    return std::string_view(m_strBuffer).substr(m_nHeadEnd);
}

std::vector<std::string_view> FieldValues(const SRequestHead& head, std::string_view name) {
    std::vector<std::string_view> vec;
    for (const auto& field : head.vecFields) {
        if (EqualsNoCase(field.first, name)) {
            vec.push_back(field.second);
        }
    }
    return vec;
}

std::string HeadForServer(const SRequestHead& head, bool bBodyRead) {
    std::string str = head.strMethod + " " + head.strTarget + " " + head.strVersion + "\r\n";
    for (const auto& field : head.vecFields) {
        if (EqualsNoCase(field.first, "Range") || EqualsNoCase(field.first, "If-Range") ||
            (bBodyRead && EqualsNoCase(field.first, "Expect"))) {
            continue;
        }
        str += field.first + ": " + field.second + "\r\n";
    }
    if (bBodyRead && FieldValues(head, "Content-Length").empty()) {
        str += "Content-Length: 0\r\n";
    }
    return str + "\r\n";
}

std::string LastForwardedFor(const SRequestHead& head) {
    auto vecValues = FieldValues(head, "X-Forwarded-For");
    if (vecValues.empty()) {
        return {};
    }
    std::string_view last = vecValues.back();
    size_t nComma = last.rfind(',');
    if (nComma != std::string_view::npos) {
        last = last.substr(nComma + 1);
    }
    return NormalizeAddress(TrimSpace(last));
}

}  // namespace zavsvc
