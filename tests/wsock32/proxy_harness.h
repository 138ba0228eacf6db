// Loads the built proxy from a folder of the test's own, under the file name the
// test chooses, with the recording QUILLET.DLL beside it, and reads back its lines.
#pragma once

#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/wsock32/quillet_recorder.h"

namespace ozlan::test {

std::string TestProgramFolder();
std::string BinFolder();  // where ozws.dll, QUILLET.DLL and the recorders are built
std::string MakeTempFolder(const char* tag);
void RemoveFolder(const std::string& path);

template <class F>
F ExportOf(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class LoadedProxy {
  public:
    // recorder: "recorder", "recorder-incomplete" or "" for no logging library.
    LoadedProxy(const char* file_name = "wsock32.dll", const char* recorder = "recorder");
    ~LoadedProxy();
    HMODULE module() const { return module_; }
    void Unload();  // process detach, keeping the recorder loaded
    std::vector<RecordedCallInfo> Calls() const;
    std::vector<std::string> Lines() const;  // texts of the LogWrite calls, in order
    bool HasLine(const std::string& line) const;
    size_t CountLine(const std::string& line) const;
    void ForgetLines() { skip_ = Calls().size(); }

    template <class F>
    F Export(const char* name) const {
        return ExportOf<F>(module_, name);
    }

  private:
    std::string folder_;
    std::string path_;
    HMODULE module_ = nullptr;
    HMODULE recorder_ = nullptr;
    size_t skip_ = 0;
};

}  // namespace ozlan::test
