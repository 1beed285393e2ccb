#include "platform/game_process.h"

#include <algorithm>

#include "platform/ascii_case.h"

std::string_view PathBaseName(std::string_view path) {
    size_t nSep = path.find_last_of("\\/");
    return nSep == std::string_view::npos ? path : path.substr(nSep + 1);
}

bool IsGameClientName(std::string_view name) {
    return std::any_of(kGameClientNames.begin(), kGameClientNames.end(),
                       [name](std::string_view client) { return EqualAsciiNoCase(name, client); });
}
