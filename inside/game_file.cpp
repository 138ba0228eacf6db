#include "inside/game_file.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "inside/import_table.h"

namespace ozlan {
namespace {

constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kMaxSlots = 16384;

bool U16(const uint8_t* p, size_t size, size_t offset, uint16_t* v) {
    if (offset > size || size - offset < 2) return false;
    *v = uint16_t(p[offset] | p[offset + 1] << 8);
    return true;
}

bool U32(const uint8_t* p, size_t size, size_t offset, uint32_t* v) {
    if (offset > size || size - offset < 4) return false;
    *v = uint32_t(p[offset]) | uint32_t(p[offset + 1]) << 8 | uint32_t(p[offset + 2]) << 16 |
         uint32_t(p[offset + 3]) << 24;
    return true;
}

// Copies `length` bytes of the file at `from` to the image at `to`, as far as both hold.
void Place(std::vector<uint8_t>& image, size_t to, const uint8_t* file, size_t size, size_t from,
           size_t length) {
    if (from >= size || to >= image.size()) return;
    length = std::min({length, size - from, image.size() - to});
    std::memcpy(image.data() + to, file + from, length);
}

}  // namespace

GameFileRead ReadGameFile(const uint8_t* file, size_t size, GameFile* out) {
    *out = GameFile{};
    uint16_t dos_magic = 0, magic = 0, section_count = 0, optional_size = 0;
    uint32_t pe = 0, signature = 0, image_size = 0, headers_size = 0;
    if (!U16(file, size, 0, &dos_magic) || dos_magic != 0x5A4D || !U32(file, size, 0x3C, &pe) ||
        !U32(file, size, pe, &signature) || signature != 0x00004550) {
        return GameFileRead::NotAProgram;
    }
    size_t optional = size_t(pe) + 24;
    if (!U16(file, size, optional, &magic) || (magic != 0x10B && magic != 0x20B)) {
        return GameFileRead::NotAProgram;
    }
    out->bits = magic == 0x20B ? 64 : 32;
    if (!U16(file, size, size_t(pe) + 6, &section_count) ||
        !U16(file, size, size_t(pe) + 20, &optional_size) ||
        !U32(file, size, optional + 56, &image_size) ||
        !U32(file, size, optional + 60, &headers_size) || image_size > kMaxMappedGame) {
        return GameFileRead::Damaged;
    }
    std::vector<uint8_t> image(image_size, 0);
    Place(image, 0, file, size, 0, headers_size);
    size_t sections = optional + optional_size;
    for (size_t i = 0; i < section_count; ++i) {
        uint32_t virtual_size, virtual_address, raw_size, raw_offset;
        size_t header = sections + i * kSectionHeaderSize;
        if (!U32(file, size, header + 8, &virtual_size) ||
            !U32(file, size, header + 12, &virtual_address) ||
            !U32(file, size, header + 16, &raw_size) || !U32(file, size, header + 20, &raw_offset)) {
            return GameFileRead::Damaged;
        }
        size_t length = virtual_size != 0 ? std::min(virtual_size, raw_size) : raw_size;
        // A file cut short: the loader would refuse it too.
        if (length > 0 && (raw_offset > size || size - raw_offset < length)) {
            return GameFileRead::Damaged;
        }
        Place(image, virtual_address, file, size, raw_offset, length);
    }
    static thread_local ImportSlot slots[kMaxSlots];
    size_t count = 0;
    ImportRead read = ReadImports(image.data(), image.size(), slots, kMaxSlots, &count);
    if (read == ImportRead::NotAnImage || read == ImportRead::Damaged) return GameFileRead::Damaged;
    for (size_t i = 0; i < count; ++i) {
        if (!IsWinsockModule(slots[i].dll)) continue;
        // "ws2_32" against "wsock32": the third letter tells them apart.
        (slots[i].dll[2] == '2' ? out->imports_winsock2 : out->imports_winsock1) = true;
    }
    return GameFileRead::Ok;
}

}  // namespace ozlan
