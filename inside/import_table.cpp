#include "inside/import_table.h"

#include <cctype>
#include <cstring>
#include <initializer_list>

namespace ozlan {
namespace {

constexpr uint16_t kDosMagic = 0x5A4D;     // "MZ"
constexpr uint32_t kPeMagic = 0x00004550;  // "PE\0\0"
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr size_t kImportDescriptorSize = 20;
constexpr size_t kImportDirectoryIndex = 1;

// Little-endian reads that fail instead of reading past the image.
struct Image {
    const uint8_t* base;
    size_t size;
    bool Has(size_t offset, size_t length) const {
        return offset <= size && length <= size - offset;
    }
    bool U16(size_t offset, uint16_t* v) const {
        if (!Has(offset, 2)) return false;
        *v = uint16_t(base[offset] | base[offset + 1] << 8);
        return true;
    }
    bool U32(size_t offset, uint32_t* v) const {
        if (!Has(offset, 4)) return false;
        *v = uint32_t(base[offset]) | uint32_t(base[offset + 1]) << 8 |
             uint32_t(base[offset + 2]) << 16 | uint32_t(base[offset + 3]) << 24;
        return true;
    }
    bool U64(size_t offset, uint64_t* v) const {
        uint32_t low, high;
        if (!U32(offset, &low) || !U32(offset + 4, &high)) return false;
        *v = uint64_t(high) << 32 | low;
        return true;
    }
    bool Thunk(size_t offset, bool wide, uint64_t* v) const {
        uint32_t narrow;
        if (wide) return U64(offset, v);
        if (!U32(offset, &narrow)) return false;
        *v = narrow;
        return true;
    }
    // A zero-terminated name of at most kImportNameSize - 1 characters.
    bool Name(size_t offset, char (&out)[kImportNameSize]) const {
        for (size_t i = 0; i < kImportNameSize; ++i) {
            if (!Has(offset + i, 1)) return false;
            out[i] = char(base[offset + i]);
            if (out[i] == 0) return true;
        }
        return false;
    }
};

}  // namespace

ImportRead ReadImports(const uint8_t* base, size_t size, ImportSlot* out, size_t capacity,
                       size_t* count) {
    *count = 0;
    Image image{base, size};
    uint16_t dos_magic, optional_magic;
    uint32_t pe_offset, pe_magic;
    if (!image.U16(0, &dos_magic) || dos_magic != kDosMagic || !image.U32(0x3C, &pe_offset) ||
        !image.U32(pe_offset, &pe_magic) || pe_magic != kPeMagic) {
        return ImportRead::NotAnImage;
    }
    size_t optional = size_t(pe_offset) + 24;
    if (!image.U16(optional, &optional_magic)) return ImportRead::NotAnImage;
    bool wide = optional_magic == kPe32PlusMagic;
    if (!wide && optional_magic != kPe32Magic) return ImportRead::NotAnImage;
    size_t directories = optional + (wide ? 112 : 96);
    uint32_t directory_count, imports_rva, imports_size;
    if (!image.U32(optional + (wide ? 108 : 92), &directory_count)) return ImportRead::Damaged;
    if (directory_count <= kImportDirectoryIndex) return ImportRead::Ok;  // imports nothing
    if (!image.U32(directories + 8 * kImportDirectoryIndex, &imports_rva) ||
        !image.U32(directories + 8 * kImportDirectoryIndex + 4, &imports_size)) {
        return ImportRead::Damaged;
    }
    if (imports_rva == 0) return ImportRead::Ok;
    const size_t thunk_size = wide ? 8 : 4;
    const uint64_t ordinal_flag = wide ? 1ull << 63 : 1ull << 31;
    for (size_t d = imports_rva;; d += kImportDescriptorSize) {
        uint32_t lookup_rva, name_rva, slots_rva;
        if (!image.U32(d, &lookup_rva) || !image.U32(d + 12, &name_rva) ||
            !image.U32(d + 16, &slots_rva)) {
            return ImportRead::Damaged;
        }
        if (lookup_rva == 0 && name_rva == 0 && slots_rva == 0) return ImportRead::Ok;
        char dll[kImportNameSize];
        if (name_rva == 0 || !image.Name(name_rva, dll)) return ImportRead::Damaged;
        // Without a lookup table the slots still hold the names (an image not yet bound).
        size_t names = lookup_rva != 0 ? lookup_rva : slots_rva;
        for (size_t i = 0;; ++i) {
            uint64_t thunk = 0;
            if (!image.Thunk(names + i * thunk_size, wide, &thunk)) return ImportRead::Damaged;
            if (thunk == 0) break;
            if (!image.Has(slots_rva + i * thunk_size, thunk_size)) return ImportRead::Damaged;
            if (*count == capacity) return ImportRead::TooMany;
            ImportSlot& slot = out[(*count)++];
            slot = ImportSlot{};
            std::memcpy(slot.dll, dll, sizeof dll);
            slot.slot_rva = uint32_t(slots_rva + i * thunk_size);
            if (thunk & ordinal_flag) {
                slot.ordinal = uint16_t(thunk & 0xFFFF);
            } else if (thunk > UINT32_MAX || !image.Name(size_t(thunk) + 2, slot.name)) {
                return ImportRead::Damaged;  // hint (2 bytes), then the name
            }
        }
    }
}

bool IsWinsockModule(const char* dll) {
    char lower[kImportNameSize] = {};
    for (size_t i = 0; dll && dll[i] && i + 1 < sizeof lower; ++i) {
        lower[i] = char(std::tolower(static_cast<unsigned char>(dll[i])));
    }
    for (const char* known : {"wsock32", "ws2_32"}) {
        size_t n = std::strlen(known);
        if (std::strncmp(lower, known, n) == 0 &&
            (lower[n] == 0 || std::strcmp(lower + n, ".dll") == 0)) {
            return true;
        }
    }
    return false;
}

}  // namespace ozlan
