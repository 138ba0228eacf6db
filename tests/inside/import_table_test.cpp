// The import table reader on images built here byte by byte: PE32 and PE32+, by name and
// by ordinal, a module without a lookup table, and every kind of damage.
#include "inside/import_table.h"
#include "inside/game_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace ozlan {
namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    Put32(b, at, uint32_t(v));
    Put32(b, at + 4, uint32_t(v >> 32));
}
void PutText(std::vector<uint8_t>& b, size_t at, const char* text) {
    std::memcpy(b.data() + at, text, std::strlen(text) + 1);
}

// A mapped image that imports sendto by name and ordinal 23 from WSOCK32.dll, and
// recvfrom from KERNEL32.dll (a name the takeover leaves alone), its slots at 0x2C0 and
// 0x2E0; without a lookup table for the second module when `lookup_table` is false. Its
// last byte read is the end of "recvfrom", at 0x35A.
std::vector<uint8_t> Image(bool wide, bool lookup_table = true) {
    std::vector<uint8_t> b(0x400, 0);
    Put16(b, 0, 0x5A4D);
    Put32(b, 0x3C, 0x40);
    Put32(b, 0x40, 0x00004550);
    size_t optional = 0x58;
    Put16(b, optional, wide ? 0x20B : 0x10B);
    Put32(b, optional + (wide ? 108 : 92), 16);  // data directories
    size_t directories = optional + (wide ? 112 : 96);
    Put32(b, directories + 8, 0x200);  // imports
    Put32(b, directories + 12, 60);
    const size_t thunk = wide ? 8 : 4;
    const uint64_t by_ordinal = wide ? 1ull << 63 : 1ull << 31;
    auto put_thunk = [&](size_t at, uint64_t v) {
        wide ? Put64(b, at, v) : Put32(b, at, uint32_t(v));
    };
    // WSOCK32.dll: lookup table at 0x280, slots at 0x2C0.
    Put32(b, 0x200, 0x280);
    Put32(b, 0x20C, 0x300);
    Put32(b, 0x210, 0x2C0);
    for (size_t table : {size_t(0x280), size_t(0x2C0)}) {
        put_thunk(table, 0x320);
        put_thunk(table + thunk, by_ordinal | 23);
    }
    PutText(b, 0x300, "WSOCK32.dll");
    Put16(b, 0x320, 7);  // hint
    PutText(b, 0x322, "sendto");
    // KERNEL32.dll: the slots only (no lookup table) when so asked.
    Put32(b, 0x214, lookup_table ? 0x2A0 : 0);
    Put32(b, 0x220, 0x340);
    Put32(b, 0x224, 0x2E0);
    put_thunk(0x2A0, 0x350);
    put_thunk(0x2E0, 0x350);
    PutText(b, 0x340, "KERNEL32.dll");
    PutText(b, 0x352, "recvfrom");
    return b;
}

std::vector<ImportSlot> Read(const std::vector<uint8_t>& image, ImportRead expected,
                             size_t capacity = 16) {
    std::vector<ImportSlot> slots(capacity);
    size_t count = 99;
    EXPECT_EQ(int(expected),
              int(ReadImports(image.data(), image.size(), slots.data(), capacity, &count)));
    slots.resize(count);
    return slots;
}

TEST(ImportTable, NamesOrdinalsAndSlotsOfBothImageKinds) {
    for (bool wide : {false, true}) {
        for (bool lookup : {true, false}) {
            SCOPED_TRACE(std::string(wide ? "PE32+" : "PE32") + (lookup ? "" : ", no lookup"));
            std::vector<ImportSlot> slots = Read(Image(wide, lookup), ImportRead::Ok);
            ASSERT_EQ(3u, slots.size());
            EXPECT_STREQ("WSOCK32.dll", slots[0].dll);
            EXPECT_STREQ("sendto", slots[0].name);
            EXPECT_EQ(0x2C0u, slots[0].slot_rva);
            EXPECT_STREQ("", slots[1].name);
            EXPECT_EQ(23, slots[1].ordinal);
            EXPECT_EQ(wide ? 0x2C8u : 0x2C4u, slots[1].slot_rva);
            EXPECT_STREQ("KERNEL32.dll", slots[2].dll);
            EXPECT_STREQ("recvfrom", slots[2].name);
            EXPECT_EQ(0x2E0u, slots[2].slot_rva);
        }
    }
}

TEST(ImportTable, DamageIsRefusedAndNothingIsReadPastTheImage) {
    // Cut anywhere before its last byte read, an image is refused, never read past its
    // end (the sanitizers watch the reads); from there on it is whole.
    std::vector<uint8_t> whole = Image(true);
    const size_t needed = 0x35B;
    for (size_t size = 0; size <= needed; ++size) {
        std::vector<uint8_t> cut(whole.begin(), whole.begin() + long(size));
        std::vector<ImportSlot> slots(16);
        size_t count = 0;
        ImportRead r = ReadImports(cut.data(), cut.size(), slots.data(), slots.size(), &count);
        if (size < needed) {
            EXPECT_NE(int(ImportRead::Ok), int(r)) << size;
        } else {
            EXPECT_EQ(3u, count);
        }
    }
    std::vector<uint8_t> b = Image(false);
    b[0] = 'X';
    Read(b, ImportRead::NotAnImage);
    b = Image(false);
    Put16(b, 0x58, 0x107);  // neither PE32 nor PE32+
    Read(b, ImportRead::NotAnImage);
    b = Image(false);
    std::memset(b.data() + 0x300, 'A', 0x20);  // a module name without its end
    std::memset(b.data() + 0x320, 'A', 0x60);
    Read(b, ImportRead::Damaged);
    b = Image(false);
    Put32(b, 0x280, 0x7FFFFFF0);  // a name far outside
    Read(b, ImportRead::Damaged);
    Read(Image(false), ImportRead::TooMany, 2);
    // No imports at all.
    b = Image(false);
    Put32(b, 0x58 + 96 + 8, 0);
    EXPECT_TRUE(Read(b, ImportRead::Ok).empty());
}

TEST(ImportTable, WinsockModulesAreKnownInAnyCase) {
    for (const char* yes : {"WSOCK32.dll", "wsock32", "Ws2_32.DLL", "ws2_32"}) {
        EXPECT_TRUE(IsWinsockModule(yes)) << yes;
    }
    for (const char* no : {"wsock32x.dll", "ws2_32.dll.bak", "kernel32.dll", "", "ws2"}) {
        EXPECT_FALSE(IsWinsockModule(no)) << no;
    }
    EXPECT_FALSE(IsWinsockModule(nullptr));
}


// The image above as its program file: the headers, then one section whose bytes lie
// 0x200 further on in the file than in memory.
std::vector<uint8_t> ProgramFile(bool wide, const char* winsock = "WSOCK32.dll") {
    std::vector<uint8_t> image = Image(wide);
    std::memset(image.data() + 0x300, 0, 12);
    PutText(image, 0x300, winsock);
    const size_t pe = 0x40, optional = 0x58;
    Put16(image, pe + 6, 1);                    // sections
    Put16(image, pe + 20, wide ? 240 : 224);    // optional header size
    Put32(image, optional + 56, 0x1000);        // image size
    Put32(image, optional + 60, 0x200);         // headers size
    size_t section = optional + (wide ? 240 : 224);
    Put32(image, section + 8, 0x200);   // virtual size
    Put32(image, section + 12, 0x200);  // virtual address
    Put32(image, section + 16, 0x200);  // raw size
    Put32(image, section + 20, 0x400);  // raw offset
    std::vector<uint8_t> file(0x600, 0);
    std::memcpy(file.data(), image.data(), 0x200);
    std::memcpy(file.data() + 0x400, image.data() + 0x200, 0x200);
    return file;
}

TEST(GameFile, BitnessAndWinsockImportsOfAProgramFile) {
    for (bool wide : {false, true}) {
        for (const char* winsock : {"WSOCK32.dll", "WS2_32.dll"}) {
            SCOPED_TRACE(std::string(wide ? "PE32+ " : "PE32 ") + winsock);
            std::vector<uint8_t> file = ProgramFile(wide, winsock);
            GameFile game;
            ASSERT_EQ(int(GameFileRead::Ok), int(ReadGameFile(file.data(), file.size(), &game)));
            EXPECT_EQ(wide ? 64 : 32, game.bits);
            bool two = winsock[2] == '2';
            EXPECT_EQ(!two, game.imports_winsock1);
            EXPECT_EQ(two, game.imports_winsock2);
        }
    }
}

TEST(GameFile, ProgramsThatAreNoneOrDamagedAreSaidSo) {
    GameFile game;
    std::vector<uint8_t> file = ProgramFile(false);
    // Cut inside the section: the names the imports point at are gone.
    EXPECT_EQ(int(GameFileRead::Damaged), int(ReadGameFile(file.data(), 0x500, &game)));
    EXPECT_EQ(int(GameFileRead::NotAProgram), int(ReadGameFile(file.data(), 0x30, &game)));
    std::vector<uint8_t> text(0x600, 'x');
    EXPECT_EQ(int(GameFileRead::NotAProgram), int(ReadGameFile(text.data(), text.size(), &game)));
    Put32(file, 0x58 + 56, uint32_t(kMaxMappedGame + 1));
    EXPECT_EQ(int(GameFileRead::Damaged), int(ReadGameFile(file.data(), file.size(), &game)));
}

}  // namespace
}  // namespace ozlan
