// The damaged-SavedVariables check timed three ways:
//   saved_variables_bench generate FILE MB   writes a well-formed SavedVariables file of about
//                                             MB megabytes, as the game writes them
//   saved_variables_bench lex FILE RUNS      the lexer alone over the file held in memory
//   saved_variables_bench scan GAME RUNS     the whole check of a game folder (listing, reading,
//                                             lexing), then the backup's packing of all four
//                                             folders of the same game folder once
// Every mode prints key=value pairs; times are the fastest of RUNS runs.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "app/saved_variables_check.h"
#include "app/view.h"
#include "backup/folder_packer.h"

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

struct STimes {
    double dWall = 1e300;
    double dCpu = 1e300;  // user + system time of this process: steadier on a shared machine
};

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The fastest of nRuns runs, wall and CPU each.
template <typename F>
STimes Fastest(int nRuns, F&& run) {
    STimes best;
    for (int i = 0; i < nRuns; ++i) {
        double dCpu = CpuSeconds();
        auto start = std::chrono::steady_clock::now();
        run();
        best.dWall = std::min(
            best.dWall,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        best.dCpu = std::min(best.dCpu, CpuSeconds() - dCpu);
    }
    return best;
}

const char* const kWords[] = {"profiles",
                              "displays",
                              "load",
                              "xOffset",
                              "regionType",
                              "color",
                              "달빛궁수 - 하늘바다",
                              "Default",
                              "customText",
                              "trigger",
                              "고요한숲",
                              "anchorPoint",
                              "disabled",
                              "spellIds",
                              "desc"};

// One value: numbers, booleans, plain and escaped strings, item links, long strings.
std::string Value(std::mt19937& rng) {
    auto word = [&] { return std::string(kWords[rng() % std::size(kWords)]); };
    switch (rng() % 9) {
        case 0:
            return std::to_string(static_cast<int>(rng() % 200000) - 1000);
        case 1:
            return std::to_string((rng() % 100000) / 997.0);
        case 2:
            return rng() % 2 ? "true" : "false";
        case 3:
            return "1e-05";
        case 4:
            return "\"|cffa335ee|Hitem:" + std::to_string(rng() % 90000) + "::::::::80:::::|h[" +
                   word() + "]|h|r\"";
        case 5:
            return "\"function(e, ...)\\n\\tif e == \\\"UNIT_AURA\\\" then return true end\\nend\"";
        case 6:
            return "[==[ " + word() + " ]] ]=] ]==]";
        default:
            return "\"" + word() + "\"";
    }
}

int Generate(const char* szPath, double dMegabytes) {
    std::mt19937 rng(1);
    const size_t nTarget = static_cast<size_t>(dMegabytes * 1e6);
    std::string strText = "\nBenchSaved = {\n";
    int nDepth = 1;
    while (strText.size() < nTarget) {
        std::string strIndent(static_cast<size_t>(nDepth), '\t');
        std::string strKey = rng() % 4 == 0 ? "[" + std::to_string(rng() % 500 + 1) + "]"
                                            : "[\"" + std::string(kWords[rng() % 15]) + "\"]";
        unsigned nPick = rng() % 10;
        if (nPick == 0 && nDepth < 8) {
            strText += strIndent + strKey + " = {\n";
            ++nDepth;
        } else if (nPick == 1 && nDepth > 1) {
            --nDepth;
            strText += std::string(static_cast<size_t>(nDepth), '\t') + "},\n";
        } else if (nPick == 2) {
            strText += strIndent + "-- " + kWords[rng() % 15] + " {\n";
        } else {
            strText += strIndent + strKey + " = " + Value(rng) + ",\n";
        }
    }
    while (nDepth > 1) {
        --nDepth;
        strText += std::string(static_cast<size_t>(nDepth), '\t') + "},\n";
    }
    strText += "}\n";
    std::ofstream(szPath, std::ios::binary) << strText;
    std::printf("bytes=%zu\n", strText.size());
    return 0;
}

int Lex(const char* szPath, int nRuns) {
    std::ifstream in(szPath, std::ios::binary);
    const std::string strText(std::istreambuf_iterator<char>(in), {});
    ELuaEnd eEnd = ELuaEnd::Clean;
    STimes times = Fastest(nRuns, [&] { eEnd = ScanLuaEnd(strText); });
    const double dMb = static_cast<double>(strText.size()) / 1e6;
    std::printf("bytes=%zu wall=%.4f cpu=%.4f mb_per_s_wall=%.0f mb_per_s_cpu=%.0f clean=%d\n",
                strText.size(), times.dWall, times.dCpu, dMb / times.dWall, dMb / times.dCpu,
                eEnd == ELuaEnd::Clean);
    return eEnd == ELuaEnd::Clean ? 0 : 1;
}

int Scan(std::string strGame, int nRuns, bool bPack) {
    if (strGame.back() != '/')
        strGame += '/';
    size_t nDamaged = 0;
    STimes scan = Fastest(nRuns, [&] { nDamaged = FindDamagedSavedVariables(strGame).size(); });
    std::printf("scan_wall=%.4f scan_cpu=%.4f damaged=%zu", scan.dWall, scan.dCpu, nDamaged);
    if (bPack) {
        CBenchView view;
        STimes pack = Fastest(1, [&] {
            for (const ECategory eCategory : kUploadOrder) {
                if (PackFolder(view, strGame, eCategory) < 0)
                    std::exit(1);
            }
        });
        DeleteTempArchives(strGame, kMaskAll);
        std::printf(" pack_wall=%.3f pack_cpu=%.3f", pack.dWall, pack.dCpu);
    }
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string strMode = argc > 1 ? argv[1] : "";
    if (argc == 4 && strMode == "generate")
        return Generate(argv[2], std::atof(argv[3]));
    if (argc == 4 && strMode == "lex")
        return Lex(argv[2], std::atoi(argv[3]));
    if (argc >= 4 && strMode == "scan")
        return Scan(argv[2], std::atoi(argv[3]), argc == 5 && std::string(argv[4]) == "pack");
    std::fputs(
        "usage: saved_variables_bench generate FILE MB | lex FILE RUNS | scan GAME RUNS [pack]\n",
        stderr);
    return 2;
}
