// One backup of every category through the program's own packaging and upload code, each
// step timed, with the process's memory growth during the upload.
//   backup_bench GAME_FOLDER ID PASSWORD
// The service's addresses come from ZAV_SERVICE_URL, ZAV_PORTAL_URL and ZAV_CA_FILE. The
// temporary archives are left in GAME_FOLDER/Ralum/Temp for the comparison that follows.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "app/login_logic.h"
#include "app/main_logic.h"
#include "app/settings.h"
#include "backup/backup_command.h"
#include "backup/folder_packer.h"
#include "backup/upload_thread.h"
#include "net/http_request.h"

namespace {

// A window that answers Yes and shows nothing.
class CBenchView : public IMainView {
public:
    void Message(const std::string& strText) override {
        std::fprintf(stderr, "message: %s\n", strText.c_str());
    }
    bool Confirm(const std::string&) override { return true; }
    bool IsChecked(int) override { return true; }
    void SetChecked(int, bool) override {}
    std::string GetText(int) override { return ""; }
    void SetText(int, const std::string&) override {}
    void SetProgressWidth(int) override {}
    void SetWaitCursor(bool) override {}
    void KeepAlive() override {}
    SFolderPick PickFolder() override { return {}; }
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

// Resident size from /proc/self/statm, in KiB.
long ResidentKib() {
    std::ifstream in("/proc/self/statm");
    long nSize = 0;
    long nResident = 0;
    in >> nSize >> nResident;
    return nResident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Samples the resident size every millisecond while it lives; the kernel's own peak (VmHWM)
// is not always brought up to date while the process runs.
class CResidentSampler {
public:
    CResidentSampler()
        : m_thread([this](std::stop_token stop) {
              while (!stop.stop_requested()) {
                  long nKib = ResidentKib();
                  long nOld = m_nPeakKib.load();
                  while (nKib > nOld && !m_nPeakKib.compare_exchange_weak(nOld, nKib)) {
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    long PeakKib() const { return m_nPeakKib.load(); }

private:
    std::atomic<long> m_nPeakKib{0};
    std::jthread m_thread;
};

// Starts a new peak: VmHWM is set back to the current resident size.
void ResetPeak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// User and system time of the whole process so far: unlike wall time it does not grow when
// other work shares the cores.
double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto toSeconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: backup_bench GAME_FOLDER ID PASSWORD\n", stderr);
        return 2;
    }
    std::string strGame = argv[1];
    if (strGame.back() != '/')
        strGame += '/';
    HttpGlobalInit();
    CBenchView view;
    CSettings settings;
    settings.m_endpoints = SEndpoints::FromEnvironment();
    if (!CLoginLogic(view, settings).OnLogin(argv[2], argv[3]).bLoggedIn) {
        std::fputs("login failed\n", stderr);
        return 1;
    }
    settings.SetGameFolder(strGame);
    CMainLogic logic(view, settings);
    uint8_t nMask = 0;
    for (const SCategory& category : kCategories)
        nMask |= category.nMask;

    double dPackCpu = CpuSeconds();
    auto packStart = std::chrono::steady_clock::now();
    int nPacked = CBackupCommand(logic).PackSelectedFolders(strGame, nMask);
    double dPack = Seconds(packStart);
    dPackCpu = CpuSeconds() - dPackCpu;
    if (nPacked != 4) {
        std::fprintf(stderr, "packing gave %d\n", nPacked);
        return 1;
    }

    CUploadThread upload(logic, nMask, strGame, argv[2]);
    ResetPeak();
    long nBaseKib = StatusKib("VmRSS:");
    auto pSampler = std::make_unique<CResidentSampler>();
    double dUploadCpu = CpuSeconds();
    auto uploadStart = std::chrono::steady_clock::now();
    int64_t nLength = upload.ComputeContentLength();
    int nCode = nLength < 0 ? -100 : upload.UploadAll();
    double dUpload = Seconds(uploadStart);
    dUploadCpu = CpuSeconds() - dUploadCpu;
    long nPeakKib = std::max(StatusKib("VmHWM:"), pSampler->PeakKib());
    pSampler.reset();
    if (nCode != 0) {
        std::fprintf(stderr, "upload gave %d\n", nCode);
        return 1;
    }
    // The same upload once more into a discarding sink, when one is given: the client's own
    // speed without the service's storage work.
    double dSink = 0;
    if (const char* szSink = std::getenv("ZAV_BENCH_SINK_URL")) {
        setenv("ZAV_SERVICE_URL", szSink, 1);
        CUploadThread sinkUpload(logic, nMask, strGame, argv[2]);
        auto sinkStart = std::chrono::steady_clock::now();
        int nSinkCode = sinkUpload.ComputeContentLength() < 0 ? -100 : sinkUpload.UploadAll();
        dSink = Seconds(sinkStart);
        if (nSinkCode != 0) {
            std::fprintf(stderr, "upload to the sink gave %d\n", nSinkCode);
            return 1;
        }
    }
    std::printf("sink_seconds=%.3f ", dSink);
    std::printf(
        "pack_seconds=%.3f pack_cpu=%.3f upload_seconds=%.3f upload_cpu=%.3f "
        "body_bytes=%lld sent_bytes=%lld base_kib=%ld growth_kib=%ld\n",
        dPack, dPackCpu, dUpload, dUploadCpu, static_cast<long long>(nLength),
        static_cast<long long>(upload.GetBytesSent()), nBaseKib, nPeakKib - nBaseKib);
    return 0;
}
