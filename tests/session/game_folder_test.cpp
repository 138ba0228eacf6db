// The proxy's copy in the game folder: taken back at the end, left for the next start
// only while a game holds it, and one game folder at a time.
#include "tests/session/session_fixture.h"

namespace ozlan::test {
namespace {

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// How many of the platform's moves at the next start name `path`: wininit.ini lines and
// pending renames.
int RestartEntriesFor(const std::string& path) {
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    std::string list = ReadFile(std::string(windows) + "\\wininit.ini");
    int n = 0;
    for (size_t at = 0; (at = list.find(path, at)) != std::string::npos; at += path.size()) ++n;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_READ, &key) == ERROR_SUCCESS) {
        char data[65536] = {};
        DWORD size = sizeof data - 2;
        if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS) {
            for (DWORD i = 0; i < size; i += DWORD(std::strlen(data + i)) + 1) {
                n += std::string(data + i).find(path) != std::string::npos;
            }
        }
        RegCloseKey(key);
    }
    return n;
}

// What the platform does with those moves when it starts: Wine's boot step.
void SimulateRestart() {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    char command[] = "wineboot.exe -r";
    ASSERT_TRUE(CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    WaitForSingleObject(process.hProcess, 60000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

TEST_F(SessionLibraryTest, ACleanSessionLeavesNoRestartEntryAndACopyInUseJustOne) {
    if (!RunningUnderWine()) GTEST_SKIP() << "a restart is simulated with Wine's boot step";
    std::string copy = game_folder_ + "\\wsock32.dll";
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));  // once, however often
    EXPECT_EQ(2, RestartEntriesFor(copy)) << "one wininit.ini line, one pending rename";
    end_();
    EXPECT_FALSE(Exists(copy));
    EXPECT_EQ(0, RestartEntriesFor(game_folder_));
    // The player puts a wsock32.dll of their own there later: a restart keeps it.
    WriteFile(copy, "the player's own");
    SimulateRestart();
    EXPECT_EQ("the player's own", ReadFile(copy));
    DeleteFileA(copy.c_str());

    // The game of an earlier session still holds our copy: its entry stays, once, and
    // the restart removes the copy.
    ASSERT_EQ(1u, init_("127.0.0.1", 9));
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    HANDLE in_use = CreateFileA(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, in_use);
    end_();
    EXPECT_TRUE(Exists(copy));
    EXPECT_EQ(2, RestartEntriesFor(copy));
    CloseHandle(in_use);
    SimulateRestart();
    EXPECT_FALSE(Exists(copy));
}

TEST_F(SessionLibraryTest, ASecondGameFolderGetsTheCopyOnlyOnceTheFirstIsTakenBack) {
    std::string first = game_folder_ + "\\wsock32.dll";
    std::string other_folder = MakeFolder("second-game");
    std::string second = other_folder + "\\wsock32.dll";
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    // The first game still runs with our copy: the second is refused, nothing moves.
    HANDLE in_use = CreateFileA(first.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, in_use);
    EXPECT_EQ(0u, pre_launch_(other_folder.c_str(), "arena"));
    EXPECT_TRUE(Exists(first));
    EXPECT_FALSE(Exists(second));
    CloseHandle(in_use);
    // Once it ended, the first folder is cleaned and the second gets the copy.
    ASSERT_EQ(1u, pre_launch_(other_folder.c_str(), "arena"));
    EXPECT_FALSE(Exists(first));
    EXPECT_EQ(0, RestartEntriesFor(game_folder_));
    EXPECT_EQ(kFakeProxy, ReadFile(second));
    end_();
    EXPECT_FALSE(Exists(second));
    EXPECT_EQ(0, RestartEntriesFor(game_folder_));
    EXPECT_EQ(0, RestartEntriesFor(other_folder));
}

TEST_F(SessionLibraryTest, TheLauncherNamesAGameOfAnEarlierSessionThatStillHoldsTheCopy) {
    // A launcher died; its game still runs with our copy loaded (held open here), and
    // the player's own file waits aside.
    std::string bin = ProgramFolder();
    std::string copy = game_folder_ + "\\wsock32.dll";
    std::string game = game_folder_ + "\\lanping.exe";
    ASSERT_TRUE(CopyFileA((bin + "\\ozws.dll").c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((bin + "\\lanping.exe").c_str(), game.c_str(), FALSE));
    WriteFile(game_folder_ + "\\" OZLAN_SAVED_NAME, "the player's own");
    HANDLE in_use = CreateFileA(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, in_use);
    // The test's transport plays the relay service, so that the launcher gets that far.
    Endpoint* relay = CreateEndpoint(0);
    SetAcceptCallback(PeerAccept);
    std::string said = game_folder_ + "\\said.txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(said.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                             0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out;
    std::string command =
        "\"" + bin + "\\ozlaunch.exe\" --relay 127.0.0.1:" + std::to_string(relay->local_port) +
        " --session x --timeout 5 -- \"" + game + "\" host --udp 4000";
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &startup, &process));
    CloseHandle(out);
    EXPECT_TRUE(
        Pump([&] { return WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0; }, 20000));
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(in_use);
    EXPECT_EQ(4u, code);
    EXPECT_NE(std::string::npos,
              ReadFile(said).find("ozlaunch: the game from an earlier session still runs and uses "
                                  "OZLAN's copy: close it first"))
        << ReadFile(said);
    EXPECT_EQ("the player's own", ReadFile(game_folder_ + "\\" OZLAN_SAVED_NAME));
    for (const std::string& f : {said, game, game_folder_ + "\\" OZLAN_SAVED_NAME, copy}) {
        DeleteFileA(f.c_str());
    }
}

}  // namespace
}  // namespace ozlan::test
