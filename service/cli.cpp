#include "service/cli.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "service/address.h"
#include "service/archive_backend.h"
#include "service/archive_store.h"
#include "service/member_store.h"
#include "service/password.h"
#include "service/service.h"
#include "service/text_util.h"

namespace zavsvc {
namespace {

constexpr const char* kUsage =
    "usage: zav-service serve --data DIR [--db postgresql://USER@HOST:PORT/DB]\n"
    "                         [--store s3://BUCKET/PREFIX --s3-endpoint http://HOST:PORT]\n"
    "                         [--http HOST:PORT] [--https HOST:PORT] [--demo]\n"
    "                         [--max-upload-mb N] [--capacity-mb N] [--client-version TEXT]\n"
    "                         [--session-hours N] [--trusted-proxy ADDR]\n"
    "                         [--workers N] [--password-checks N]\n"
    "       zav-service member add (--data DIR | --db URL) ID PASSWORD NICKNAME\n"
    "       zav-service member remove (--data DIR | --db URL [--store URL --s3-endpoint URL]) ID\n"
    "       zav-service member list (--data DIR | --db URL)\n"
    "       zav-service migrate --from-data DIR --db URL --store s3://BUCKET/PREFIX\n"
    "                           --s3-endpoint http://HOST:PORT\n"
    "The S3 store's credentials come from AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and\n"
    "AWS_REGION (default us-east-1).\n";

// An endpoint of the S3 store: http:// or https://, host and port, no path.
bool IsValidEndpoint(const std::string& strText) {
    const bool bScheme = strText.rfind("http://", 0) == 0 || strText.rfind("https://", 0) == 0;
    const size_t nHost = strText.find("://") + 3;
    return bScheme && strText.size() > nHost && strText.find('/', nHost) == std::string::npos &&
           strText.find_first_of("?#@ ", nHost) == std::string::npos;
}

// The options that name the back ends: --db, --store and --s3-endpoint. False (with the
// problem) when the value is malformed; true with bTaken when strArg was one of them.
bool TakeBackendOption(const std::string& strArg, const std::string& strValue,
                       SServeOptions& rOptions, bool& bTaken, std::string& rProblem) {
    bTaken = true;
    if (strArg == "--db") {
        if (!IsPostgresUri(strValue)) {
            rProblem = "--db takes postgresql://USER@HOST:PORT/DB";
            return false;
        }
        rOptions.strDb = strValue;
    } else if (strArg == "--store") {
        SS3Location location;
        if (!ParseS3Url(strValue, location, &rProblem)) {
            return false;
        }
        rOptions.strStore = strValue;
    } else if (strArg == "--s3-endpoint") {
        if (!IsValidEndpoint(strValue)) {
            rProblem = "--s3-endpoint takes http://HOST:PORT or https://HOST:PORT";
            return false;
        }
        rOptions.strS3Endpoint = strValue;
    } else {
        bTaken = false;
    }
    return true;
}

// --store and --s3-endpoint come together.
bool BackendsComplete(const SServeOptions& options, std::string& rProblem) {
    if (options.strStore.empty() != options.strS3Endpoint.empty()) {
        rProblem = "--store and --s3-endpoint go together";
        return false;
    }
    return true;
}

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
        bool bBackend = false;
        std::string strProblem;
        if (!TakeBackendOption(strArg, strValue, options, bBackend, strProblem)) {
            return Usage(strProblem);
        }
        if (bBackend) {
            continue;
        }
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
        } else if (strArg == "--sweep-ms") {
            if (!ParseNumber(strValue, 1, 86400000, n)) {
                return Usage("--sweep-ms takes 1 to 86400000");
            }
            options.nSweepMs = n;
        } else if (strArg == "--io-timeout-ms") {
            if (!ParseNumber(strValue, 50, 600000, n)) {
                return Usage("--io-timeout-ms takes 50 to 600000");
            }
            options.nIoTimeoutMs = static_cast<int>(n);
        } else {
            return Usage("unknown option " + strArg);
        }
    }
    std::string strProblem;
    if (options.strDataDir.empty()) {
        return Usage("serve needs --data DIR");
    }
    if (!BackendsComplete(options, strProblem)) {
        return Usage(strProblem);
    }
    CService service(std::move(options));
    return service.Run();
}

// The member database the options name: PostgreSQL, or DIR/zav.db (the folder made first).
bool OpenStore(const SServeOptions& options, CMemberStore& rStore) {
    std::string strError;
    bool bOk = false;
    if (!options.strDb.empty()) {
        bOk = rStore.OpenPostgres(options.strDb, 2, &strError);
    } else {
        std::error_code ec;
        std::filesystem::create_directories(options.strDataDir, ec);
        bOk = rStore.Open(options.strDataDir, &strError);
    }
    if (!bOk) {
        std::fprintf(stderr, "zav-service: cannot open the database %s\n", strError.c_str());
    }
    return bOk;
}

// The S3 store the options name, with the environment's credentials; nullptr (reported)
// when they are incomplete.
std::unique_ptr<CS3Client> OpenBucket(const SServeOptions& options) {
    SS3Location location;
    SS3Credentials credentials;
    std::string strError;
    if (!ParseS3Url(options.strStore, location, &strError) ||
        !CredentialsFromEnvironment(credentials, &strError)) {
        std::fprintf(stderr, "zav-service: %s\n", strError.c_str());
        return nullptr;
    }
    location.strEndpoint = options.strS3Endpoint;
    auto pClient = std::make_unique<CS3Client>(location, credentials);
    if (!pClient->CheckBucket(&strError)) {
        std::fprintf(stderr, "zav-service: cannot use the archive store: %s\n", strError.c_str());
        return nullptr;
    }
    return pClient;
}

int MemberAdd(const SServeOptions& options, const std::string& strId, const std::string& strPw,
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
    if (!OpenStore(options, store)) {
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

int MemberRemove(const SServeOptions& options, const std::string& strId) {
    CMemberStore store;
    if (!IsValidMemberId(strId) || !OpenStore(options, store)) {
        std::fprintf(stderr, "zav-service: no such member\n");
        return 1;
    }
    // Archives in an object store leave with their rows; their objects are deleted now, or by
    // a running service's sweep.
    std::vector<std::string> vecRetired;
    if (!store.RemoveArchives(strId, NowMs(), vecRetired)) {
        std::fprintf(stderr, "zav-service: cannot remove the archives of %s\n", strId.c_str());
        return 1;
    }
    if (!store.Remove(strId)) {
        std::fprintf(stderr, "zav-service: no such member %s\n", strId.c_str());
        return 1;
    }
    if (!options.strStore.empty()) {
        if (auto pClient = OpenBucket(options)) {
            for (const auto& strKey : vecRetired) {
                std::string strError;
                if (pClient->Delete(strKey, &strError)) {
                    store.ForgetRetired(strKey);
                }
            }
        }
    } else if (!options.strDataDir.empty()) {
        CArchiveStore archives(options.strDataDir);
        std::error_code ec;
        std::filesystem::remove_all(archives.MemberDir(strId), ec);
    }
    return 0;
}

int MemberList(const SServeOptions& options) {
    CMemberStore store;
    std::vector<SMember> vecMembers;
    if (!OpenStore(options, store)) {
        return 1;
    }
    if (!store.List(vecMembers)) {
        std::fprintf(stderr, "zav-service: cannot read the members\n");
        return 1;
    }
    for (const auto& member : vecMembers) {
        std::printf("%s\t%s\t%s\n", member.strId.c_str(), member.strNickname.c_str(),
                    member.strLastUpload.c_str());
    }
    return 0;
}

// Reads --data, --db, --store and --s3-endpoint wherever they stand; the rest in order.
bool SplitStoreOptions(const std::vector<std::string>& vecArgs, size_t nFirst,
                       SServeOptions& rOptions, std::vector<std::string>& rRest,
                       std::string& rProblem) {
    for (size_t i = nFirst; i < vecArgs.size(); ++i) {
        const bool bValue = i + 1 < vecArgs.size();
        bool bTaken = false;
        if (vecArgs[i] == "--data" && bValue) {
            rOptions.strDataDir = vecArgs[++i];
        } else if (bValue &&
                   !TakeBackendOption(vecArgs[i], vecArgs[i + 1], rOptions, bTaken, rProblem)) {
            return false;
        } else if (bTaken) {
            ++i;
        } else {
            rRest.push_back(vecArgs[i]);
        }
    }
    return BackendsComplete(rOptions, rProblem);
}

int Member(const std::vector<std::string>& vecArgs) {
    if (vecArgs.empty()) {
        return Usage("member needs add, remove or list");
    }
    const std::string& strVerb = vecArgs[0];
    SServeOptions options;
    std::vector<std::string> vecRest;
    std::string strProblem;
    if (!SplitStoreOptions(vecArgs, 1, options, vecRest, strProblem)) {
        return Usage(strProblem);
    }
    if (options.strDataDir.empty() && options.strDb.empty()) {
        return Usage("member " + strVerb + " needs --data DIR or --db URL");
    }
    if (strVerb == "add" && vecRest.size() == 3) {
        return MemberAdd(options, vecRest[0], vecRest[1], vecRest[2]);
    }
    if (strVerb == "remove" && vecRest.size() == 1) {
        return MemberRemove(options, vecRest[0]);
    }
    if (strVerb == "list" && vecRest.empty()) {
        return MemberList(options);
    }
    return Usage("bad arguments for member " + strVerb);
}

// The SHA-256 of a file in hex; empty when it cannot be read.
std::string FileSha256(const std::string& strPath) {
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(strPath.c_str(), "rbe"),
                                                       std::fclose);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!file || !ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        return "";
    }
    std::vector<char> vecBuffer(256 * 1024);
    size_t n;
    while ((n = std::fread(vecBuffer.data(), 1, vecBuffer.size(), file.get())) > 0) {
        EVP_DigestUpdate(ctx.get(), vecBuffer.data(), n);
    }
    unsigned char achDigest[EVP_MAX_MD_SIZE];
    unsigned int nDigest = 0;
    if (std::ferror(file.get()) || EVP_DigestFinal_ex(ctx.get(), achDigest, &nDigest) != 1) {
        return "";
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string str;
    for (unsigned int i = 0; i < nDigest; ++i) {
        str += kHex[achDigest[i] >> 4];
        str += kHex[achDigest[i] & 0x0F];
    }
    return str;
}

// Copies a data folder's members, their metadata and archives into PostgreSQL and an S3 store.
// Each member goes in one transaction, after its archives are in the store: a member is there
// whole or not at all, and one that is there already (an earlier run, or a member who has used
// the shared service since) is left as it is, so the command can be run again without harm.
int Migrate(const std::vector<std::string>& vecArgs) {
    SServeOptions options;
    std::vector<std::string> vecRest;
    std::string strProblem;
    std::string strFrom;
    for (size_t i = 0; i + 1 < vecArgs.size(); ++i) {
        if (vecArgs[i] == "--from-data") {
            strFrom = vecArgs[i + 1];
        }
    }
    std::vector<std::string> vecOthers;
    for (size_t i = 0; i < vecArgs.size(); ++i) {
        if (vecArgs[i] == "--from-data" && i + 1 < vecArgs.size()) {
            ++i;
        } else {
            vecOthers.push_back(vecArgs[i]);
        }
    }
    if (!SplitStoreOptions(vecOthers, 0, options, vecRest, strProblem)) {
        return Usage(strProblem);
    }
    if (strFrom.empty() || options.strDb.empty() || options.strStore.empty() || !vecRest.empty() ||
        !options.strDataDir.empty()) {
        return Usage("migrate needs --from-data DIR, --db URL, --store URL and --s3-endpoint URL");
    }
    if (!std::filesystem::is_regular_file(strFrom + "/zav.db")) {
        std::fprintf(stderr, "zav-service: %s/zav.db: no such database\n", strFrom.c_str());
        return 1;
    }
    CMemberStore source, target;
    SServeOptions sourceOptions;
    sourceOptions.strDataDir = strFrom;
    std::vector<SMember> vecMembers;
    if (!OpenStore(sourceOptions, source) || !OpenStore(options, target)) {
        return 1;
    }
    if (!source.List(vecMembers)) {
        std::fprintf(stderr, "zav-service: cannot read the members of %s\n", strFrom.c_str());
        return 1;
    }
    auto pClient = OpenBucket(options);
    if (!pClient) {
        return 1;
    }
    CArchiveStore files(strFrom);
    size_t nCopied = 0, nKept = 0, nArchives = 0;
    int64_t nBytes = 0;
    for (const auto& member : vecMembers) {
        std::optional<SMember> existing;
        if (!IsValidMemberId(member.strId)) {
            std::fprintf(stderr, "zav-service: %s is no member id; left out\n",
                         member.strId.c_str());
            continue;
        }
        if (!target.Lookup(member.strId, existing)) {
            std::fprintf(stderr, "zav-service: cannot read the database\n");
            return 1;
        }
        if (existing) {
            ++nKept;
            continue;
        }
        // The lease keeps a running service's sweep off the objects until the row names them.
        const int64_t nNow = NowMs();
        const std::string strToken = NewUploadToken(nNow);
        if (target.TakeUploadLease(member.strId, strToken, 0, 0, nNow, nNow + 10 * 60 * 1000) !=
            CMemberStore::ELease::Taken) {
            std::fprintf(stderr, "zav-service: %s has an upload in progress; left out\n",
                         member.strId.c_str());
            continue;
        }
        std::vector<SArchiveRow> vecRows;
        bool bOk = true;
        for (const auto& category : Categories()) {
            const std::string strPath = files.ArchivePath(member.strId, category);
            if (!std::filesystem::is_regular_file(strPath)) {
                continue;
            }
            const std::string strKey =
                ObjectKey(pClient->Location(), member.strId, strToken, category);
            const std::string strSha256 = FileSha256(strPath);
            std::string strError;
            if (strSha256.empty() || !pClient->PutFile(strKey, strPath, strSha256, &strError)) {
                std::fprintf(stderr, "zav-service: cannot copy %s: %s\n", strPath.c_str(),
                             strSha256.empty() ? "unreadable" : strError.c_str());
                bOk = false;
                break;
            }
            vecRows.push_back(
                {category.pszName, strKey, files.ArchiveSize(member.strId, category)});
        }
        const auto eAdd = bOk ? target.Import(member, vecRows) : CMemberStore::EAdd::Failed;
        target.ReleaseUploadLease(member.strId, strToken);
        if (eAdd != CMemberStore::EAdd::Added) {
            for (const auto& row : vecRows) {
                std::string strError;
                pClient->Delete(row.strKey, &strError);
            }
        }
        if (eAdd == CMemberStore::EAdd::Failed) {
            std::fprintf(stderr, "zav-service: cannot migrate %s; run the command again\n",
                         member.strId.c_str());
            return 1;
        }
        if (eAdd == CMemberStore::EAdd::Exists) {
            ++nKept;
            continue;
        }
        ++nCopied;
        nArchives += vecRows.size();
        for (const auto& row : vecRows) {
            nBytes += row.nSize;
        }
    }
    std::printf("migrated %zu members (%zu archives, %lld bytes); %zu were there already\n",
                nCopied, nArchives, static_cast<long long>(nBytes), nKept);
    return 0;
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
    if (vecArgs[0] == "migrate") {
        return Migrate(vecRest);
    }
    return Usage("unknown command " + vecArgs[0]);
}

}  // namespace zavsvc
