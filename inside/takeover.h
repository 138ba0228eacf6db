// The proxy inside the game's process: the Winsock calls of every module of the process
// go to the proxy's functions, with no file in the game's folder. The import slots of
// each module that hold a real Winsock function (wsock32.dll or ws2_32.dll, imported by
// name or by ordinal: a slot is known by the address the loader wrote) are rewritten;
// the loader functions' slots too, so that a module loaded later is taken over as it
// arrives and GetProcAddress of a Winsock function answers with the proxy's.
#pragma once

#include <windows.h>

#include <cstddef>

namespace ozlan {

// A Winsock function by its name ("recvfrom", "WSASocketA") and what stands for it.
struct Replacement {
    const char* name;
    void* function;
};

struct TakeoverCount {
    int modules = 0;  // modules whose imports were read
    int slots = 0;    // slots that now lead to a replacement (all modules, all passes)
};

// Takes over every module loaded now except `own` (the caller's, which keeps calling the
// real functions) and the Winsock modules themselves; installs the loader hooks once.
// `table` must outlive the process. Safe to call again (a slot is rewritten once).
TakeoverCount TakeOverProcess(HMODULE own, const Replacement* table, size_t count);
// What stands for a function of a loaded Winsock module (its real address), or null.
void* ReplacementFor(const void* real_function);

}  // namespace ozlan
