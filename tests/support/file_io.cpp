#include "file_io.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/native_text.h"

std::string ReadWholeFile(const std::string& strPath) {
    std::ifstream in(PathFromUtf8(strPath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& strPath, const std::string& strContent) {
    const std::filesystem::path path = PathFromUtf8(strPath);
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(strContent.data(), static_cast<std::streamsize>(strContent.size()));
    if (!out)
        throw std::runtime_error("cannot write " + strPath);
}
