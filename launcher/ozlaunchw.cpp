// ozlaunchw: the players' window. The game, its arguments, the relay, the session, a
// password and the player's name; Play; what happens, in the launcher's own words; and
// who is in the session. It remembers the last values per game.
#include <windows.h>
// After windows.h.
#include <commdlg.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "launcher/launch.h"
#include "launcher/window_ids.h"

using namespace ozlan;

namespace {

constexpr UINT kLineMessage = WM_APP + 1;     // lParam: a new'd std::string; wParam: failure
constexpr UINT kMembersMessage = WM_APP + 2;  // lParam: a new'd std::string
constexpr UINT kEndedMessage = WM_APP + 3;    // the session's thread ended

struct WindowState {
    HWND window = nullptr;
    HFONT font = nullptr;
    int dpi = 96;
    bool playing = false;
    LaunchOptions options;  // of the session that plays
    std::string settings;   // the INI file
};
WindowState g_window;

int Scale(int value) {
    return MulDiv(value, g_window.dpi, 96);
}

HWND Item(int id) {
    return GetDlgItem(g_window.window, id);
}

std::string Text(int id) {
    HWND item = Item(id);
    int length = GetWindowTextLengthA(item);
    std::string text(size_t(length) + 1, '\0');
    GetWindowTextA(item, text.data(), length + 1);
    text.resize(size_t(length));
    return text;
}

void AddStatus(const std::string& line) {
    HWND status = Item(kIdStatus);
    int end = GetWindowTextLengthA(status);
    SendMessageA(status, EM_SETSEL, WPARAM(end), LPARAM(end));
    std::string text = (end > 0 ? "\r\n" : "") + line;
    SendMessageA(status, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

// The INI file in the player's application-data folder (beside the program without one).
std::string SettingsPath() {
    char folder[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableA("APPDATA", folder, sizeof folder);
    std::string path;
    if (n > 0 && n < sizeof folder) {
        path = std::string(folder) + "\\OZLAN";
        CreateDirectoryA(path.c_str(), nullptr);
    } else {
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        path = self;
        path = path.substr(0, path.find_last_of("\\/"));
    }
    return path + "\\ozlaunchw.ini";
}

// The fields remembered per game (never the password).
struct Remembered {
    int id;
    const char* key;
};
const Remembered kRemembered[] = {
    {kIdArguments, "arguments"}, {kIdRelay, "relay"}, {kIdSession, "session"}, {kIdName, "name"}};

void LoadGame(const std::string& game) {
    if (game.empty()) return;
    for (const Remembered& r : kRemembered) {
        char value[1024] = {};
        GetPrivateProfileStringA(game.c_str(), r.key, "\x01", value, sizeof value,
                                 g_window.settings.c_str());
        if (std::strcmp(value, "\x01") != 0) SetWindowTextA(Item(r.id), value);
    }
}

void SaveGame() {
    std::string game = Text(kIdGame);
    if (game.empty()) return;
    const char* ini = g_window.settings.c_str();
    WritePrivateProfileStringA("last", "game", game.c_str(), ini);
    for (const Remembered& r : kRemembered) {
        WritePrivateProfileStringA(game.c_str(), r.key, Text(r.id).c_str(), ini);
    }
}

void Browse() {
    char file[MAX_PATH] = {};
    std::string current = Text(kIdGame);
    std::snprintf(file, sizeof file, "%s", current.c_str());
    OPENFILENAMEA open{};
    open.lStructSize = sizeof open;
    open.hwndOwner = g_window.window;
    open.lpstrFilter = "Programs (*.exe)\0*.exe\0All files\0*.*\0";
    open.lpstrFile = file;
    open.nMaxFile = sizeof file;
    open.lpstrTitle = "The game's program";
    open.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetOpenFileNameA(&open)) return;
    SetWindowTextA(Item(kIdGame), file);
    LoadGame(file);
}

// The session's thread: its lines and member lists go to the window as messages.
void ReportLine(void*, bool failure, const char* text) {
    PostMessageA(g_window.window, kLineMessage, failure,
                 reinterpret_cast<LPARAM>(new std::string(text)));
}
void ReportMembers(void*, const char* list) {
    PostMessageA(g_window.window, kMembersMessage, 0,
                 reinterpret_cast<LPARAM>(new std::string(list)));
}
DWORD WINAPI SessionThread(void*) {
    LaunchReport report;
    report.line = ReportLine;
    report.members = ReportMembers;
    DWORD code = DWORD(RunLaunch(g_window.options, report));
    PostMessageA(g_window.window, kEndedMessage, code, 0);
    return 0;
}

void Play() {
    if (g_window.playing) return;
    LaunchOptions o;
    o.game = Text(kIdGame);
    o.game_arguments = Text(kIdArguments);
    o.relay = Text(kIdRelay);
    o.session = Text(kIdSession);
    o.password = Text(kIdPassword);
    o.player_name = Text(kIdName);
    o.inside = SendMessageA(Item(kIdInside), BM_GETCHECK, 0, 0) == BST_CHECKED;
    // The same checks, in the same words, as the console launcher's.
    std::string problem = OptionsProblem(o);
    if (!problem.empty()) {
        AddStatus(problem);
        return;
    }
    SaveGame();
    g_window.options = o;
    g_window.playing = true;
    EnableWindow(Item(kIdPlay), FALSE);
    SendMessageA(Item(kIdMembers), LB_RESETCONTENT, 0, 0);
    HANDLE thread = CreateThread(nullptr, 0, SessionThread, nullptr, 0, nullptr);
    if (!thread) {
        g_window.playing = false;
        EnableWindow(Item(kIdPlay), TRUE);
        AddStatus("cannot start the session");
        return;
    }
    CloseHandle(thread);
}

void ShowMembers(const std::string& list) {
    HWND box = Item(kIdMembers);
    SendMessageA(box, LB_RESETCONTENT, 0, 0);
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find('\n', start);
        if (end == std::string::npos) end = list.size();
        std::string line = list.substr(start, end - start);
        size_t tab = line.find('\t');
        if (tab != std::string::npos)
            line = line.substr(0, tab) + " (" + line.substr(tab + 1) + ")";
        if (!line.empty())
            SendMessageA(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
        start = end + 1;
    }
}

HWND Add(const char* kind, const char* text, DWORD style, int id, int x, int y, int w, int h,
         DWORD ex_style = 0) {
    HWND item = CreateWindowExA(
        ex_style, kind, text, WS_CHILD | WS_VISIBLE | style, Scale(x), Scale(y), Scale(w), Scale(h),
        g_window.window, reinterpret_cast<HMENU>(intptr_t(id)), GetModuleHandleA(nullptr), nullptr);
    SendMessageA(item, WM_SETFONT, reinterpret_cast<WPARAM>(g_window.font), TRUE);
    return item;
}

// The layout in 96-dpi units, scaled: 620 x 470, which fits 800 x 600.
void CreateControls() {
    struct Row {
        const char* label;
        int id;
        DWORD style;
        int width;
    };
    const Row rows[] = {
        {"&Game program:", kIdGame, ES_AUTOHSCROLL, 380},
        {"&Arguments:", kIdArguments, ES_AUTOHSCROLL, 470},
        {"&Relay:", kIdRelay, ES_AUTOHSCROLL, 470},
        {"&Session:", kIdSession, ES_AUTOHSCROLL, 470},
        {"Pass&word:", kIdPassword, ES_AUTOHSCROLL | ES_PASSWORD, 470},
        {"Your &name:", kIdName, ES_AUTOHSCROLL, 470}};
    int y = 12;
    for (const Row& row : rows) {
        Add("STATIC", row.label, SS_LEFT, 0, 12, y + 3, 124, 20);
        Add("EDIT", "", WS_TABSTOP | WS_BORDER | row.style, row.id, 138, y, row.width, 23,
            WS_EX_CLIENTEDGE);
        if (row.id == kIdGame)
            Add("BUTTON", "&Browse...", WS_TABSTOP | BS_PUSHBUTTON, kIdBrowse, 524, y - 1, 84, 25);
        y += 30;
    }
    SendMessageA(Item(kIdSession), EM_LIMITTEXT, 63, 0);
    SendMessageA(Item(kIdPassword), EM_LIMITTEXT, 127, 0);
    SendMessageA(Item(kIdName), EM_LIMITTEXT, 23, 0);
    Add("BUTTON", "&Play", WS_TABSTOP | BS_DEFPUSHBUTTON, kIdPlay, 138, y + 2, 110, 30);
    // Taken by itself for Winsock 2 games and folders the player cannot write to.
    Add("BUTTON", "&Inside the game's process (no file in its folder)",
        WS_TABSTOP | BS_AUTOCHECKBOX, kIdInside, 262, y + 7, 346, 20);
    y += 44;
    Add("STATIC", "What happens:", SS_LEFT, 0, 12, y, 300, 20);
    Add("STATIC", "Players in the session:", SS_LEFT, 0, 424, y, 184, 20);
    y += 22;
    Add("EDIT", "", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_BORDER, kIdStatus,
        12, y, 400, 460 - y, WS_EX_CLIENTEDGE);
    Add("LISTBOX", "", LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER, kIdMembers, 424, y, 184,
        460 - y, WS_EX_CLIENTEDGE);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_COMMAND:
            if (LOWORD(w) == kIdPlay && HIWORD(w) == BN_CLICKED) Play();
            if (LOWORD(w) == kIdBrowse && HIWORD(w) == BN_CLICKED) Browse();
            if (LOWORD(w) == kIdGame && HIWORD(w) == EN_KILLFOCUS) LoadGame(Text(kIdGame));
            return 0;
        case kLineMessage: {
            std::string* line = reinterpret_cast<std::string*>(l);
            AddStatus(*line);
            delete line;
            return 0;
        }
        case kMembersMessage: {
            std::string* list = reinterpret_cast<std::string*>(l);
            ShowMembers(*list);
            delete list;
            return 0;
        }
        case kEndedMessage:
            g_window.playing = false;
            EnableWindow(Item(kIdPlay), TRUE);
            SendMessageA(Item(kIdMembers), LB_RESETCONTENT, 0, 0);
            return 0;
        case WM_CLOSE:
            // The session ends with the game: the game's folder gets its files back.
            if (g_window.playing) {
                AddStatus("the game still runs: close the game first, then this window");
                return 0;
            }
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(window, message, w, l);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    // Sharp at any scaling the player set: the layout follows the system's DPI.
    SetProcessDPIAware();
    HDC screen = GetDC(nullptr);
    g_window.dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    g_window.font = CreateFontIndirectA(&metrics.lfMessageFont);
    g_window.settings = SettingsPath();

    WNDCLASSA kind{};
    kind.lpfnWndProc = WindowProc;
    kind.hInstance = instance;
    kind.hCursor = LoadCursor(nullptr, IDC_ARROW);
    kind.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    kind.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    kind.lpszClassName = kWindowClass;
    RegisterClassA(&kind);
    RECT frame = {0, 0, Scale(620), Scale(472)};
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT);
    g_window.window = CreateWindowExA(
        WS_EX_CONTROLPARENT, kWindowClass, "OZLAN - play LAN games over the internet", style,
        CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr,
        nullptr, instance, nullptr);
    if (!g_window.window) return 1;
    CreateControls();
    // The last game played, with what was used for it.
    char last[MAX_PATH] = {};
    GetPrivateProfileStringA("last", "game", "", last, sizeof last, g_window.settings.c_str());
    SetWindowTextA(Item(kIdGame), last);
    SetWindowTextA(Item(kIdName), DefaultPlayerName().c_str());
    LoadGame(last);
    AddStatus("Pick the game, type the relay and a session name your friends use, and press Play.");
    ShowWindow(g_window.window, show);
    UpdateWindow(g_window.window);
    SetFocus(Item(kIdGame));

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(g_window.window, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
