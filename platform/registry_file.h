// The text formats behind the registry stand-in on POSIX: the program's own REGEDIT4 file
// and Wine's system.reg / user.reg.
#pragma once

#ifndef _WIN32

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

enum class ERegDialect {
    Regedit4,  // key names as written; strings escape only '\' and '"'
    Wine,      // key names escaped like strings; \xHHHH UTF-16 units, \n, octal ...
};

struct SRegEntry {
    std::string strName;  // the value name, unescaped ("" for the default value "@")
    std::string strData;  // the text after '=' exactly as in the file
};

struct SRegKey {
    std::string strName;  // unescaped, single backslashes
    std::vector<SRegEntry> entries;
};

struct SRegDocument {
    std::vector<SRegKey> keys;

    // Registry names compare without regard to ASCII case.
    const SRegKey* FindKey(std::string_view name) const;
    const SRegEntry* FindEntry(std::string_view key, std::string_view valueName) const;
    // Sets the string value, adding the key or the value when missing.
    void SetString(std::string_view key, std::string_view valueName, std::string_view text);
};

SRegDocument ParseRegistryText(std::string_view text, ERegDialect eDialect);
// "REGEDIT4", a blank line, then each key with its values and a blank line.
std::string SerializeRegedit4(const SRegDocument& document);

// "\"...\"" with '\' and '"' escaped.
std::string QuoteRegString(std::string_view text);
// The string of a value's data ("\"...\"" or Wine's str(2):"..."), unescaped to UTF-8;
// nullopt for other types.
std::optional<std::string> RegStringData(std::string_view data, ERegDialect eDialect);

// The root's name in the program's own file: "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER".
const char* RegRootName(ERegRoot eRoot);

// Replaces the program's own file atomically with the value set; false on any failure
// (the old file then stays as it was).
bool WriteOwnRegistryValue(ERegRoot eRoot, std::string_view key, std::string_view valueName,
                           std::string_view text);

#endif
