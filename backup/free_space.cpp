#include "backup/free_space.h"

#include <string_view>

#include "net/endpoints.h"
#include "net/http_request.h"

namespace {

// atoi's reading of a short text: blanks skipped, an optional sign, digits up to the first
// non-digit; 0 without digits.
int ReadLeadingInt(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool bNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        bNegative = text[i] == '-';
        ++i;
    }
    int n = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        n = n * 10 + (text[i] - '0');
    return bNegative ? -n : n;
}

}  // namespace

bool FreeSpaceAccepts(const std::optional<std::string>& reply) {
    if (!reply || reply->compare(0, 3, "+OK") != 0)
        return false;
    std::string_view text = *reply;
    size_t nPercent = text.find('%');
    std::string_view two =
        nPercent == std::string_view::npos
            ? text.substr(0, 2)
            : text.substr(nPercent >= 2 ? nPercent - 2 : 0, nPercent >= 2 ? 2 : nPercent);
    return 100 - ReadLeadingInt(two) > 10;
}

int QueryFreeSpace(const SEndpoints& endpoints) {
    return FreeSpaceAccepts(
               HttpRequest(endpoints.AuthUrl(), kHttpPost, std::string("mode=freespace")))
               ? 1
               : 0;
}
