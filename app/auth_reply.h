// The reply grammar shared by every mode of the account script auth.php (du, removeall,
// freespace):
//   "+OK"  success: the first 7 characters ("+OK<br>") are skipped, the rest is a list of
//          NAME=VALUE items separated by "|" (empty items do not count);
//   "-ERR" refused: the text from byte 15 on is the message to show;
//   anything else is a failure.
// Item text is cut as the fixed buffers of the protocol cut it: an item keeps at most 49
// characters, its name and value at most 49 each. Name and value are the first and second
// non-empty pieces of the item split on "=" ("A==5" has the value "5", "A=" has none).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct SAuthReply {
    enum EStatus {
        Failure,  // no reply, or neither "+OK" nor a well-formed "-ERR"
        Success,  // "+OK" (case-sensitive); vecItems may be empty
        Refused,  // "-ERR" with at least 15 bytes; strMessage is the text to show
    } eStatus = Failure;

    // Refused: the server's text from byte 15, converted from CP949 to UTF-8 for display
    // (bytes that are not CP949 become U+FFFD).
    std::string strMessage;
    // Success: the items in reply order, name and value as sent (CP949 bytes).
    std::vector<std::pair<std::string, std::string>> vecItems;

    // The value of the last item with this exact (case-sensitive) name, or nullopt.
    std::optional<std::string> Find(std::string_view strName) const;
};

// Parses one reply body. nullopt (no reply text) gives Failure. A "-ERR" reply shorter than
// 15 bytes has no message position and counts as Failure; a "+OK" reply shorter than 7 bytes
// counts as Success without items.
SAuthReply ParseAuthReply(const std::optional<std::string>& reply);

// Body of an account-script request: "mode=<mode>&id=<id>" with the id's CP949 bytes inserted
// as they are, unescaped. The body buffer holds 49 bytes (kMaxAuthBodyBytes); nullopt when the
// body would not fit or the id has no CP949 form, so that a caller never sends a cut id.
std::optional<std::string> MakeAuthBody(std::string_view strMode, std::string_view strIdUtf8);

inline constexpr std::size_t kMaxAuthBodyBytes = 49;
// Longest member id (CP949 bytes) that fits the "mode=du&id=" body.
inline constexpr std::size_t kMaxAuthIdBytes = 38;
