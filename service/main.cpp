// zav-service: the stand-in web service and member login of ZAV.
#include <string>
#include <vector>

#include "service/cli.h"

#if defined(__SANITIZE_THREAD__)
// Debian's cpp-httplib is not built with ThreadSanitizer: the fast path of its thread-safe
// static locals (the request-line pattern, for one) is invisible to the sanitizer, so the C
// library calls the library makes afterwards would be reported as races between workers. The
// service's own code stays checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}
#endif

int main(int argc, char** argv) {
    std::vector<std::string> vecArgs(argv + 1, argv + argc);
    return zavsvc::RunCommandLine(vecArgs);
}
