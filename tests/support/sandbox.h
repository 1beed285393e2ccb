// A fresh folder under the system's temporary folder for one test, removed with everything in
// it at the end: folders a test made read-only are opened first, and file systems a test left
// mounted below it (one that stopped early) are unmounted. With ZAV_KEEP_TEST_DATA set in the
// environment the folder is kept and named on standard error.
#pragma once

#include <string>

// Whether tests can make symbolic links: not in the Windows build, whose C++ library makes
// none. A test that needs one skips there with kNoLinks as the reason.
#ifdef _WIN32
inline constexpr bool kHaveLinks = false;
#else
inline constexpr bool kHaveLinks = true;
#endif
inline constexpr const char* kNoLinks = "no symbolic links in the Windows build";

// A relative path ("Ralum/Recent") as the program forms it: with the system's separator.
inline std::string NativeSeparators(std::string strPath) {
#ifdef _WIN32
    for (char& c : strPath) {
        if (c == '/')
            c = '\\';
    }
#endif
    return strPath;
}

class CSandbox {
public:
    // PARENT/<prefix>-XXXXXX; the system's temporary folder when strParent is empty.
    explicit CSandbox(const std::string& strPrefix = "zav-test", const std::string& strParent = "");
    ~CSandbox();
    CSandbox(const CSandbox&) = delete;
    CSandbox& operator=(const CSandbox&) = delete;

    const std::string& Path() const { return m_strPath; }  // without a trailing '/'
    std::string Path(const std::string& strRelative) const { return m_strPath + "/" + strRelative; }

private:
    std::string m_strPath;
};
