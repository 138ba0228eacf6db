// The real QUILLET.DLL: file naming and rotation, the level threshold, many writers
// at once, and the caller's last-error code.
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quillet/quillet.h"
#include "tests/wsock32/proxy_harness.h"

namespace ozlan::test {
namespace {

using LogInitFn = decltype(&LogInit);
using LogWriteFn = decltype(&LogWrite);
using LogDumpFn = decltype(&LogDump);
using LogShutdownFn = decltype(&LogShutdown);

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class QuilletTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = MakeTempFolder("quillet");
        SetEnvironmentVariableA("QUILLET_LOGDIR", folder_.c_str());
    }
    void Load() {
        module_ = LoadLibraryA((BinFolder() + "\\QUILLET.DLL").c_str());
        ASSERT_NE(nullptr, module_);
        init_ = ExportOf<LogInitFn>(module_, "LogInit");
        write_ = ExportOf<LogWriteFn>(module_, "LogWrite");
        dump_ = ExportOf<LogDumpFn>(module_, "LogDump");
        shutdown_ = ExportOf<LogShutdownFn>(module_, "LogShutdown");
        ASSERT_TRUE(init_ && write_ && dump_ && shutdown_);
        ASSERT_NE(nullptr, GetProcAddress(module_, "GetErrStr"));
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
        for (const char* name :
             {"QUILLET_LOGDIR", "QUILLET_LEVEL", "QUILLET_MAX_BYTES", "QUILLET_KEEP"}) {
            SetEnvironmentVariableA(name, nullptr);
        }
        RemoveFolder(folder_);
    }
    std::string Log(int index) {
        return Read(folder_ + "\\game.dll-" + std::to_string(index) + ".log");
    }
    void Open() {
        init_("wsock32\\wsock32", 10, 2000, "game.dll", "%logdir%\\game.dll-%rotate%.log");
    }

    std::string folder_;
    HMODULE module_ = nullptr;
    LogInitFn init_ = nullptr;
    LogWriteFn write_ = nullptr;
    LogDumpFn dump_ = nullptr;
    LogShutdownFn shutdown_ = nullptr;
};

TEST_F(QuilletTest, KeepsLinesUpToTheThresholdWithTheirSourceAndLevel) {
    Load();
    Open();
    write_("wsock32\\wsock32", 42, 1000, "[%s] kept %d%%", "game.dll", 7);
    write_("wsock32\\wsock32", 43, 2000, "dropped by default");
    shutdown_();
    std::string log = Log(1);
    EXPECT_NE(std::string::npos, log.find("log of game.dll opened\r\n"));
    EXPECT_NE(std::string::npos, log.find(" 1000 wsock32\\wsock32(42): [game.dll] kept 7%\r\n"));
    EXPECT_EQ(std::string::npos, log.find("dropped by default"));
}

TEST_F(QuilletTest, LevelFromTheEnvironmentKeepsEveryCall) {
    SetEnvironmentVariableA("QUILLET_LEVEL", "2000");
    Load();
    Open();
    write_("wsock32\\wsock32", 43, 2000, "every call");
    const unsigned char bytes[] = {0xF9, 0xF9, 'h', 'i'};
    int word = 0;
    dump_("wsock32\\wsock32", 44, 2000, bytes, 4, &word);
    shutdown_();
    std::string log = Log(1);
    EXPECT_NE(std::string::npos, log.find("wsock32\\wsock32(43): every call\r\n"));
    EXPECT_NE(std::string::npos, log.find("0000: F9 F9 68 69 "));
    EXPECT_NE(std::string::npos, log.find("..hi\r\n"));
}

TEST_F(QuilletTest, EachOpeningRotatesAndOnlyTheLastFewAreKept) {
    SetEnvironmentVariableA("QUILLET_KEEP", "3");
    Load();
    for (int run = 1; run <= 4; ++run) {
        Open();
        write_("s", run, 100, "run %d", run);
        shutdown_();
    }
    EXPECT_NE(std::string::npos, Log(1).find("run 4"));
    EXPECT_NE(std::string::npos, Log(2).find("run 3"));
    EXPECT_NE(std::string::npos, Log(3).find("run 2"));
    EXPECT_EQ("", Log(4));
}

TEST_F(QuilletTest, AFileGrownPastItsLimitStartsANewOne) {
    SetEnvironmentVariableA("QUILLET_MAX_BYTES", "2000");
    Load();
    Open();
    for (int i = 0; i < 60; ++i) write_("s", i, 100, "line %03d of a growing log", i);
    shutdown_();
    EXPECT_NE(std::string::npos, Log(1).find("line 059"));
    EXPECT_NE(std::string::npos, Log(2).find("line 0"));
}

TEST_F(QuilletTest, ConcurrentWritersLoseNoLineAndTearNone) {
    Load();
    Open();
    const int kThreads = 8, kLines = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) write_("s", 1, 100, "writer %d line %d end", t, i);
        });
    }
    for (auto& w : writers) w.join();
    shutdown_();
    std::istringstream log(Log(1));
    std::string line;
    int lines = 0;
    while (std::getline(log, line)) {
        if (line.find("writer ") == std::string::npos) continue;
        ++lines;
        EXPECT_NE(std::string::npos, line.find(" end\r")) << line;
    }
    EXPECT_EQ(kThreads * kLines, lines);
}

TEST_F(QuilletTest, CallsLeaveTheLastErrorCodeAlone) {
    Load();
    SetLastError(10035);
    Open();
    EXPECT_EQ(10035u, GetLastError());
    write_("s", 1, 100, "x");
    EXPECT_EQ(10035u, GetLastError());
    shutdown_();
    EXPECT_EQ(10035u, GetLastError());
}

TEST_F(QuilletTest, AnUnwritableFolderIsNoFailure) {
    SetEnvironmentVariableA("QUILLET_LOGDIR", "Z:\\no\\such\\folder");
    Load();
    Open();
    write_("s", 1, 100, "nowhere to go");
    shutdown_();
    SUCCEED();
}

}  // namespace
}  // namespace ozlan::test
