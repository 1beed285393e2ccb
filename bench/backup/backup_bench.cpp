// One backup of every category through the program's own packaging and upload code, each
// step timed, with the process's memory growth during the upload.
//   backup_bench GAME_FOLDER ID PASSWORD
// The service's addresses come from ZAV_SERVICE_URL, ZAV_PORTAL_URL and ZAV_CA_FILE. The
// temporary archives are left in GAME_FOLDER/Ralum/Temp for the comparison that follows.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/login_logic.h"
#include "app/main_logic.h"
#include "app/settings.h"
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

// Starts a new peak: VmHWM is set back to the current resident size.
void ResetPeak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
    if (!CLoginLogic(view, settings).OnLogin(argv[2], argv[3]).bLoggedIn) {
        std::fputs("login failed\n", stderr);
        return 1;
    }
    settings.SetGameFolder(strGame);
    CMainLogic logic(view, settings);
    logic.m_strCommandFolder = strGame;
    logic.m_nSelInterface = logic.m_nSelWtf = logic.m_nSelWdb = logic.m_nSelFonts = 1;

    auto packStart = std::chrono::steady_clock::now();
    int nPacked = logic.PackSelectedFolders();
    double dPack = Seconds(packStart);
    if (nPacked != 4) {
        std::fprintf(stderr, "packing gave %d\n", nPacked);
        return 1;
    }

    uint8_t nMask = 0;
    for (const SBackupCategory& category : kBackupCategories)
        nMask |= category.nMask;
    CUploadThread upload(logic, nMask, strGame, argv[2]);
    ResetPeak();
    long nBaseKib = StatusKib("VmRSS:");
    auto uploadStart = std::chrono::steady_clock::now();
    int64_t nLength = upload.ComputeContentLength();
    int nCode = nLength < 0 ? -100 : upload.UploadAll();
    double dUpload = Seconds(uploadStart);
    long nPeakKib = StatusKib("VmHWM:");
    if (nCode != 0) {
        std::fprintf(stderr, "upload gave %d\n", nCode);
        return 1;
    }
    std::printf(
        "pack_seconds=%.3f upload_seconds=%.3f body_bytes=%lld sent_bytes=%lld "
        "growth_kib=%ld\n",
        dPack, dUpload, static_cast<long long>(nLength),
        static_cast<long long>(upload.GetBytesSent()), nPeakKib - nBaseKib);
    return 0;
}
