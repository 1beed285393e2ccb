// Conversions between UTF-8 (the program's text in memory) and CP949 (the Korean Windows
// code page that the service and old archive tools speak).
#pragma once

#include <string>
#include <string_view>

// Both return false, leaving out untouched, when a character has no counterpart
// (a UTF-8 text CP949 cannot encode, or bytes that are not valid CP949 / UTF-8).
bool Utf8ToCp949(std::string_view utf8, std::string& out);
bool Cp949ToUtf8(std::string_view cp949, std::string& out);

// Shown text from CP949 wire bytes: invalid sequences become U+FFFD instead of failing.
std::string Cp949ToUtf8Lossy(std::string_view cp949);

// True when every byte sequence of text is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);
