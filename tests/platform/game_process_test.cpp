// Finding a running game client of the game folder: the matching rules over a fake process
// table, and one real process named like the client.
#include "platform/game_process.h"

#include <algorithm>
#include <filesystem>

#include "support/app_sandbox.h"
#include "support/running_client.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

bool HasPid(const std::vector<SGameProcess>& clients, int nPid) {
    return std::any_of(clients.begin(), clients.end(),
                       [nPid](const SGameProcess& client) { return client.nPid == nPid; });
}

// A fake process table: each entry has a pid, comm, cmdline, environ and stat, and cwd / exe
// links; a missing piece cannot be read.
struct SFakeProcess {
    const char* szCase;
    std::string strComm;
    std::string strCmdline;  // NUL-separated arguments
    std::string strCwd;      // link target, "" = unreadable
    std::string strExe;      // link target, "" = unreadable
    std::string strEnviron;  // "" = unreadable
    char cState;             // stat state, '\0' = no stat file
    const char* szFound;     // the name it must be found by, nullptr = not found
};

class GameProcess : public CAppSandbox {
protected:
    // The game folder lies inside a Wine prefix whose C: drive is drive_c.
    void SetUp() override {
        CAppSandbox::SetUp();
        fs::create_directories(Game() + "/Interface");
        fs::create_directories(Other());
        fs::create_directories(Game() + "2");
    }
    void MakePrefixLinks() {
        fs::create_directories(Prefix() + "/dosdevices");
        fs::create_directory_symlink("../drive_c", Prefix() + "/dosdevices/c:");
        fs::create_directory_symlink("/", Prefix() + "/dosdevices/z:");
        fs::create_directories(Root() + "/proc");
    }
    std::string Prefix() const { return Root() + "/prefix"; }
    std::string Game() const { return Prefix() + "/drive_c/Games/World of Warcraft"; }
    std::string Other() const { return Prefix() + "/drive_c/Games/WoW Classic"; }
    std::string Env() const { return "HOME=" + Root() + "/home\0WINEPREFIX="s + Prefix() + '\0'; }

    void Add(int nPid, const SFakeProcess& process) {
        std::string strDir = Root() + "/proc/" + std::to_string(nPid);
        fs::create_directories(strDir);
        WriteWholeFile(strDir + "/comm", process.strComm + "\n");
        WriteWholeFile(strDir + "/cmdline", process.strCmdline);
        if (!process.strEnviron.empty())
            WriteWholeFile(strDir + "/environ", process.strEnviron);
        if (process.cState != '\0')
            WriteWholeFile(strDir + "/stat", std::to_string(nPid) + " (" + process.strComm + ") " +
                                                 process.cState + " 1 2 3");
        if (!process.strCwd.empty())
            fs::create_directory_symlink(process.strCwd, strDir + "/cwd");
        if (!process.strExe.empty())
            fs::create_symlink(process.strExe, strDir + "/exe");
    }
};

TEST_F(GameProcess, MatchingRulesOverAFakeProcessTable) {
#ifndef __linux__
    GTEST_SKIP() << "the process table as files (/proc) is Linux's";
#else
    MakePrefixLinks();
    const std::string strGame = Game();
    const std::string strHome = Root() + "/home";
    const std::string strWinGame = "C:\\Games\\World of Warcraft\\";
    std::string strZGame = "Z:" + strGame + "\\WowT.exe";
    std::replace(strZGame.begin(), strZGame.end(), '/', '\\');
    const std::vector<SFakeProcess> cases = {
        {"native name, working in the game folder", "Wow.exe", "Wow.exe\0"s, strGame, "", "", 'S',
         "Wow.exe"},
        {"working in a folder of the game", "Wow.exe", "", strGame + "/Interface", "", "", 'R',
         "Wow.exe"},
        {"any case, every edition", "WOWCLASSICB.EXE", "", "", "", "", 'S', "WOWCLASSICB.EXE"},
        {"15-byte name that comm holds whole", "WowClassicT.exe", "WowClassicT.exe\0"s, "", "", "",
         'S', "WowClassicT.exe"},
        {"comm cut from a longer name", "WowClassicT.exe", "WowClassicT.exe-helper\0"s, "", "", "",
         'S', nullptr},
        {"other programs", "WowHelper.exe", "WowHelper.exe\0"s, strGame, "", "", 'S', nullptr},
        {"name with a suffix", "Wow.exe.bak", "Wow.exe.bak\0"s, strGame, "", "", 'S', nullptr},
        {"kernel thread", "kworker/0:1", "", "", "", "", 'I', nullptr},
        {"zombie client", "Wow.exe", "", "", "", "", 'Z', nullptr},
        {"Wine: Windows argv[0] inside, loader exe, working elsewhere", "wine64-preloader",
         strWinGame + "Wow.exe\0-console\0"s, strHome, "/usr/bin/wine64-preloader", Env(), 'S',
         "Wow.exe"},
        {"Wine: path in another case", "Wow-64.exe", "c:\\GAMES\\world of warcraft\\WOW-64.EXE\0"s,
         strHome, "", Env(), 'S', "WOW-64.EXE"},
        {"Wine: prefix from HOME/.wine", "Wow.exe", strWinGame + "WowB.exe\0"s, strHome, "",
         "HOME=" + Root() + "/prefix-home\0"s, 'S', "WowB.exe"},
        {"Wine: drive Z: is the root", "WowT.exe", strZGame + '\0', strHome, "", Env(), 'S',
         "WowT.exe"},
        {"Wine: client of another game folder", "Wow.exe", "C:\\Games\\WoW Classic\\Wow.exe\0"s,
         strHome, "", Env(), 'S', nullptr},
        {"Wine: environment unreadable, nothing else seen", "wine-preloader",
         strWinGame + "Wow.exe\0"s, "", "/usr/bin/wine-preloader", "", 'S', "Wow.exe"},
        {"POSIX argv[0] in another game folder", "Wow.exe", Other() + "/Wow.exe\0", "", "", "", 'S',
         nullptr},
        {"client exe in another folder", "Wow.exe", "Wow.exe\0"s, "", Other() + "/Wow.exe", "", 'S',
         nullptr},
        {"client exe replaced while running", "Wow.exe", "Wow.exe\0"s, strHome,
         strGame + "/Wow.exe (deleted)", "", 'S', "Wow.exe"},
        {"working in a folder that only starts like the game's", "Wow.exe", "", strGame + "2", "",
         "", 'S', nullptr},
        {"working in another game folder", "Wow.exe", "", Other(), "", "", 'S', nullptr},
        {"nothing but the name seen", "Wow.exe", "", "", "", "", '\0', "Wow.exe"},
    };
    // The HOME case's prefix: HOME/.wine is the prefix (its C: drive is the same drive_c).
    fs::create_directories(Root() + "/prefix-home/.wine/dosdevices");
    fs::create_directory_symlink(Prefix() + "/drive_c",
                                 Root() + "/prefix-home/.wine/dosdevices/c:");
    for (size_t i = 0; i < cases.size(); ++i)
        Add(static_cast<int>(1000 + i * 7), cases[i]);
    // Not processes, and an entry that ended while the table was read.
    fs::create_directories(Root() + "/proc/self");
    fs::create_directories(Root() + "/proc/sys");
    fs::create_directories(Root() + "/proc/999");

    std::vector<SGameProcess> clients = FindGameClientsIn(Root() + "/proc", strGame + "/");
    EXPECT_TRUE(std::is_sorted(clients.begin(), clients.end(),
                               [](auto& a, auto& b) { return a.nPid < b.nPid; }));
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].szCase);
        int nPid = static_cast<int>(1000 + i * 7);
        auto it = std::find_if(clients.begin(), clients.end(),
                               [nPid](const SGameProcess& client) { return client.nPid == nPid; });
        if (cases[i].szFound == nullptr) {
            EXPECT_TRUE(it == clients.end());
        } else if (it == clients.end()) {
            ADD_FAILURE() << "not found";
        } else {
            EXPECT_EQ(it->strName, cases[i].szFound);
        }
    }
#endif
}

// A copy of a harmless program named Wow.exe, started in the game folder (on Windows: lying in
// it), is found there and not in another game folder; once it has exited it is found nowhere,
// before and after it is reaped.
TEST_F(GameProcess, RealProcessNamedLikeTheClient) {
    CRunningClient client(Root() + "/bin", "Wow.exe", Game());
    const pid_t pid = client.Pid();
    ASSERT_GT(pid, 0);

    std::vector<SGameProcess> clients = FindGameClients(Game() + "/");
    auto it = std::find_if(clients.begin(), clients.end(),
                           [pid](const SGameProcess& found) { return found.nPid == pid; });
    bool bFound = it != clients.end();
    std::string strName = bFound ? it->strName : "";
    bool bInOther = HasPid(FindGameClients(Other()), pid);

    client.KillLeavingZombie();
    bool bZombieFound = HasPid(FindGameClients(Game()), pid);
    client.Stop();

    EXPECT_TRUE(bFound);
    EXPECT_EQ(strName, "Wow.exe");
    EXPECT_FALSE(bInOther);
    EXPECT_FALSE(bZombieFound);
    EXPECT_FALSE(HasPid(FindGameClients(Game()), pid));
}

}  // namespace
