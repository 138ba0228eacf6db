// Drives the players' window from another process, as a player would: fills its fields
// and presses Play by window messages, reads the status and the player list back, joins
// a second player ("bob") to the same session through the relay service, and saves a
// screenshot. Prints one PASS or FAIL line per check and "N passed, N failed".
// window_driver OZLAUNCHW RELAY_HOST RELAY_PORT GAME SCREENSHOT.png SETTINGS_FOLDER
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "launcher/window_ids.h"
#include "protocol/wire.h"
#include "transport/transport.h"

using namespace ozlan;

namespace {

int g_passed = 0, g_failed = 0;

void Check(const char* name, bool ok, const std::string& detail = "") {
    std::printf("%s: window: %s%s%s\n", ok ? "PASS" : "FAIL", name,
                ok || detail.empty() ? "" : " -- ", ok ? "" : detail.c_str());
    std::fflush(stdout);
    (ok ? g_passed : g_failed)++;
}

// Waits up to `ms` for `done`, keeping the second player's transport going.
bool WaitFor(const std::function<bool()>& done, int ms) {
    for (DWORD end = GetTickCount() + DWORD(ms); int(end - GetTickCount()) > 0; Sleep(50)) {
        TransportThink(0);
        if (done()) return true;
    }
    return done();
}

std::string TextOf(HWND item) {
    int length = int(SendMessageA(item, WM_GETTEXTLENGTH, 0, 0));
    std::string text(size_t(length) + 1, '\0');
    SendMessageA(item, WM_GETTEXT, WPARAM(length + 1), reinterpret_cast<LPARAM>(text.data()));
    text.resize(size_t(length));
    return text;
}

std::vector<std::string> ListOf(HWND box) {
    std::vector<std::string> items;
    int count = int(SendMessageA(box, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        // Read as wide text: Wine hands another process's list box item to an ANSI
        // caller as its wide form.
        wchar_t item[256] = {};
        SendMessageW(box, LB_GETTEXT, WPARAM(i), reinterpret_cast<LPARAM>(item));
        char narrow[256] = {};
        WideCharToMultiByte(CP_ACP, 0, item, -1, narrow, sizeof narrow, nullptr, nullptr);
        items.push_back(narrow);
    }
    return items;
}

struct Window {
    PROCESS_INFORMATION process{};
    HWND window = nullptr;
    HWND Item(int id) const { return GetDlgItem(window, id); }
    void Set(int id, const std::string& text) const {
        SendMessageA(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    void Play() const {
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(kIdPlay, BN_CLICKED),
                     reinterpret_cast<LPARAM>(Item(kIdPlay)));
    }
    bool StatusHas(const std::string& words) const {
        return TextOf(Item(kIdStatus)).find(words) != std::string::npos;
    }
};

bool Open(const std::string& program, Window* w) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string command = "\"" + program + "\"";
    if (!CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &w->process)) {
        return false;
    }
    return WaitFor(
        [&] {
            w->window = FindWindowA(kWindowClass, nullptr);
            return w->window && IsWindowVisible(w->window);
        },
        30000);
}

bool Close(Window* w) {
    PostMessageA(w->window, WM_CLOSE, 0, 0);
    bool ended = WaitForSingleObject(w->process.hProcess, 10000) == WAIT_OBJECT_0;
    CloseHandle(w->process.hProcess);
    CloseHandle(w->process.hThread);
    return ended;
}

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

void Be32(std::vector<uint8_t>* out, uint32_t v) {
    for (int i = 3; i >= 0; --i) out->push_back(uint8_t(v >> (8 * i)));
}

void Chunk(std::vector<uint8_t>* png, const char* type, const std::vector<uint8_t>& data) {
    Be32(png, uint32_t(data.size()));
    size_t start = png->size();
    png->insert(png->end(), type, type + 4);
    png->insert(png->end(), data.begin(), data.end());
    Be32(png, Crc32(png->data() + start, png->size() - start));
}

// RGB rows as a PNG: stored (uncompressed) deflate blocks, which any viewer reads.
bool WritePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb) {
    std::vector<uint8_t> raw;
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);  // no filter
        raw.insert(raw.end(), rgb.begin() + size_t(y) * width * 3,
                   rgb.begin() + size_t(y + 1) * width * 3);
    }
    std::vector<uint8_t> z = {0x78, 0x01};
    for (size_t at = 0; at < raw.size() || at == 0;) {
        size_t n = std::min<size_t>(65535, raw.size() - at);
        z.push_back(at + n == raw.size() ? 1 : 0);
        z.push_back(uint8_t(n));
        z.push_back(uint8_t(n >> 8));
        z.push_back(uint8_t(~n));
        z.push_back(uint8_t(~n >> 8));
        z.insert(z.end(), raw.begin() + at, raw.begin() + at + n);
        at += n;
        if (n == 0) break;
    }
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    Be32(&z, (b << 16) | a);
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    Be32(&header, uint32_t(width));
    Be32(&header, uint32_t(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
    Chunk(&png, "IHDR", header);
    Chunk(&png, "IDAT", z);
    Chunk(&png, "IEND", {});
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(png.data(), 1, png.size(), f) == png.size();
    return std::fclose(f) == 0 && ok;
}

// The window as the screen shows it.
bool Screenshot(HWND window, const std::string& path) {
    SetForegroundWindow(window);
    RECT r;
    GetWindowRect(window, &r);
    int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    size_t stride = (size_t(width) * 3 + 3) & ~size_t(3);
    const uint8_t* row = static_cast<const uint8_t*>(bits);
    bool anything = false;
    for (int y = 0; y < height; ++y, row += stride) {
        for (int x = 0; x < width; ++x) {
            uint8_t* px = &rgb[(size_t(y) * width + x) * 3];
            px[0] = row[x * 3 + 2];
            px[1] = row[x * 3 + 1];
            px[2] = row[x * 3];
            anything = anything || px[0] != rgb[0] || px[1] != rgb[1] || px[2] != rgb[2];
        }
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return anything && WritePng(path, width, height, rgb);
}

// A second player: a link to the relay service and a join with presence.
struct SecondPlayer {
    int32_t link = 0;
    bool connected = false;
};
SecondPlayer g_bob;
void BobConnected(int32_t, int32_t, void*) {
    g_bob.connected = true;
}
void BobInbox(const uint8_t*, int32_t, int32_t, int32_t, void*) {}

void BobJoins(const char* session) {
    uint8_t join[kJoinMessageSize];
    WriteJoinMessage(join, session, kJoinFlagPresence, "bob");
    TransportSend(g_bob.link, join, int32_t(sizeof join), kJoinMessageType);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr,
                     "usage: window_driver OZLAUNCHW RELAY_HOST RELAY_PORT GAME SHOT SETTINGS\n");
        return 2;
    }
    std::string program = argv[1], relay_host = argv[2], game = argv[4], shot = argv[5];
    uint16_t relay_port = uint16_t(std::atoi(argv[3]));
    std::string relay = relay_host + ":" + argv[3];
    // The window keeps its settings in the player's application-data folder: here, ours.
    SetEnvironmentVariableA("APPDATA", argv[6]);
    SetTransportLogSink(nullptr);

    Window w;
    Check("the window opens", Open(program, &w));
    if (!w.window) return 1;
    Check("with the player's name filled in and a first hint",
          !TextOf(w.Item(kIdName)).empty() && w.StatusHas("press Play"),
          TextOf(w.Item(kIdName)) + " / " + TextOf(w.Item(kIdStatus)));
    RECT client;
    GetClientRect(w.window, &client);
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    Check("its size follows the system's DPI and fits 800 x 600 at 96 DPI",
          client.right == MulDiv(620, dpi, 96) && client.bottom == MulDiv(472, dpi, 96),
          std::to_string(client.right) + "x" + std::to_string(client.bottom) + " at " +
              std::to_string(dpi));

    // Refused in the console launcher's words.
    w.Set(kIdGame, game);
    w.Set(kIdRelay, "127.0.0.1:99999");
    w.Set(kIdSession, "window-test");
    w.Play();
    Check("a bad relay port is refused as the console launcher refuses it",
          WaitFor([&] { return w.StatusHas("bad relay port in '127.0.0.1:99999'"); }, 5000),
          TextOf(w.Item(kIdStatus)));
    w.Set(kIdRelay, relay);
    w.Set(kIdName, "\x01\x02");
    w.Play();
    Check("so is a name with nothing left of it",
          WaitFor([&] { return w.StatusHas("the player's name is empty"); }, 5000),
          TextOf(w.Item(kIdStatus)));

    // Alice plays: a host that waits 12 s for nobody, with the proxy inside its process.
    w.Set(kIdArguments, "host --udp 4400 --name alice --timeout 12");
    w.Set(kIdRelay, relay);
    w.Set(kIdName, "alice");
    w.Set(kIdPassword, "");
    SendMessageA(w.Item(kIdInside), BM_SETCHECK, BST_CHECKED, 0);
    w.Play();
    Check("Play joins the session and starts the game",
          WaitFor([&] { return w.StatusHas("game started"); }, 30000) &&
              w.StatusHas("joining session 'window-test' on " + relay + " as alice") &&
              !IsWindowEnabled(w.Item(kIdPlay)),
          TextOf(w.Item(kIdStatus)));
    Check("the box took the proxy into the game's process",
          w.StatusHas("the proxy goes into the game's process: as asked"),
          TextOf(w.Item(kIdStatus)));
    HWND members = w.Item(kIdMembers);
    auto listed = [&] {
        std::string text;
        for (const std::string& item : ListOf(members)) text += "[" + item + "]";
        return text + " (" + std::to_string(SendMessageA(members, LB_GETCOUNT, 0, 0)) + ")";
    };
    bool alice_listed =
        WaitFor([&] { return ListOf(members) == std::vector<std::string>{"alice (you)"}; }, 5000);
    Check("the player list shows alice", alice_listed, listed());

    // Bob joins the same session.
    Endpoint* endpoint = CreateEndpoint(0);
    g_bob.link = Connect(endpoint, relay_host.c_str(), relay_port);
    SetDefaultHandler(g_bob.link, BobInbox);
    SetEventCallback(g_bob.link, EVENT_CONNECTED, BobConnected);
    WaitFor([] { return g_bob.connected; }, 5000);
    BobJoins("window-test");
    std::vector<std::string> both = {"alice (you)", "bob (direct)"};
    Check(
        "bob shows up in alice's list when he joins",
        WaitFor([&] { return ListOf(members) == both; }, 10000) &&
            WaitFor(
                [&] {
                    return w.StatusHas("bob joined session 'window-test' (2 players: alice, bob)");
                },
                5000),
        TextOf(w.Item(kIdStatus)));
    Check("a screenshot of the window is saved", Screenshot(w.window, shot), shot);

    // Bob goes to another session: alice's list loses him.
    BobJoins("elsewhere");
    Check("bob disappears from alice's list when he leaves",
          WaitFor([&] { return ListOf(members) == std::vector<std::string>{"alice (you)"}; },
                  10000) &&
              w.StatusHas("bob left (1 player)"),
          TextOf(w.Item(kIdStatus)));
    Check("the game's end is told and Play is back",
          WaitFor([&] { return w.StatusHas("game ended with exit code 1"); }, 30000) &&
              WaitFor([&] { return IsWindowEnabled(w.Item(kIdPlay)) != 0; }, 5000),
          TextOf(w.Item(kIdStatus)));
    Check("the window closes", Close(&w));

    // The values are remembered per game, never the password.
    std::string ini = std::string(argv[6]) + "\\OZLAN\\ozlaunchw.ini";
    char value[256] = {};
    GetPrivateProfileStringA(game.c_str(), "session", "", value, sizeof value, ini.c_str());
    char password[256] = {};
    GetPrivateProfileStringA(game.c_str(), "password", "none", password, sizeof password,
                             ini.c_str());
    Check("the session is remembered for the game, the password is not",
          std::string(value) == "window-test" && std::string(password) == "none", ini);
    Window again;
    Check("the next start fills in the last game and its values",
          Open(program, &again) && TextOf(again.Item(kIdGame)) == game &&
              TextOf(again.Item(kIdSession)) == "window-test" &&
              TextOf(again.Item(kIdRelay)) == relay && TextOf(again.Item(kIdName)) == "alice" &&
              TextOf(again.Item(kIdArguments)) == "host --udp 4400 --name alice --timeout 12",
          TextOf(again.Item(kIdGame)) + " / " + TextOf(again.Item(kIdSession)));
    if (again.window) Close(&again);

    // At 150% (144 DPI) everything is half as large again.
    HKEY desktop;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &desktop, nullptr) == ERROR_SUCCESS) {
        DWORD before = 0, size = sizeof before, type = 0;
        bool had = RegQueryValueExA(desktop, "LogPixels", nullptr, &type,
                                    reinterpret_cast<BYTE*>(&before), &size) == ERROR_SUCCESS;
        DWORD large = 144;
        RegSetValueExA(desktop, "LogPixels", 0, REG_DWORD, reinterpret_cast<BYTE*>(&large),
                       sizeof large);
        Window scaled;
        RECT area{};
        if (Open(program, &scaled)) GetClientRect(scaled.window, &area);
        Check("at 144 DPI the window is 150% as large", area.right == 930 && area.bottom == 708,
              std::to_string(area.right) + "x" + std::to_string(area.bottom));
        if (scaled.window) Close(&scaled);
        if (had) {
            RegSetValueExA(desktop, "LogPixels", 0, REG_DWORD, reinterpret_cast<BYTE*>(&before),
                           sizeof before);
        } else {
            RegDeleteValueA(desktop, "LogPixels");
        }
        RegCloseKey(desktop);
    }
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
