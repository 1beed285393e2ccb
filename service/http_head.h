#pragma once
// The head of an HTTP/1.x request (request line and header fields), read incrementally as it
// arrives and held to fixed limits, so that a flood of header bytes is refused early and costs
// bounded memory whatever the client sends.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zavsvc {

struct SHeadLimits {
    size_t nMaxRequestLine = 8192;     // bytes before its CR LF; beyond: 414
    size_t nMaxHeaderLine = 8192;      // one header field line; beyond: 431
    size_t nMaxHeaders = 100;          // header fields; beyond: 431
    size_t nMaxHeadBytes = 64 * 1024;  // the whole head with its empty line; beyond: 431
};

struct SRequestHead {
    std::string strMethod;
    std::string strTarget;
    std::string strVersion;                                      // "HTTP/1.0" or "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> vecFields;  // as sent, values trimmed
};

class CHeadParser {
public:
    enum class EState { NeedMore, Complete, Refused };

    explicit CHeadParser(SHeadLimits limits) : m_limits(limits) {}

    // Takes the next received bytes. Once Complete or Refused, further bytes are ignored.
    EState Feed(std::string_view bytes);
    EState State() const { return m_eState; }
    // When Refused: 400 malformed, 414 request line too long, 431 header fields too large.
    int Status() const { return m_nStatus; }
    const SRequestHead& Head() const { return m_head; }
    // When Complete: the bytes received after the head (the start of the body).
    std::string_view Rest() const;

private:
    EState Refuse(int nStatus);
    // One line without its CR LF; false when it refused the request.
    bool TakeLine(std::string_view line);
    bool CheckFraming();

    SHeadLimits m_limits;
    EState m_eState = EState::NeedMore;
    int m_nStatus = 0;
    std::string m_strBuffer;
    size_t m_nLineStart = 0;  // start of the line being received
    size_t m_nScanned = 0;    // bytes already searched for the line end
    size_t m_nHeadEnd = 0;    // length of the head, its empty line included
    bool m_bRequestLine = false;
    SRequestHead m_head;
};

// Follows the framing of a chunked request body as its bytes pass to the reader that decodes
// it, in any pieces, and fails on framing that is malformed or beyond fixed limits: a size line
// longer than kMaxLine bytes (extensions included), a size of more than 15 hex digits, data not
// followed by CR LF, or trailer fields (which the reader does not take). So the line buffer of
// the reader behind it never grows past one short line.
class CChunkFraming {
public:
    static constexpr size_t kMaxLine = 256;

    // False once the framing failed; bytes after the end of the body are not looked at.
    bool Feed(std::string_view bytes);
    bool Done() const { return m_eState == EState::Done; }

private:
    enum class EState {
        Size,
        Extension,
        SizeLf,
        Data,
        DataCr,
        DataLf,
        LastCr,
        LastLf,
        Done,
        Failed
    };

    bool Fail();

    EState m_eState = EState::Size;
    size_t m_nLine = 0;    // bytes of the size line so far
    size_t m_nDigits = 0;  // hex digits of the size
    uint64_t m_nLeft = 0;  // chunk size, then its data bytes still to come
};

// Case-insensitive lookup of header field values, in the order sent.
std::vector<std::string_view> FieldValues(const SRequestHead& head, std::string_view name);

// The head as the HTTP layer reads it: the request line and every field except Range and
// If-Range, since a reply here always carries the whole body. bBodyRead: the whole body has
// been read already and follows the head; then Expect is left out (the client was answered
// already) and a missing Content-Length is stated as 0, so that the HTTP layer does not wait
// for a body up to the end of the connection.
std::string HeadForServer(const SRequestHead& head, bool bBodyRead = false);

// The client address a proxy recorded last in X-Forwarded-For (canonical text), or empty when
// the field is missing or its last entry is not an address.
std::string LastForwardedFor(const SRequestHead& head);

}  // namespace zavsvc
