// The service's route handlers driven in-process, without sockets: each input becomes one
// request (configuration, account script, upload, download or member login) from a member who
// is or is not logged in from the request's address. The body reaches the handler in pieces
// of varying sizes through the same reader interface the server gives it. Every reply the
// desktop client reads is checked with the client's own parsers.
#include <fuzzer/FuzzedDataProvider.h>
#include <httplib.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include "app/auth_reply.h"
#include "app/login_logic.h"
#include "app/server_config.h"
#include "app/settings.h"
#include "app/view.h"
#include "service/member_store.h"
#include "service/password.h"
#include "service/service.h"

namespace {

using namespace zavsvc;

constexpr const char* kMemberId = "gamer01";
constexpr const char* kMemberPw = "zavdemo";
constexpr const char* kNickname = "데모게이머";
constexpr const char* kHomeAddr = "127.0.0.1";

std::string g_strDataDir;
std::unique_ptr<CService> g_pService;
std::unique_ptr<CMemberStore> g_pAdmin;

class CNoView : public IMessageView {
public:
    void Message(const std::string&) override { abort(); }
    bool Confirm(const std::string&) override { abort(); }
};

// The body in pieces, as the server's reader hands it over; stops when the receiver refuses.
httplib::ContentReader MakeReader(const std::string& strBody, uint32_t nSeed) {
    auto reader = [&strBody, nSeed](httplib::ContentReceiver receiver) mutable {
        size_t nPos = 0;
        const uint32_t nMax = (nSeed & 0x3ff) + 1;
        while (nPos < strBody.size()) {
            nSeed = nSeed * 1103515245u + 12345u;
            size_t n = std::min<size_t>((nSeed >> 12) % nMax + 1, strBody.size() - nPos);
            if (!receiver(strBody.data() + nPos, n))
                return false;
            nPos += n;
        }
        return true;
    };
    auto multipart = [](httplib::MultipartContentHeader, httplib::ContentReceiver) {
        abort();  // the handlers read multipart bodies themselves
        return false;
    };
    return httplib::ContentReader(reader, multipart);
}

// How the request states its length: not at all, truly, or with any number. Chosen before
// the body is taken, since the body takes the rest of the input.
struct SLength {
    int nMode = 0;
    uint64_t nValue = 0;
};

SLength ConsumeLength(FuzzedDataProvider& provider) {
    SLength length;
    length.nMode = provider.ConsumeIntegralInRange<int>(0, 2);
    if (length.nMode == 2)
        length.nValue = provider.ConsumeIntegral<uint64_t>();
    return length;
}

void AddContentLength(const SLength& length, httplib::Request& req, size_t nSize) {
    if (length.nMode != 0)
        req.headers.emplace("Content-Length",
                            std::to_string(length.nMode == 1 ? nSize : length.nValue));
}

// A handler that leaves the status unset (-1) is answered with 200 by the server.
int Status(const httplib::Response& res) {
    return res.status == -1 ? 200 : res.status;
}

void CheckAuthReply(const httplib::Response& res) {
    const SAuthReply reply = ParseAuthReply(res.body);
    if (Status(res) == 200 ? reply.eStatus != SAuthReply::Success
                           : reply.eStatus != SAuthReply::Refused || reply.strMessage.empty())
        abort();
}

void OnConfig(httplib::Request& req, httplib::Response& res) {
    g_pService->OnConfig(req, res);
    CSettings settings;
    CNoView view;
    if (ApplyServerConfig(settings, res.body, view) != EConfigLoad::Loaded ||
        settings.m_nMaxUploadLimit != 1000000)
        abort();
}

void OnAuth(FuzzedDataProvider& provider, httplib::Request& req, httplib::Response& res,
            uint32_t nSeed) {
    const SLength length = ConsumeLength(provider);
    const std::string strBody = provider.ConsumeRemainingBytesAsString();
    AddContentLength(length, req, strBody.size());
    g_pService->OnAuth(req, res, MakeReader(strBody, nSeed));
    CheckAuthReply(res);
}

void OnUpload(FuzzedDataProvider& provider, httplib::Request& req, httplib::Response& res,
              uint32_t nSeed) {
    req.params.emplace("userid",
                       provider.ConsumeBool() ? kMemberId : provider.ConsumeRandomLengthString(40));
    std::string strType = provider.ConsumeRandomLengthString(120);
    if (provider.ConsumeBool())
        strType = "multipart/form-data; boundary=" + strType;
    req.headers.emplace("X-Zav-Original-Content-Type", strType);
    const SLength length = ConsumeLength(provider);
    const std::string strBody = provider.ConsumeRemainingBytesAsString();
    AddContentLength(length, req, strBody.size());
    g_pService->OnUpload(req, res, MakeReader(strBody, nSeed));
    const bool bOk = res.body.rfind("+OK<br>", 0) == 0;
    if (bOk != (Status(res) == 200) || (!bOk && res.body.rfind("-ERR upload refused: ", 0) != 0))
        abort();
}

void OnDownload(FuzzedDataProvider& provider, httplib::Request& req, httplib::Response& res) {
    static const std::regex s_route(R"(/Kelpo/UserData/([^/]+)/([^/]+))");
    std::string strId = provider.ConsumeBool() ? kMemberId : provider.ConsumeRandomLengthString(40);
    req.path = "/Kelpo/UserData/" + strId + "/" + provider.ConsumeRemainingBytesAsString();
    if (!std::regex_match(req.path, req.matches, s_route))
        return;  // the server would not route it here
    g_pService->OnDownload(req, res);
    if (Status(res) == 200) {
        if (!res.content_provider_)
            abort();
        std::string strContent;
        httplib::DataSink sink;
        sink.write = [&](const char* p, size_t n) {
            strContent.append(p, n);
            return true;
        };
        while (strContent.size() < res.content_length_)
            if (!res.content_provider_(strContent.size(), res.content_length_ - strContent.size(),
                                       sink))
                break;
        // The archive may have been replaced since; only a short read is a fault.
        if (strContent.size() != res.content_length_)
            abort();
    }
}

void OnLogin(FuzzedDataProvider& provider, httplib::Request& req, httplib::Response& res,
             uint32_t nSeed) {
    std::string strBody;
    if (provider.ConsumeBool())
        strBody = "code=" + std::string(kLoginCode) + "&id=" + kMemberId + "&pw=";
    const SLength length = ConsumeLength(provider);
    strBody += provider.ConsumeRemainingBytesAsString();
    AddContentLength(length, req, strBody.size());
    g_pService->OnLogin(req, res, MakeReader(strBody, nSeed));
    const SLoginReply reply = ParseLoginReply(res.body);
    if (reply.eStatus == SLoginReply::Failure || reply.strPayload.empty())
        abort();
    if (reply.eStatus == SLoginReply::Success && reply.strPayload != kNickname)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("ZAV_SERVICE_HASH_ITERATIONS", "1000", 1);
    // A memory-backed data folder keeps the database's and the archives' syncs cheap.
    char szTemplate[] = "/dev/shm/zav-service-fuzz-XXXXXX";
    char szFallback[] = "/tmp/zav-service-fuzz-XXXXXX";
    const char* pszDir = mkdtemp(szTemplate);
    if (pszDir == nullptr)
        pszDir = mkdtemp(szFallback);
    if (pszDir == nullptr)
        abort();
    g_strDataDir = pszDir;
    atexit([] {
        g_pService.reset();
        g_pAdmin.reset();
        std::error_code ec;
        std::filesystem::remove_all(g_strDataDir, ec);
    });

    SServeOptions options;
    options.strDataDir = g_strDataDir;
    options.nMaxUploadMb = 1;
    options.nCapacityMb = 3;
    g_pService = std::make_unique<CService>(options);
    g_pAdmin = std::make_unique<CMemberStore>();
    std::string strError;
    if (!g_pService->Prepare() || !g_pAdmin->Open(g_strDataDir, &strError) ||
        !g_pAdmin->Upsert(kMemberId, HashPassword(kMemberPw, 1000), kNickname)) {
        std::fprintf(stderr, "service_handler_fuzzer: cannot prepare %s %s\n", pszDir,
                     strError.c_str());
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    FuzzedDataProvider provider(pData, nSize);
    const int nRoute = provider.ConsumeIntegralInRange<int>(0, 4);
    // The member's session: bound to the home address now, or to another address.
    const bool bLoggedIn = provider.ConsumeBool();
    const char* pszAddr = bLoggedIn ? kHomeAddr : "192.0.2.7";
    g_pAdmin->RecordLoginSuccess(kMemberId, pszAddr, pszAddr, NowMs());

    httplib::Request req;
    httplib::Response res;
    req.remote_addr = provider.ConsumeBool() ? "::ffff:127.0.0.1" : kHomeAddr;
    const uint32_t nSeed = provider.ConsumeIntegral<uint32_t>();
    switch (nRoute) {
        case 0:
            req.method = "GET";
            OnConfig(req, res);
            break;
        case 1:
            req.method = "POST";
            OnAuth(provider, req, res, nSeed);
            break;
        case 2:
            req.method = "POST";
            OnUpload(provider, req, res, nSeed);
            break;
        case 3:
            req.method = "GET";
            OnDownload(provider, req, res);
            break;
        default:
            req.method = "POST";
            OnLogin(provider, req, res, nSeed);
            break;
    }
    // ZAV_FUZZ_VERBOSE=1 shows each request's outcome, for looking at seeds and findings.
    static const bool s_bVerbose = getenv("ZAV_FUZZ_VERBOSE") != nullptr;
    if (s_bVerbose)
        std::fprintf(stderr, "route %d %s: status %d, %.80s\n", nRoute, req.path.c_str(),
                     res.status, res.body.c_str());
    return 0;
}
