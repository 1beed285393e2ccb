// zav-service: the stand-in web service and member login of ZAV.
#include <string>
#include <vector>

#include "service/cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> vecArgs(argv + 1, argv + argc);
    return zavsvc::RunCommandLine(vecArgs);
}
