#include "service/service.h"

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "service/address.h"
#include "service/front.h"
#include "service/password.h"
#include "service/replies.h"
#include "service/text_util.h"
#include "service/tls_cert.h"

namespace zavsvc {
namespace {

// Connections to a shared database at once: the workers that need one wait for a free one.
constexpr size_t kDatabaseConnections = 8;
constexpr const char* kAuthType = "text/html; charset=euc-kr";
constexpr const char* kOriginalTypeHeader = "X-Zav-Original-Content-Type";

constexpr const char* kMsgBadRequest = "잘못된 요청입니다.";
constexpr const char* kMsgBadId = "아이디가 올바르지 않습니다.";
constexpr const char* kMsgNotLoggedIn = "로그인 정보가 없습니다. 프로그램에서 다시 로그인하십시오.";
constexpr const char* kMsgRemoveFailed =
    "파일을 삭제하지 못하였습니다. 잠시후에 다시 시도해 보시기 바랍니다.";
constexpr const char* kMsgUnavailable =
    "저장소에 연결하지 못하였습니다. 잠시후에 다시 시도해 보시기 바랍니다.";

// Refused requests: at most 20 log lines a second, 100 at once.
constexpr double kRefusalLinesPerSecond = 20;
constexpr double kRefusalLineBurst = 100;
// A binding made up to this long "after" the present still counts: the clocks of machines
// that share a store differ a little. One made later means the clock stepped back.
constexpr int64_t kClockSkewMs = 60 * 1000;
constexpr const char* kUploadPath = "/Kelpo/html/post.php";

// The HTTP layer's routing and reply writing, run by the front's workers over their streams.
class CRouter : public httplib::Server {
public:
    // Serves the one request of the stream. Keep-alive is off: after a refused upload, the rest
    // of its body must never be read as further requests.
    void Serve(httplib::Stream& stream) {
        bool bClosed = true;
        process_request(stream, true, bClosed, {});
    }
    // The HTTP layer writes a reply from a content provider only while it counts its own
    // listening socket as open; the front listens for it, so a stand-in value marks it open.
    void SetServing(bool bServing) { svr_sock_ = bServing ? kServingMark : INVALID_SOCKET; }

private:
    static constexpr socket_t kServingMark = 0x7fffffff;
};

// Raises the limit of open descriptors as far as allowed; returns how many connections the
// front may hold, with room for the database, archives and the listeners.
size_t ConnectionLimit() {
    constexpr size_t kWanted = 1000;
    constexpr rlim_t kReserve = 64;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 256;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > kWanted + kReserve) {
        return kWanted;
    }
    return limit.rlim_cur > 2 * kReserve ? static_cast<size_t>(limit.rlim_cur - kReserve) : 64;
}

// Files and folders of the data folder that others could read, from older versions, become
// the owner's only; new ones are made so (the process's umask is 077).
void RestrictToOwner(const std::string& strDataDir) {
    std::error_code ec;
    std::filesystem::permissions(strDataDir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
    if (ec) {
        std::fprintf(stderr, "zav-service: cannot restrict %s: %s\n", strDataDir.c_str(),
                     ec.message().c_str());
    }
    using std::filesystem::perms;
    const auto others = perms::group_all | perms::others_all;
    std::filesystem::recursive_directory_iterator it(strDataDir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code ecEntry;
        auto status = it->symlink_status(ecEntry);
        if (ecEntry || std::filesystem::is_symlink(status) ||
            (status.permissions() & others) == perms::none) {
            continue;
        }
        std::filesystem::permissions(it->path(), others, std::filesystem::perm_options::remove,
                                     ecEntry);
        if (ecEntry) {
            std::fprintf(stderr, "zav-service: cannot restrict %s: %s\n", it->path().c_str(),
                         ecEntry.message().c_str());
        }
    }
}

}  // namespace

bool ReadSmallBody(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& reader, size_t nMax, std::string& rBody) {
    if (req.get_header_value<uint64_t>("Content-Length") > nMax) {
        res.status = 413;
        res.set_header("Connection", "close");
        return false;
    }
    bool bTooLong = false;
    bool bOk = reader([&](const char* p, size_t n) {
        if (rBody.size() + n > nMax) {
            bTooLong = true;
            return false;
        }
        rBody.append(p, n);
        return true;
    });
    if (!bOk || bTooLong) {
        res.status = bTooLong ? 413 : 400;
        res.set_header("Connection", "close");
        return false;
    }
    return true;
}

namespace {

void ReplyAuthErr(httplib::Response& res, int nStatus, const char* pszMessage) {
    res.status = nStatus;
    res.set_content(AuthErr(nStatus, pszMessage), kAuthType);
}

// httplib routes every "multipart/form-data" request into its own form parser, which needs the
// standard closing delimiter. The upload handler parses the body itself, so the content type is
// moved aside before routing. The request object is the server's own non-const local.
httplib::Server::HandlerResponse HideMultipartType(const httplib::Request& creq,
                                                   httplib::Response&) {
    auto& req = const_cast<httplib::Request&>(creq);
    auto range = req.headers.equal_range("Content-Type");
    if (range.first != range.second) {
        std::string strType = range.first->second;
        req.headers.erase(range.first, range.second);
        req.headers.emplace("Content-Type", "application/octet-stream");
        req.headers.emplace(kOriginalTypeHeader, strType);
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

// Every body on the HTTP side is a small form read by the front, except the upload's, which
// the worker streams. The path is compared as sent: another spelling of the upload path is
// read as a form (and a long one refused by its handler).
SRoute RouteHttp(const SRequestHead& head) {
    std::string_view target = head.strTarget;
    target = target.substr(0, target.find('?'));
    SRoute route;
    if (!(head.strMethod == "POST" && target == kUploadPath)) {
        route.nFormBody = kMaxFormBody;
    }
    return route;
}

// The HTTPS side takes the member login, a small form whose password check has its own pool.
SRoute RouteHttps(const SRequestHead& head) {
    SRoute route;
    route.nFormBody = kMaxFormBody;
    route.bLogin = head.strMethod == "POST";
    return route;
}

size_t PasswordChecks(int nOption) {
    if (nOption > 0) {
        return static_cast<size_t>(nOption);
    }
    const unsigned nCores = std::thread::hardware_concurrency();
    return nCores == 0 ? 1 : std::min<size_t>(nCores, 16);
}

// Refuses every other POST, PUT, PATCH and DELETE without reading its body.
void RefuseUnknown(httplib::Server& server) {
    auto refuse = [](const httplib::Request& req, httplib::Response& res,
                     const httplib::ContentReader&) {
        res.status = req.method == "POST" ? 404 : 405;
        res.set_header("Connection", "close");
        res.set_content("not found\n", "text/plain");
    };
    server.Post(".*", refuse);
    server.Put(".*", refuse);
    server.Patch(".*", refuse);
    server.Delete(".*", refuse);
}

}  // namespace

std::string ClientAddress(const httplib::Request& req) {
    std::string str = NormalizeAddress(req.remote_addr);
    return str.empty() ? req.remote_addr : str;
}

bool ParseEndpoint(const std::string& strText, SEndpoint& rOut) {
    size_t nColon = strText.rfind(':');
    if (nColon == std::string::npos || nColon == 0 || nColon + 1 >= strText.size()) {
        return false;
    }
    std::string strHost = strText.substr(0, nColon);
    std::string strPort = strText.substr(nColon + 1);
    if (strPort.size() > 5 || strPort.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    int nPort = std::stoi(strPort);
    if (nPort > 65535) {
        return false;
    }
    rOut.strHostText = strHost;
    if (strHost.size() >= 2 && strHost.front() == '[' && strHost.back() == ']') {
        strHost = strHost.substr(1, strHost.size() - 2);
    } else if (strHost.find(':') != std::string::npos) {
        return false;  // an IPv6 address needs brackets
    }
    rOut.strHost = strHost;
    rOut.nPort = nPort;
    return !strHost.empty();
}

CService::CService(SServeOptions options)
    : m_options(std::move(options)),
      m_archives(m_options.strDataDir),
      m_capacity(m_options.strDataDir),
      m_refusalLog(kRefusalLinesPerSecond, kRefusalLineBurst) {}

CService::~CService() = default;

void CService::LogRequest(const char* pszScheme, const httplib::Request& req,
                          const httplib::Response& res) {
    if (res.status >= 400 && !m_refusalLog.Admit()) {
        return;
    }
    size_t nBytes = res.content_provider_ ? res.content_length_ : res.body.size();
    std::fprintf(stderr, "%s %s %s %s %d %zu\n", pszScheme,
                 EscapeForLog(ClientAddress(req)).c_str(), EscapeForLog(req.method).c_str(),
                 EscapeForLog(req.path).c_str(), res.status, nBytes);
}

bool CService::Prepare() {
    std::error_code ec;
    std::filesystem::create_directories(m_options.strDataDir + "/UserData", ec);
    if (ec) {
        std::fprintf(stderr, "zav-service: cannot create %s: %s\n", m_options.strDataDir.c_str(),
                     ec.message().c_str());
        return false;
    }
    RestrictToOwner(m_options.strDataDir);
    std::string strError;
    const bool bOpened =
        m_options.strDb.empty()
            ? m_members.Open(m_options.strDataDir, &strError)
            : m_members.OpenPostgres(m_options.strDb, kDatabaseConnections, &strError);
    if (!bOpened) {
        std::fprintf(stderr, "zav-service: cannot open the database %s\n", strError.c_str());
        return false;
    }
    // The embedded database serves this process alone: leases of an earlier run are over.
    if (!m_members.IsShared()) {
        m_members.ClearUploadLeases();
    }
    if (m_options.strStore.empty()) {
        m_pStore = MakeFileArchives(m_archives, m_members, m_options.fnNowMs);
    } else {
        SS3Location location;
        SS3Credentials credentials;
        if (!ParseS3Url(m_options.strStore, location, &strError) ||
            !CredentialsFromEnvironment(credentials, &strError)) {
            std::fprintf(stderr, "zav-service: %s\n", strError.c_str());
            return false;
        }
        location.strEndpoint = m_options.strS3Endpoint;
        m_pStore = MakeS3Archives(std::make_unique<CS3Client>(location, credentials), m_members,
                                  m_options.fnNowMs, m_options.nSweepMs);
        // Uploads are staged in the data folder: what an earlier run left there goes.
        m_archives.RecoverInterruptedCommits();
    }
    if (!m_pStore->Prepare(&strError)) {
        std::fprintf(stderr, "zav-service: cannot use the archive store: %s\n", strError.c_str());
        return false;
    }
    if (m_options.bDemo) {
        auto strHash = HashPassword("zavdemo", HashIterations());
        if (strHash.empty() || !m_members.Upsert("gamer01", strHash, "데모게이머")) {
            std::fprintf(stderr, "zav-service: cannot add the demo member\n");
            return false;
        }
    }
    m_strDummyHash = HashPassword("not a password of anyone", HashIterations());
    m_nDummyIterations = std::max(HashIterations(), m_members.MaxHashCost());
    m_nCostCheckedMs = Now();
    return true;
}

int CService::Run() {
    if (!Prepare()) {
        return 1;
    }
    SCertificate certificate;
    std::string strError;
    if (!EnsureCertificate(m_options.strDataDir, certificate, &strError)) {
        std::fprintf(stderr, "zav-service: %s\n", strError.c_str());
        return 1;
    }
    SslCtxPtr tls = MakeServerContext(certificate, &strError);
    if (!tls) {
        std::fprintf(stderr, "zav-service: cannot set up TLS: %s\n", strError.c_str());
        return 1;
    }

    // Signals are taken by sigwait below; every thread inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    CRouter http;
    CRouter https;
    SetUpRoutes(http, https);
    SFrontLimits limits;
    limits.nMaxConnections = ConnectionLimit();
    limits.headTimeout = std::chrono::milliseconds(m_options.nIoTimeoutMs);
    limits.rate.window = limits.headTimeout;
    const size_t nChecks = PasswordChecks(m_options.nPasswordChecks);
    limits.login = SPoolLimits{nChecks, nChecks, 0};
    const auto nWorkers = static_cast<size_t>(m_options.nWorkers);
    limits.general = SPoolLimits{nWorkers, 2 * nWorkers, std::max<size_t>(nWorkers / 4, 1)};
    CFront front(limits, m_options.strTrustedProxy, &m_refusalLog);
    int nHttpPort = front.Listen(
        m_options.http.strHost, m_options.http.nPort, "http", nullptr, RouteHttp,
        [&http](httplib::Stream& stream) { http.Serve(stream); }, &strError);
    int nHttpsPort =
        nHttpPort < 0
            ? -1
            : front.Listen(
                  m_options.https.strHost, m_options.https.nPort, "https", tls.get(), RouteHttps,
                  [&https](httplib::Stream& stream) { https.Serve(stream); }, &strError);
    if (nHttpPort < 0 || nHttpsPort < 0) {
        const SEndpoint& failed = nHttpPort < 0 ? m_options.http : m_options.https;
        std::fprintf(stderr, "zav-service: cannot listen on %s:%d: %s\n",
                     failed.strHostText.c_str(), failed.nPort, strError.c_str());
        return 1;
    }
    http.SetServing(true);
    https.SetServing(true);
    if (!front.Start(&strError)) {
        std::fprintf(stderr, "zav-service: cannot start: %s\n", strError.c_str());
        return 1;
    }
    std::printf("listening http %s:%d\n", m_options.http.strHostText.c_str(), nHttpPort);
    std::printf("listening https %s:%d\n", m_options.https.strHostText.c_str(), nHttpsPort);
    std::fflush(stdout);
    std::thread sweeper([this] { SweepLoop(); });

    timespec wait{1, 0};
    while (sigtimedwait(&signals, nullptr, &wait) < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    {
        std::lock_guard lock(m_sweepMutex);
        m_bStopping = true;
    }
    m_sweepCv.notify_all();
    sweeper.join();
    front.Stop();
    http.SetServing(false);
    https.SetServing(false);
    m_refusalLog.Flush();
    std::fprintf(stderr, "zav-service: stopped\n");
    return 0;
}

void CService::SetUpRoutes(httplib::Server& http, httplib::Server& https) {
    const size_t nMaxBody = static_cast<size_t>(m_options.nMaxUploadMb) * 1000000 + (1 << 20);
    for (httplib::Server* pServer : {&http, &https}) {
        pServer->set_pre_routing_handler(HideMultipartType);
        pServer->set_payload_max_length(nMaxBody);
        pServer->Get(
            "/board/powerbbs.php", [this](const httplib::Request& req, httplib::Response& res) {
                if (req.get_param_value("come_idx") != "1206") {
                    res.status = 404;
                    return;
                }
                res.set_content(BoardPage(m_options.strClientVersion), "text/html; charset=utf-8");
            });
    }
    http.set_expect_100_continue_handler(
        [this](const auto& req, auto& res) { return OnExpectContinue(req, res); });
    http.set_logger([this](const auto& req, const auto& res) { LogRequest("http", req, res); });
    https.set_logger([this](const auto& req, const auto& res) { LogRequest("https", req, res); });

    http.Get("/Kelpo/html/new_config.php",
             [this](const auto& req, auto& res) { OnConfig(req, res); });
    http.Get("/Kelpo/html/logo.html", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(LogoPage(), "text/html; charset=utf-8");
    });
    http.Get("/Kelpo/html/logo.png", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(LogoImagePng(), "image/png");
    });
    http.Post("/Kelpo/html/auth.php",
              [this](const auto& req, auto& res, const auto& reader) { OnAuth(req, res, reader); });
    http.Post(kUploadPath, [this](const auto& req, auto& res, const auto& reader) {
        OnUpload(req, res, reader);
    });
    http.Get(R"(/Kelpo/UserData/([^/]+)/([^/]+))",
             [this](const auto& req, auto& res) { OnDownload(req, res); });
    https.Post("/app/login", [this](const auto& req, auto& res, const auto& reader) {
        OnLogin(req, res, reader);
    });
    RefuseUnknown(http);
    RefuseUnknown(https);
}

bool CService::IsBound(const SMember& member, const std::string& strAddr) const {
    const int64_t nSessionMs = int64_t{m_options.nSessionHours} * 3600 * 1000;
    // A login the clock places in the future (it stepped back since) binds nothing: otherwise
    // the session would last for as long as the clock went back, on top of its hours.
    const int64_t nAge = Now() - member.nSessionTimeMs;
    return !member.strSessionAddr.empty() && NormalizeAddress(member.strSessionAddr) == strAddr &&
           nAge >= -kClockSkewMs && nAge < nSessionMs;
}

void CService::OnConfig(const httplib::Request&, httplib::Response& res) {
    SConfigValues values;
    values.nMaxUploadMb = m_options.nMaxUploadMb;
    values.strClientVersion = m_options.strClientVersion;
    res.set_content(ConfigText(values), kAuthType);
}

int64_t CService::MemberStored(const std::string& strId) {
    std::array<int64_t, 4> sizes{};
    if (m_pStore->Sizes(strId, sizes) != EStoreResult::Ok) {
        return -1;
    }
    int64_t nTotal = 0;
    for (int64_t n : sizes) {
        nTotal += n;
    }
    return nTotal;
}

bool CService::UsageItems(const SMember& member, std::string& rItems) {
    std::array<int64_t, 4> sizes{};
    if (m_pStore->Sizes(member.strId, sizes) != EStoreResult::Ok) {
        return false;
    }
    int64_t nTotal = 0;
    for (size_t i = 0; i < Categories().size(); ++i) {
        nTotal += sizes[i];
        rItems += std::string(Categories()[i].pszName) + "=" + std::to_string(sizes[i]) + "|";
    }
    rItems += "LASTUPLOAD=" + member.strLastUpload + "|";
    rItems += "Data=" + std::to_string(nTotal);
    return true;
}

int CService::UsedPercent() {
    if (m_options.nCapacityMb <= 0) {
        // The data folder's disk; an object store without a capacity is not counted full.
        return m_pStore->OnLocalDisk() ? m_capacity.UsedPercent() : 0;
    }
    int64_t nStored = 0, nReserved = 0;
    if (!m_members.Totals(Now(), nStored, nReserved)) {
        return 99;  // unknown: report full so that no upload is started
    }
    const double dUsed = static_cast<double>(nStored + nReserved) /
                         static_cast<double>(m_options.nCapacityMb * 1000000);
    const int nPercent = static_cast<int>(dUsed * 100);
    return nPercent < 0 ? 0 : (nPercent > 99 ? 99 : nPercent);
}

void CService::SweepLoop() {
    std::unique_lock lock(m_sweepMutex);
    while (!m_bStopping) {
        lock.unlock();
        m_pStore->Sweep();
        lock.lock();
        m_sweepCv.wait_for(lock, std::chrono::milliseconds(m_options.nSweepMs),
                           [this] { return m_bStopping; });
    }
}

void CService::OnAuth(const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader& reader) {
    std::string strBody;
    if (!ReadSmallBody(req, res, reader, kMaxFormBody, strBody)) {
        res.set_content(AuthErr(res.status, kMsgBadRequest), kAuthType);
        return;
    }
    auto mode = FormField(strBody, "mode");
    if (mode == "freespace") {
        char sz[8];
        std::snprintf(sz, sizeof sz, "%2d%%", UsedPercent());
        res.set_content(AuthOk(sz), kAuthType);
        return;
    }
    if (mode != "du" && mode != "removeall") {
        ReplyAuthErr(res, 400, kMsgBadRequest);
        return;
    }
    const auto wireId = FormField(strBody, "id");
    const auto id = wireId ? MemberIdFromWire(*wireId) : std::nullopt;
    if (!id) {
        ReplyAuthErr(res, 400, kMsgBadId);
        return;
    }
    std::optional<SMember> member;
    if (!m_members.Lookup(*id, member)) {
        ReplyAuthErr(res, 503, kMsgUnavailable);
        return;
    }
    if (!member || !IsBound(*member, ClientAddress(req))) {
        ReplyAuthErr(res, 403, kMsgNotLoggedIn);
        return;
    }
    if (mode == "du") {
        std::string strItems;
        if (!UsageItems(*member, strItems)) {
            ReplyAuthErr(res, 503, kMsgUnavailable);
            return;
        }
        res.set_content(AuthOk(strItems), kAuthType);
        return;
    }
    switch (m_pStore->RemoveAll(*id)) {
        case EStoreResult::Ok:
            res.set_content(AuthOk(""), kAuthType);
            return;
        case EStoreResult::Unavailable:
            ReplyAuthErr(res, 503, kMsgUnavailable);
            return;
        default:
            ReplyAuthErr(res, 500, kMsgRemoveFailed);
            return;
    }
}

void CService::OnDownload(const httplib::Request& req, httplib::Response& res) {
    const auto id = MemberIdFromWire(req.matches[1].str());
    const SCategory* pCategory = CategoryByArchive(req.matches[2].str());
    if (!id || pCategory == nullptr) {
        res.status = 404;
        return;
    }
    const std::string& strId = *id;
    std::optional<SMember> member;
    if (!m_members.Lookup(strId, member)) {
        res.status = 503;
        res.set_content("the member database cannot be reached\n", "text/plain");
        return;
    }
    if (!member || !IsBound(*member, ClientAddress(req))) {
        res.status = 403;
        res.set_content("forbidden\n", "text/plain");
        return;
    }
    std::unique_ptr<IArchiveReader> pReader;
    switch (m_pStore->Open(strId, *pCategory, pReader)) {
        case EStoreResult::Ok:
            break;
        case EStoreResult::NotFound:
            res.status = 404;
            res.set_content("not found\n", "text/plain");
            return;
        case EStoreResult::Unavailable:
            res.status = 503;
            res.set_content("the archive store cannot be reached\n", "text/plain");
            return;
        default:
            res.status = 500;
            res.set_content("the stored archive cannot be read\n", "text/plain");
            return;
    }
    // Whole or not at all: a reader that cannot go on ends the connection short of the
    // announced length.
    std::shared_ptr<IArchiveReader> pShared(std::move(pReader));
    res.set_content_provider(
        static_cast<size_t>(pShared->Size()), "application/zip",
        [pShared](size_t nOffset, size_t nLength, httplib::DataSink& sink) {
            return pShared->Send(nOffset, nLength,
                                 [&sink](const char* p, size_t n) { return sink.write(p, n); });
        },
        [pShared](bool) {});
}

}  // namespace zavsvc
