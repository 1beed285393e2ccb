// Entry names between their memory form (UTF-8, '/') and their stored form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The stored bytes of a name: CP949 when every character has a CP949 form (bUtf8 false),
// otherwise the UTF-8 bytes (bUtf8 true, flag bit 11); every '\' becomes '/'. Both headers of
// every entry (AddFile, AddFilesAs, OpenEntryForWriting) get their name from here.
std::string EncodeStoredName(const std::string& strName, bool& bUtf8);
// The memory form of stored name bytes: UTF-8 when bUtf8 (bit 11), otherwise CP949 (or UTF-8
// when the bytes are not CP949 but are well-formed UTF-8); bytes that are valid in neither
// become U+FFFD; '\' becomes '/'.
std::string DecodeStoredName(const uint8_t* pData, size_t nSize, bool bUtf8);
