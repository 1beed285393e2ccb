// The one-shot request's reply as the text reader sees it, shared by both transports.
// Internal to net/.
#pragma once

#include <cstddef>
#include <string>

namespace net_detail {

// Replies are short texts; anything beyond this is not a reply of the service.
inline constexpr size_t kMaxReplyBytes = 16 * 1024 * 1024;
// The reader takes the body in pieces of at most this many bytes; a NUL ends its piece.
inline constexpr size_t kPieceBytes = 1023;

class CReplyText {
public:
    // Adds the next bytes of the body as they arrived. False once the body has grown past
    // kMaxReplyBytes: the transfer is then to be stopped.
    bool Append(const char* pData, size_t nBytes);
    bool TooLong() const { return m_bTooLong; }
    std::string Take() { return std::move(m_strText); }

private:
    std::string m_strText;
    size_t m_nReceived = 0;
    bool m_bTooLong = false;
};

}  // namespace net_detail
