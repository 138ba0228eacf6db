// Arbitrary bytes as a loaded module's image: the reader never reads past them, and what
// it returns holds together (terminated names, slots inside the image).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "inside/import_table.h"

using namespace ozlan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ImportSlot slots[32];
    size_t count = 0;
    ReadImports(data, size, slots, 32, &count);
    if (count > 32) __builtin_trap();
    for (size_t i = 0; i < count; ++i) {
        if (std::memchr(slots[i].dll, 0, kImportNameSize) == nullptr ||
            std::memchr(slots[i].name, 0, kImportNameSize) == nullptr ||
            size_t(slots[i].slot_rva) + 4 > size) {
            __builtin_trap();
        }
        IsWinsockModule(slots[i].dll);
    }
    return 0;
}
