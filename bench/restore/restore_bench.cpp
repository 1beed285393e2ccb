// One restore of every category through the real command and worker, timed until the done
// message and until the worker has ended, with the process's memory before and at its peak.
//   restore_bench GAME_FOLDER ID PASSWORD
// The service's addresses come from ZAV_SERVICE_URL, ZAV_PORTAL_URL and ZAV_CA_FILE.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/login_logic.h"
#include "app/main_logic.h"
#include "app/settings.h"
#include "net/endpoints.h"
#include "net/http_request.h"
#include "restore/download_thread.h"
#include "restore/restore_command.h"

namespace {

// A window that answers Yes, has every restore box checked and the manual path set.
class CBenchView : public IMainView {
public:
    explicit CBenchView(std::string strPath) : m_strPath(std::move(strPath)) {}
    void Message(const std::string& strText) override {
        m_strLast = strText;
        if (strText.starts_with(kMsgRestoreDone))
            m_tDone = std::chrono::steady_clock::now();
        std::fprintf(stderr, "message: %s\n", strText.c_str());
    }
    bool Confirm(const std::string&) override { return true; }
    bool IsChecked(int nId) override { return nId != IDC_MODE_AUTO; }
    void SetChecked(int, bool) override {}
    std::string GetText(int nId) override { return nId == IDC_MANUAL_PATH ? m_strPath : ""; }
    void SetText(int, const std::string&) override {}
    void SetProgressWidth(int) override {}
    void SetWaitCursor(bool) override {}
    void KeepAlive() override {}
    SFolderPick PickFolder() override { return {}; }
    std::string m_strLast;
    std::chrono::steady_clock::time_point m_tDone;  // when the done message was shown

private:
    std::string m_strPath;
};

// A "Name:   N kB" line of /proc/self/status, in KiB.
long StatusKib(const char* szName) {
    std::ifstream in("/proc/self/status");
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (strLine.rfind(szName, 0) == 0)
            return std::stol(strLine.substr(std::string(szName).size()));
    }
    return -1;
}

// User plus system CPU seconds of every thread of the process so far.
double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: restore_bench GAME_FOLDER ID PASSWORD\n", stderr);
        return 2;
    }
    std::string strGame = argv[1];
    if (strGame.back() != '/')
        strGame += '/';
    if (!HttpGlobalInit())
        return 1;
    CSettings settings;
    settings.m_endpoints = SEndpoints::FromEnvironment();
    const auto body = MakeLoginBody(argv[2], argv[3]);
    if (!body || ParseLoginReply(HttpRequest(settings.m_endpoints.LoginUrl(), kHttpPost, *body,
                                             settings.m_endpoints.strCaFile))
                         .eStatus != SLoginReply::Success) {
        std::fputs("restore_bench: login failed\n", stderr);
        return 1;
    }
    settings.SetGameFolder(strGame);
    settings.SetId(argv[2]);
    CBenchView view(strGame);
    CMainLogic logic(view, settings);
    logic.QueryAccountStatus();

    const long nRssBefore = StatusKib("VmRSS:");
    const double dCpuStart = CpuSeconds();
    const auto tStart = std::chrono::steady_clock::now();
    CRestoreCommand(logic).OnRestore();
    logic.WaitForWorker();
    const auto tEnd = std::chrono::steady_clock::now();
    auto seconds = [&](auto t) { return std::chrono::duration<double>(t - tStart).count(); };
    const double dCpu = CpuSeconds() - dCpuStart;
    const long nPeak = StatusKib("VmHWM:");
    // told: until the done message (what the member waits for); seconds: until the worker has
    // also removed the folders the restore replaced.
    std::printf("told=%.3f seconds=%.3f cpu=%.3f rss_before_kib=%ld peak_kib=%ld growth_kib=%ld\n",
                seconds(view.m_tDone), seconds(tEnd), dCpu, nRssBefore, nPeak, nPeak - nRssBefore);
    // The done message is followed by what was restored of each category.
    return view.m_strLast.starts_with(kMsgRestoreDone) ? 0 : 1;
}
