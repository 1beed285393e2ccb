#pragma once
// Small text helpers of the service: code-page conversion, validation, form fields, log escaping.

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace zavsvc {

// UTF-8 to CP949 (the code page of the protocol's replies and form values); nullopt when the
// text is not valid UTF-8 or has a character CP949 cannot encode.
std::optional<std::string> Cp949FromUtf8(std::string_view utf8);
// CP949 to UTF-8; nullopt when the bytes are not CP949 text.
std::optional<std::string> Utf8FromCp949(std::string_view cp949);

bool IsValidUtf8(std::string_view text);

// Member ids, in UTF-8 as the service keeps them (the database, the member folders, the command
// line): letters, digits, '_', '-', '.' and Hangul syllables, not starting with '.', 1 to 31
// bytes in CP949 (two for each syllable), the form the client sends.
bool IsValidMemberId(std::string_view id);

// A member id as the protocol carries it (CP949 bytes, raw, in form values, the upload's query
// and the download path) in the service's form; nullopt when it is not a valid id.
std::optional<std::string> MemberIdFromWire(std::string_view cp949);

// Value of NAME in a form body "a=1&b=2" taken as sent (no percent-decoding: the client inserts
// values raw). nullopt when the field is missing.
std::optional<std::string> FormField(std::string_view body, std::string_view name);

// Printable ASCII kept, everything else as \xNN, so a request cannot forge log lines.
std::string EscapeForLog(std::string_view text);

// "YYYY-MM-DD HH:MM:SS" in local time.
std::string FormatLocalTime(std::time_t t);

// Case-insensitive ASCII comparison.
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace zavsvc
