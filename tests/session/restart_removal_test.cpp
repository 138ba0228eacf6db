// The wininit.ini [rename] merge, in a Windows folder the test owns.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "session/session.h"

namespace ozlan {
namespace {

class RestartRemovalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "ozlan-win-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(folder_.c_str(), nullptr);
        list_ = folder_ + "\\wininit.ini";
    }
    void TearDown() override {
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((folder_ + "\\*").c_str(), &found);
        while (h != INVALID_HANDLE_VALUE) {
            DeleteFileA((folder_ + "\\" + found.cFileName).c_str());
            if (!FindNextFileA(h, &found)) break;
        }
        if (h != INVALID_HANDLE_VALUE) FindClose(h);
        RemoveDirectoryA(folder_.c_str());
    }
    void WriteList(const std::string& bytes) { std::ofstream(list_, std::ios::binary) << bytes; }
    std::string ReadList() {
        std::ifstream in(list_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    int FilesInFolder() {
        int n = 0;
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((folder_ + "\\*").c_str(), &found);
        while (h != INVALID_HANDLE_VALUE) {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++n;
            if (!FindNextFileA(h, &found)) break;
        }
        if (h != INVALID_HANDLE_VALUE) FindClose(h);
        return n;
    }
    std::string folder_, list_;
};

TEST_F(RestartRemovalTest, WithoutAListItMakesOneWithTheEntry) {
    ASSERT_EQ(1u, MoveAtRestartIn(folder_.c_str(), "C:\\Games\\Arena\\wsock32.dll", nullptr));
    EXPECT_EQ("[rename]\r\nNUL=C:\\Games\\Arena\\wsock32.dll\r\n", ReadList());
    EXPECT_EQ(1, FilesInFolder());  // no temporary file left behind
}

TEST_F(RestartRemovalTest, NewEntryGoesFirstUnderALowerCaseHeader) {
    WriteList(
        "; keep me\r\n[Other]\r\nx=1\r\n[Rename]\r\nNUL=C:\\a.dll\r\nC:\\b=C:\\c\r\n[Later]\r\n");
    ASSERT_EQ(1u, MoveAtRestartIn(folder_.c_str(), "C:\\G\\wsock32.dll", nullptr));
    EXPECT_EQ(
        "; keep me\r\n[Other]\r\nx=1\r\n[rename]\r\nNUL=C:\\G\\wsock32.dll\r\nNUL=C:\\a.dll\r\n"
        "C:\\b=C:\\c\r\n[Later]\r\n",
        ReadList());
    EXPECT_EQ(1, FilesInFolder());
}

TEST_F(RestartRemovalTest, WithoutASectionAllLinesStayAndTheSectionIsAppended) {
    WriteList("[boot]\r\nshell=x\r\n");
    ASSERT_EQ(1u, MoveAtRestartIn(folder_.c_str(), "C:\\old", "C:\\new"));
    EXPECT_EQ("[boot]\r\nshell=x\r\n[rename]\r\nC:\\new=C:\\old\r\n", ReadList());
}

TEST_F(RestartRemovalTest, LastLineWithoutLineEndStillEndsBeforeTheHeader) {
    WriteList("[boot]\r\nshell=x");
    ASSERT_EQ(1u, MoveAtRestartIn(folder_.c_str(), "C:\\p", nullptr));
    EXPECT_EQ("[boot]\r\nshell=x\r\n[rename]\r\nNUL=C:\\p\r\n", ReadList());
}

TEST_F(RestartRemovalTest, LongLinesAreCopiedWholeAndOnlyLineStartsAreHeaders) {
    std::string long_line(255, 'a');
    long_line += "[rename] inside a long line";
    WriteList(long_line + "\r\n");
    ASSERT_EQ(1u, MoveAtRestartIn(folder_.c_str(), "C:\\p", nullptr));
    EXPECT_EQ(long_line + "\r\n[rename]\r\nNUL=C:\\p\r\n", ReadList());
}

TEST_F(RestartRemovalTest, AFolderThatDoesNotExistChangesNothing) {
    EXPECT_EQ(0u, MoveAtRestartIn((folder_ + "\\missing").c_str(), "C:\\p", nullptr));
}

TEST_F(RestartRemovalTest, AnEntryIsMadeOnceAndTakenOutLeavingEveryOtherLine) {
    WriteList("; keep me\r\n[rename]\r\nNUL=C:\\a.dll\r\n[Later]\r\nx=1");
    ASSERT_EQ(1u, MoveAtRestartIn(folder_.c_str(), "C:\\G\\wsock32.dll", nullptr));
    ASSERT_EQ(1u, MoveAtRestartIn(folder_.c_str(), "c:\\g\\WSOCK32.DLL", nullptr));  // again
    EXPECT_EQ("; keep me\r\n[rename]\r\nNUL=C:\\G\\wsock32.dll\r\nNUL=C:\\a.dll\r\n[Later]\r\nx=1",
              ReadList());
    ASSERT_EQ(1u, ForgetRestartMoveIn(folder_.c_str(), "C:\\G\\wsock32.dll", nullptr));
    EXPECT_EQ("; keep me\r\n[rename]\r\nNUL=C:\\a.dll\r\n[Later]\r\nx=1", ReadList());
    EXPECT_EQ(1, FilesInFolder());
    // A rename's entry likewise; an entry that is not there, or no list, changes nothing.
    ASSERT_EQ(1u, MoveAtRestartIn(folder_.c_str(), "C:\\G\\saved", "C:\\G\\wsock32.dll"));
    ASSERT_EQ(1u, ForgetRestartMoveIn(folder_.c_str(), "C:\\G\\saved", "C:\\G\\wsock32.dll"));
    EXPECT_EQ(1u, ForgetRestartMoveIn(folder_.c_str(), "C:\\G\\other.dll", nullptr));
    EXPECT_EQ("; keep me\r\n[rename]\r\nNUL=C:\\a.dll\r\n[Later]\r\nx=1", ReadList());
    DeleteFileA(list_.c_str());
    EXPECT_EQ(1u, ForgetRestartMoveIn(folder_.c_str(), "C:\\G\\wsock32.dll", nullptr));
    EXPECT_EQ(0, FilesInFolder());
}

}  // namespace
}  // namespace ozlan
