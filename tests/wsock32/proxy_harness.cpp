#include "tests/wsock32/proxy_harness.h"

#include <algorithm>

namespace ozlan::test {

std::string TestProgramFolder() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\'));
}

std::string BinFolder() {
    std::string here = TestProgramFolder();
    return here.substr(0, here.find_last_of('\\'));
}

std::string MakeTempFolder(const char* tag) {
    static int counter = 0;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string path = std::string(temp) + "ozws-" + tag + "-" +
                       std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

void RemoveFolder(const std::string& path) {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((path + "\\*").c_str(), &found);
    while (h != INVALID_HANDLE_VALUE) {
        std::string name = found.cFileName;
        if (name != "." && name != "..") {
            std::string full = path + "\\" + name;
            SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveFolder(full);
            } else {
                DeleteFileA(full.c_str());
            }
        }
        if (!FindNextFileA(h, &found)) break;
    }
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
    RemoveDirectoryA(path.c_str());
}

LoadedProxy::LoadedProxy(const char* file_name, const char* recorder) {
    folder_ = MakeTempFolder("proxy");
    path_ = folder_ + "\\" + file_name;
    CopyFileA((BinFolder() + "\\ozws.dll").c_str(), path_.c_str(), FALSE);
    std::string recorder_folder = *recorder ? BinFolder() + "\\" + recorder : folder_;
    SetDllDirectoryA(recorder_folder.c_str());
    module_ = LoadLibraryA(path_.c_str());
    recorder_ = *recorder ? LoadLibraryA((recorder_folder + "\\QUILLET.DLL").c_str()) : nullptr;
    SetDllDirectoryA(nullptr);
}

LoadedProxy::~LoadedProxy() {
    Unload();
    if (recorder_) FreeLibrary(recorder_);
    RemoveFolder(folder_);
}

void LoadedProxy::Unload() {
    if (module_) FreeLibrary(module_);
    module_ = nullptr;
}

std::vector<RecordedCallInfo> LoadedProxy::Calls() const {
    std::vector<RecordedCallInfo> calls;
    if (!recorder_) return calls;
    auto count = ExportOf<RecordedCountFn>(recorder_, "RecordedCount");
    auto call = ExportOf<RecordedCallFn>(recorder_, "RecordedCall");
    for (int i = int(skip_); i < count(); ++i) {
        RecordedCallInfo info;
        call(i, &info);
        calls.push_back(info);
    }
    return calls;
}

std::vector<std::string> LoadedProxy::Lines() const {
    std::vector<std::string> lines;
    for (const auto& c : Calls()) {
        if (std::string(c.kind) == "write") lines.push_back(c.text);
    }
    return lines;
}

bool LoadedProxy::HasLine(const std::string& line) const {
    return CountLine(line) > 0;
}

size_t LoadedProxy::CountLine(const std::string& line) const {
    auto lines = Lines();
    return size_t(std::count(lines.begin(), lines.end(), line));
}

}  // namespace ozlan::test
