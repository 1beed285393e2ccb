#include "service/cli.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "service/address.h"
#include "service/archive_store.h"
#include "service/member_store.h"
#include "service/password.h"
#include "service/service.h"
#include "service/text_util.h"

namespace zavsvc {
namespace {

constexpr const char* kUsage =
    "usage: zav-service serve --data DIR [--http HOST:PORT] [--https HOST:PORT] [--demo]\n"
    "                         [--max-upload-mb N] [--capacity-mb N] [--client-version TEXT]\n"
    "                         [--session-hours N] [--trusted-proxy ADDR]\n"
    "                         [--workers N] [--password-checks N]\n"
    "       zav-service member add --data DIR ID PASSWORD NICKNAME\n"
    "       zav-service member remove --data DIR ID\n"
    "       zav-service member list --data DIR\n";

int Usage(const std::string& strProblem) {
    std::fprintf(stderr, "zav-service: %s\n%s", strProblem.c_str(), kUsage);
    return 2;
}

bool ParseNumber(const std::string& strText, long nMin, long nMax, long& rValue) {
    if (strText.empty() || strText.size() > 9 ||
        strText.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    rValue = std::stol(strText);
    return rValue >= nMin && rValue <= nMax;
}

// The client compares this text byte for byte and shows it; it travels inside "<br>"-separated
// NAME=VALUE pieces of at most 48 value characters.
bool IsValidVersionText(const std::string& strText) {
    if (strText.empty() || strText.size() > 48) {
        return false;
    }
    for (char c : strText) {
        if (c <= ' ' || c > '~' || c == '<' || c == '>' || c == '=' || c == '&' || c == '"' ||
            c == '|') {
            return false;
        }
    }
    return true;
}

int Serve(const std::vector<std::string>& vecArgs) {
    SServeOptions options;
    for (size_t i = 0; i < vecArgs.size(); ++i) {
        const std::string& strArg = vecArgs[i];
        if (strArg == "--demo") {
            options.bDemo = true;
            continue;
        }
        if (i + 1 >= vecArgs.size()) {
            return Usage("missing value after " + strArg);
        }
        const std::string& strValue = vecArgs[++i];
        long n = 0;
        if (strArg == "--data") {
            options.strDataDir = strValue;
        } else if (strArg == "--http" || strArg == "--https") {
            if (!ParseEndpoint(strValue, strArg == "--http" ? options.http : options.https)) {
                return Usage("bad HOST:PORT " + strValue);
            }
        } else if (strArg == "--max-upload-mb") {
            // The client multiplies by 1,000,000 in 32-bit signed arithmetic.
            if (!ParseNumber(strValue, 1, 2147, n)) {
                return Usage("--max-upload-mb takes 1 to 2147");
            }
            options.nMaxUploadMb = static_cast<int>(n);
        } else if (strArg == "--capacity-mb") {
            if (!ParseNumber(strValue, 1, 999999999, n)) {
                return Usage("--capacity-mb takes a positive number");
            }
            options.nCapacityMb = n;
        } else if (strArg == "--client-version") {
            if (!IsValidVersionText(strValue)) {
                return Usage("--client-version takes 1 to 48 printable characters");
            }
            options.strClientVersion = strValue;
        } else if (strArg == "--session-hours") {
            if (!ParseNumber(strValue, 1, 24 * 365, n)) {
                return Usage("--session-hours takes 1 to 8760");
            }
            options.nSessionHours = static_cast<int>(n);
        } else if (strArg == "--trusted-proxy") {
            options.strTrustedProxy = NormalizeAddress(strValue);
            if (options.strTrustedProxy.empty()) {
                return Usage("--trusted-proxy takes an IPv4 or IPv6 address");
            }
        } else if (strArg == "--workers") {
            if (!ParseNumber(strValue, 1, 256, n)) {
                return Usage("--workers takes 1 to 256");
            }
            options.nWorkers = static_cast<int>(n);
        } else if (strArg == "--password-checks") {
            if (!ParseNumber(strValue, 1, 64, n)) {
                return Usage("--password-checks takes 1 to 64");
            }
            options.nPasswordChecks = static_cast<int>(n);
        } else if (strArg == "--clock-file") {
            options.fnNowMs = FileClock(strValue);
        } else if (strArg == "--io-timeout-ms") {
            if (!ParseNumber(strValue, 50, 600000, n)) {
                return Usage("--io-timeout-ms takes 50 to 600000");
            }
            options.nIoTimeoutMs = static_cast<int>(n);
        } else {
            return Usage("unknown option " + strArg);
        }
    }
    if (options.strDataDir.empty()) {
        return Usage("serve needs --data DIR");
    }
    CService service(std::move(options));
    return service.Run();
}

bool OpenStore(const std::string& strDataDir, CMemberStore& rStore) {
    std::error_code ec;
    std::filesystem::create_directories(strDataDir, ec);
    std::string strError;
    if (!rStore.Open(strDataDir, &strError)) {
        std::fprintf(stderr, "zav-service: cannot open the database %s\n", strError.c_str());
        return false;
    }
    return true;
}

int MemberAdd(const std::string& strDataDir, const std::string& strId, const std::string& strPw,
              const std::string& strNickname) {
    if (!IsValidMemberId(strId)) {
        std::fprintf(stderr,
                     "zav-service: a member id has letters, digits, '_', '-', '.' or Hangul "
                     "syllables, 1 to 31 bytes in CP949 (two for a syllable), and does not "
                     "start with '.'\n");
        return 1;
    }
    // The client sends id and password in CP949 and fits both into 88 bytes.
    const size_t nIdBytes = Cp949FromUtf8(strId).value_or(strId).size();
    auto pw = Cp949FromUtf8(strPw);
    if (!pw || pw->empty() || nIdBytes + pw->size() > 88) {
        std::fprintf(stderr,
                     "zav-service: the password must be non-empty, encodable in CP949, and at "
                     "most %zu bytes long with this id\n",
                     88 - nIdBytes);
        return 1;
    }
    bool bControl = false;
    for (char c : strNickname) {
        bControl = bControl || (static_cast<unsigned char>(c) < 0x20);
    }
    if (!IsValidUtf8(strNickname) || bControl || strNickname.size() > 200) {
        std::fprintf(stderr, "zav-service: the nickname must be UTF-8 text of at most 200 bytes\n");
        return 1;
    }
    CMemberStore store;
    if (!OpenStore(strDataDir, store)) {
        return 1;
    }
    std::string strHash = HashPassword(*pw, HashIterations());
    if (strHash.empty()) {
        std::fprintf(stderr, "zav-service: cannot hash the password\n");
        return 1;
    }
    switch (store.Add(strId, strHash, strNickname)) {
        case CMemberStore::EAdd::Added:
            return 0;
        case CMemberStore::EAdd::Exists:
            std::fprintf(stderr, "zav-service: the member %s exists already\n", strId.c_str());
            return 1;
        case CMemberStore::EAdd::Failed:
            break;
    }
    std::fprintf(stderr, "zav-service: cannot add the member\n");
    return 1;
}

int MemberRemove(const std::string& strDataDir, const std::string& strId) {
    CMemberStore store;
    if (!IsValidMemberId(strId) || !OpenStore(strDataDir, store)) {
        std::fprintf(stderr, "zav-service: no such member\n");
        return 1;
    }
    if (!store.Remove(strId)) {
        std::fprintf(stderr, "zav-service: no such member %s\n", strId.c_str());
        return 1;
    }
    CArchiveStore archives(strDataDir);
    std::error_code ec;
    std::filesystem::remove_all(archives.MemberDir(strId), ec);
    return 0;
}

int MemberList(const std::string& strDataDir) {
    CMemberStore store;
    if (!OpenStore(strDataDir, store)) {
        return 1;
    }
    for (const auto& member : store.List()) {
        std::printf("%s\t%s\t%s\n", member.strId.c_str(), member.strNickname.c_str(),
                    member.strLastUpload.c_str());
    }
    return 0;
}

int Member(const std::vector<std::string>& vecArgs) {
    if (vecArgs.empty()) {
        return Usage("member needs add, remove or list");
    }
    const std::string& strVerb = vecArgs[0];
    std::string strDataDir;
    std::vector<std::string> vecRest;
    for (size_t i = 1; i < vecArgs.size(); ++i) {
        if (vecArgs[i] == "--data" && i + 1 < vecArgs.size()) {
            strDataDir = vecArgs[++i];
        } else {
            vecRest.push_back(vecArgs[i]);
        }
    }
    if (strDataDir.empty()) {
        return Usage("member " + strVerb + " needs --data DIR");
    }
    if (strVerb == "add" && vecRest.size() == 3) {
        return MemberAdd(strDataDir, vecRest[0], vecRest[1], vecRest[2]);
    }
    if (strVerb == "remove" && vecRest.size() == 1) {
        return MemberRemove(strDataDir, vecRest[0]);
    }
    if (strVerb == "list" && vecRest.empty()) {
        return MemberList(strDataDir);
    }
    return Usage("bad arguments for member " + strVerb);
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& vecArgs) {
    // The data folder holds password hashes, the TLS key and the members' archives.
    ::umask(077);
    if (vecArgs.empty()) {
        return Usage("no command");
    }
    std::vector<std::string> vecRest(vecArgs.begin() + 1, vecArgs.end());
    if (vecArgs[0] == "serve") {
        return Serve(vecRest);
    }
    if (vecArgs[0] == "member") {
        return Member(vecRest);
    }
    return Usage("unknown command " + vecArgs[0]);
}

}  // namespace zavsvc
