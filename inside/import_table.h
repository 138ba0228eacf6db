// The import table of a loaded module, read from its image in memory: for every function
// it imports, the DLL, the name or ordinal, and where the loader wrote the address it
// calls (the slot a takeover rewrites). Platform-free: PE32 and PE32+ images, every
// offset checked against the image's size, so that a damaged or hostile module is
// refused rather than read past its end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ozlan {

constexpr size_t kImportNameSize = 64;

struct ImportSlot {
    char dll[kImportNameSize] = {};   // as the module names it ("WSOCK32.dll")
    char name[kImportNameSize] = {};  // empty when imported by ordinal
    uint16_t ordinal = 0;             // when imported by ordinal
    uint32_t slot_rva = 0;            // where the address it calls sits
};

enum class ImportRead { Ok, NotAnImage, Damaged, TooMany };

// Reads the imports of a mapped image (`size` bytes from its base; relative addresses
// are offsets) into `out`, at most `capacity`; `*count` says how many.
ImportRead ReadImports(const uint8_t* image, size_t size, ImportSlot* out, size_t capacity,
                       size_t* count);
// Whether `dll` names one of the Winsock modules a takeover serves (any case, with or
// without ".dll"): wsock32 or ws2_32.
bool IsWinsockModule(const char* dll);

}  // namespace ozlan
