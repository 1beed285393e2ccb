#include "service/clock.h"

#include <chrono>
#include <cstdio>
#include <fstream>

namespace zavsvc {

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

NowFn FileClock(std::string strPath) {
    return [strPath = std::move(strPath)]() -> int64_t {
        std::ifstream in(strPath);
        long long nMs = 0;
        if (in >> nMs && nMs > 0) {
            return nMs;
        }
        std::fprintf(stderr, "zav-service: cannot read the time from %s; using the system clock\n",
                     strPath.c_str());
        return NowMs();
    };
}

}  // namespace zavsvc
