#ifndef _WIN32

#include "platform/registry_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char ca = static_cast<unsigned char>(a[i]);
        unsigned char cb = static_cast<unsigned char>(b[i]);
        if (ca >= 'A' && ca <= 'Z')
            ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z')
            cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb)
            return false;
    }
    return true;
}

void AppendUtf8(std::string& out, uint32_t nCode) {
    if (nCode < 0x80) {
        out += static_cast<char>(nCode);
    } else if (nCode < 0x800) {
        out += static_cast<char>(0xC0 | (nCode >> 6));
        out += static_cast<char>(0x80 | (nCode & 0x3F));
    } else if (nCode < 0x10000) {
        out += static_cast<char>(0xE0 | (nCode >> 12));
        out += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (nCode & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (nCode >> 18));
        out += static_cast<char>(0x80 | ((nCode >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (nCode & 0x3F));
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Unescapes text up to an unescaped '"' (or the end when bStopAtQuote is false). nPos is left
// after the closing quote. nullopt when a closing quote was required and not found.
std::optional<std::string> Unescape(std::string_view text, size_t& nPos, bool bStopAtQuote,
                                    ERegDialect eDialect) {
    std::string out;
    uint32_t nHighSurrogate = 0;
    auto flushSurrogate = [&] {
        if (nHighSurrogate != 0)
            AppendUtf8(out, 0xFFFD);
        nHighSurrogate = 0;
    };
    auto appendUnit = [&](uint32_t nUnit) {
        if (nUnit >= 0xD800 && nUnit < 0xDC00) {
            flushSurrogate();
            nHighSurrogate = nUnit;
        } else if (nUnit >= 0xDC00 && nUnit < 0xE000) {
            if (nHighSurrogate != 0) {
                AppendUtf8(out, 0x10000 + ((nHighSurrogate - 0xD800) << 10) + (nUnit - 0xDC00));
                nHighSurrogate = 0;
            } else {
                AppendUtf8(out, 0xFFFD);
            }
        } else {
            flushSurrogate();
            AppendUtf8(out, nUnit);
        }
    };
    while (nPos < text.size()) {
        char c = text[nPos++];
        if (bStopAtQuote && c == '"') {
            flushSurrogate();
            return out;
        }
        if (c != '\\' || nPos >= text.size()) {
            flushSurrogate();
            out += c;
            continue;
        }
        char e = text[nPos++];
        if (eDialect == ERegDialect::Wine) {
            if (e == 'x') {
                uint32_t nUnit = 0;
                int nDigits = 0;
                while (nDigits < 4 && nPos < text.size() && HexDigit(text[nPos]) >= 0) {
                    nUnit = nUnit * 16 + static_cast<uint32_t>(HexDigit(text[nPos++]));
                    ++nDigits;
                }
                if (nDigits == 0) {
                    flushSurrogate();
                    out += 'x';
                } else {
                    appendUnit(nUnit);
                }
                continue;
            }
            if (e >= '0' && e <= '7') {
                uint32_t nUnit = static_cast<uint32_t>(e - '0');
                for (int i = 0;
                     i < 2 && nPos < text.size() && text[nPos] >= '0' && text[nPos] <= '7'; ++i) {
                    nUnit = nUnit * 8 + static_cast<uint32_t>(text[nPos++] - '0');
                }
                appendUnit(nUnit);
                continue;
            }
            const char* szFrom = "abefnrtv";
            const char* szTo = "\a\b\x1b\f\n\r\t\v";
            const char* pHit = std::strchr(szFrom, e);
            if (pHit != nullptr && e != '\0') {
                flushSurrogate();
                out += szTo[pHit - szFrom];
                continue;
            }
        }
        flushSurrogate();
        out += e;  // "\\" -> '\', "\"" -> '"', anything else -> the character
    }
    if (bStopAtQuote)
        return std::nullopt;
    flushSurrogate();
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}

std::string ConfigHome() {
    const char* szXdg = std::getenv("XDG_CONFIG_HOME");
    if (szXdg != nullptr && szXdg[0] == '/')
        return szXdg;  // relative values are ignored
    const char* szHome = std::getenv("HOME");
    std::string strHome;
    if (szHome != nullptr && *szHome != '\0') {
        strHome = szHome;
    } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        strHome = pw->pw_dir;
    }
    return strHome + "/.config";
}

std::string WinePrefix() {
    const char* szPrefix = std::getenv("WINEPREFIX");
    if (szPrefix != nullptr && *szPrefix != '\0')
        return szPrefix;
    const char* szHome = std::getenv("HOME");
    return std::string(szHome != nullptr ? szHome : "") + "/.wine";
}

std::optional<std::string> ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return buffer.str();
}

bool MakeFolders(const std::string& strPath) {
    for (size_t nPos = 1; nPos <= strPath.size(); ++nPos) {
        if (nPos != strPath.size() && strPath[nPos] != '/')
            continue;
        std::string strPrefix = strPath.substr(0, nPos);
        if (mkdir(strPrefix.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct FdCloser {
    int nFd;
    ~FdCloser() {
        if (nFd >= 0)
            close(nFd);
    }
};

bool WriteFileAtomically(const std::string& strPath, const std::string& strContent) {
    std::string strTemp = strPath + ".tmp-" + std::to_string(getpid());
    FdCloser fd{open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    if (fd.nFd < 0)
        return false;
    size_t nDone = 0;
    bool bOk = true;
    while (nDone < strContent.size()) {
        ssize_t n = write(fd.nFd, strContent.data() + nDone, strContent.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            bOk = false;
            break;
        }
        nDone += static_cast<size_t>(n);
    }
    bOk = bOk && fsync(fd.nFd) == 0;
    bOk = close(fd.nFd) == 0 && bOk;
    fd.nFd = -1;
    bOk = bOk && std::rename(strTemp.c_str(), strPath.c_str()) == 0;
    if (!bOk)
        unlink(strTemp.c_str());
    return bOk;
}

// The entry of dir whose name equals name without regard to ASCII case, or name itself.
std::string MatchComponent(const std::string& strDir, const std::string& strName) {
    struct stat st {};
    if (lstat((strDir + "/" + strName).c_str(), &st) == 0)
        return strName;
    std::unique_ptr<DIR, int (*)(DIR*)> pDir(opendir(strDir.c_str()), &closedir);
    if (!pDir)
        return strName;
    while (const dirent* pEntry = readdir(pDir.get())) {
        if (EqualNoCase(pEntry->d_name, strName))
            return pEntry->d_name;
    }
    return strName;
}

}  // namespace

const SRegKey* SRegDocument::FindKey(std::string_view name) const {
    for (const SRegKey& key : keys) {
        if (EqualNoCase(key.strName, name))
            return &key;
    }
    return nullptr;
}

const SRegEntry* SRegDocument::FindEntry(std::string_view key, std::string_view valueName) const {
    const SRegKey* pKey = FindKey(key);
    if (pKey == nullptr)
        return nullptr;
    const SRegEntry* pFound = nullptr;
    for (const SRegEntry& entry : pKey->entries) {
        if (EqualNoCase(entry.strName, valueName))
            pFound = &entry;  // the later one wins
    }
    return pFound;
}

void SRegDocument::SetString(std::string_view key, std::string_view valueName,
                             std::string_view text) {
    SRegKey* pKey = const_cast<SRegKey*>(FindKey(key));
    if (pKey == nullptr) {
        keys.push_back(SRegKey{std::string(key), {}});
        pKey = &keys.back();
    }
    for (SRegEntry& entry : pKey->entries) {
        if (EqualNoCase(entry.strName, valueName)) {
            entry.strData = QuoteRegString(text);
            return;
        }
    }
    pKey->entries.push_back(SRegEntry{std::string(valueName), QuoteRegString(text)});
}

SRegDocument ParseRegistryText(std::string_view text, ERegDialect eDialect) {
    SRegDocument document;
    SRegKey* pKey = nullptr;
    size_t nLineStart = 0;
    while (nLineStart < text.size()) {
        size_t nEnd = text.find('\n', nLineStart);
        if (nEnd == std::string_view::npos)
            nEnd = text.size();
        std::string_view line = Trim(text.substr(nLineStart, nEnd - nLineStart));
        nLineStart = nEnd + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            size_t nClose = line.rfind(']');  // Wine writes a time stamp after the bracket
            if (nClose == std::string_view::npos || nClose < 1) {
                pKey = nullptr;
                continue;
            }
            std::string_view rawName = line.substr(1, nClose - 1);
            std::string strName;
            if (eDialect == ERegDialect::Wine) {
                size_t nPos = 0;
                strName = *Unescape(rawName, nPos, false, eDialect);
            } else {
                strName.assign(rawName);
            }
            document.keys.push_back(SRegKey{std::move(strName), {}});
            pKey = &document.keys.back();
            continue;
        }
        if (pKey == nullptr)
            continue;  // "REGEDIT4", "WINE REGISTRY Version 2" ...
        std::string strName;
        size_t nPos = 0;
        if (line[0] == '@') {
            nPos = 1;
        } else if (line[0] == '"') {
            nPos = 1;
            std::optional<std::string> name = Unescape(line, nPos, true, eDialect);
            if (!name)
                continue;
            strName = std::move(*name);
        } else {
            continue;
        }
        if (nPos >= line.size() || line[nPos] != '=')
            continue;
        pKey->entries.push_back(SRegEntry{std::move(strName), std::string(line.substr(nPos + 1))});
    }
    return document;
}

std::string SerializeRegedit4(const SRegDocument& document) {
    std::string out = "REGEDIT4\n\n";
    for (const SRegKey& key : document.keys) {
        out += '[';
        out += key.strName;
        out += "]\n";
        for (const SRegEntry& entry : key.entries) {
            out += entry.strName.empty() ? std::string("@") : QuoteRegString(entry.strName);
            out += '=';
            out += entry.strData;
            out += '\n';
        }
        out += '\n';
    }
    return out;
}

std::string QuoteRegString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::optional<std::string> RegStringData(std::string_view data, ERegDialect eDialect) {
    data = Trim(data);
    if (data.substr(0, 7) == "str(2):")
        data.remove_prefix(7);
    if (data.empty() || data[0] != '"')
        return std::nullopt;
    size_t nPos = 1;
    std::optional<std::string> value = Unescape(data, nPos, true, eDialect);
    if (!value || !Trim(data.substr(nPos)).empty())
        return std::nullopt;
    return value;
}

const char* RegRootName(ERegRoot eRoot) {
    return eRoot == ERegRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

std::string RegistryFilePath() {
    return ConfigHome() + "/zav/registry.reg";
}

std::optional<std::string> ReadOwnRegistryValue(ERegRoot eRoot, std::string_view key,
                                                std::string_view valueName) {
    std::optional<std::string> text = ReadFile(RegistryFilePath());
    if (!text)
        return std::nullopt;
    SRegDocument document = ParseRegistryText(*text, ERegDialect::Regedit4);
    std::string strKey = std::string(RegRootName(eRoot)) + "\\" + std::string(key);
    const SRegEntry* pEntry = document.FindEntry(strKey, valueName);
    if (pEntry == nullptr)
        return std::nullopt;
    return RegStringData(pEntry->strData, ERegDialect::Regedit4);
}

bool WriteOwnRegistryValue(ERegRoot eRoot, std::string_view key, std::string_view valueName,
                           std::string_view text) {
    std::string strPath = RegistryFilePath();
    if (!MakeFolders(strPath.substr(0, strPath.rfind('/'))))
        return false;
    SRegDocument document;
    if (std::optional<std::string> old = ReadFile(strPath)) {
        document = ParseRegistryText(*old, ERegDialect::Regedit4);
    } else if (access(strPath.c_str(), F_OK) == 0) {
        return false;  // there but unreadable: do not replace what cannot be kept
    }
    document.SetString(std::string(RegRootName(eRoot)) + "\\" + std::string(key), valueName, text);
    return WriteFileAtomically(strPath, SerializeRegedit4(document));
}

std::optional<std::string> ReadWineRegistryValue(ERegRoot eRoot, std::string_view key,
                                                 std::string_view valueName) {
    std::string strPrefix = WinePrefix();
    std::optional<std::string> text =
        ReadFile(strPrefix + (eRoot == ERegRoot::LocalMachine ? "/system.reg" : "/user.reg"));
    if (!text)
        return std::nullopt;
    SRegDocument document = ParseRegistryText(*text, ERegDialect::Wine);

    std::vector<std::string> candidates = {std::string(key)};
    constexpr std::string_view kSoftware = "SOFTWARE\\";
    if (key.size() > kSoftware.size() && EqualNoCase(key.substr(0, kSoftware.size()), kSoftware)) {
        candidates.push_back(std::string(key.substr(0, kSoftware.size())) + "Wow6432Node\\" +
                             std::string(key.substr(kSoftware.size())));
    }
    for (const std::string& strKey : candidates) {
        const SRegEntry* pEntry = document.FindEntry(strKey, valueName);
        if (pEntry == nullptr)
            continue;
        std::optional<std::string> value = RegStringData(pEntry->strData, ERegDialect::Wine);
        if (!value || value->empty())
            continue;
        if (std::optional<std::string> posix = WinePathToPosix(strPrefix, *value))
            return posix;
    }
    return std::nullopt;
}

std::optional<std::string> WinePathToPosix(const std::string& strPrefix,
                                           std::string_view windowsPath) {
    if (windowsPath.size() < 2 || windowsPath[1] != ':')
        return std::nullopt;
    char cDrive = windowsPath[0];
    if (cDrive >= 'A' && cDrive <= 'Z')
        cDrive = static_cast<char>(cDrive - 'A' + 'a');
    if (cDrive < 'a' || cDrive > 'z')
        return std::nullopt;

    std::string strLink = strPrefix + "/dosdevices/" + cDrive + ":";
    char szResolved[PATH_MAX];
    if (realpath(strLink.c_str(), szResolved) == nullptr)
        return std::nullopt;
    std::string strPath = szResolved;

    std::string_view rest = windowsPath.substr(2);
    bool bTrailing = !rest.empty() && (rest.back() == '\\' || rest.back() == '/');
    size_t nPos = 0;
    while (nPos < rest.size()) {
        size_t nEnd = rest.find_first_of("\\/", nPos);
        if (nEnd == std::string_view::npos)
            nEnd = rest.size();
        std::string strPart(rest.substr(nPos, nEnd - nPos));
        nPos = nEnd + 1;
        if (strPart.empty() || strPart == ".")
            continue;
        if (strPart == "..")
            return std::nullopt;  // not a plain install path
        std::string strDir = strPath.empty() ? "/" : strPath;
        if (strPath == "/")
            strPath.clear();
        strPath += '/';
        strPath += MatchComponent(strDir, strPart);
    }
    if (bTrailing || rest.empty()) {
        if (strPath.empty() || strPath.back() != '/')
            strPath += '/';
    }
    return strPath;
}

#endif
