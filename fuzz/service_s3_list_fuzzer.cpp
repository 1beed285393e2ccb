// The reader of the S3 store's listing pages: whatever the store answers, a page is taken whole
// or not at all, and a page it takes names every object with a key and a size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/s3_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string strBody(reinterpret_cast<const char*>(pData), nSize);
    std::vector<zavsvc::SS3Object> vec{{"before", 7}};
    std::string strNext = "stale";
    if (!zavsvc::ParseListPage(strBody, vec, strNext)) {
        if (vec.size() != 1 || strNext != "stale")
            abort();  // a refused page changed what the caller had
        return 0;
    }
    if (vec.empty() || vec[0].strKey != "before")
        abort();
    for (size_t i = 1; i < vec.size(); ++i) {
        if (vec[i].strKey.empty() || vec[i].nSize < 0)
            abort();
    }
    if (strNext.find("</NextContinuationToken>") != std::string::npos)
        abort();
    return 0;
}
