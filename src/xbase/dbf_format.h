#pragma once

// The table file (.dbf, and the database container .dbc, which is a table too) as it lies on
// disk, written down once: every offset and field the reader and the writers use, with each
// encoding beside its decoding.
//
// The file is a header, the records, and an end-of-file byte (0x1A). Numbers are
// little-endian.
//
// Header (32 bytes):
//     0  version: 0x03 dBase III/IV, 0x83 dBase III with memo, 0x8B 0x7B 0xCB 0x43 0x63
//        dBase IV, 0x04 0x8C dBase 7, 0xF5 0xFB FoxPro 2, 0x30 0x31 0x32 Visual FoxPro
//     1  date of the last update: year - 1900 (modulo 256), month, day (u8 each)
//     4  number of records                      (u32)
//     8  header length: where the first record starts (u16)
//    10  record length, the deleted flag included (u16)
//    28  table flags: 0x01 structural index, 0x02 memo, 0x04 database container
//    29  code-page mark
// dBase 7 puts the language driver's name (32 bytes) at 32 and its field descriptors at 68.
//
// Field descriptors follow the header, 32 bytes each (dBase 7: 48), ended by 0x0D:
//     0  name, NUL-padded (11 bytes; dBase 7: 32)
//    11  type letter (dBase 7: at 32)
//    12  the field's offset in the record (Visual FoxPro; u32)
//    16  length, decimals (u8, u8; dBase 7: at 33 and 34). Character fields of the dBase and
//        FoxPro 2 formats take both bytes as a 16-bit length.
//    18  Visual FoxPro field flags: 0x01 system, 0x02 nullable, 0x04 binary
// A Visual FoxPro table keeps 263 bytes after the terminator: the path of its database
// container ("backlink"), NULs when it is free.
//
// Records: the deleted flag ('*' deleted, ' ' not) and then the fields in their order.

#include <cstddef>
#include <cstdint>
#include <string>

namespace xbase::dbffmt {

namespace header {
inline constexpr std::size_t kVersion = 0;
inline constexpr std::size_t kDate = 1;  // year, month, day
inline constexpr std::size_t kRecordCount = 4;
inline constexpr std::size_t kHeaderLength = 8;
inline constexpr std::size_t kRecordLength = 10;
inline constexpr std::size_t kTableFlags = 28;
inline constexpr std::size_t kCodePage = 29;
inline constexpr std::size_t kSize = 32;
inline constexpr std::size_t kDriverName = 32;  // dBase 7
inline constexpr std::size_t kDriverNameSize = 32;
inline constexpr std::size_t kDescriptors7 = 68;  // dBase 7: where the descriptors start
}  // namespace header

namespace flag {
inline constexpr std::uint8_t kStructuralIndex = 0x01;
inline constexpr std::uint8_t kMemo = 0x02;
inline constexpr std::uint8_t kDatabase = 0x04;
}  // namespace flag

namespace field {
inline constexpr std::size_t kName = 0;
inline constexpr std::size_t kNameSize = 11;
inline constexpr std::size_t kType = 11;
inline constexpr std::size_t kOffset = 12;
inline constexpr std::size_t kLength = 16;
inline constexpr std::size_t kDecimals = 17;
inline constexpr std::size_t kFlags = 18;
inline constexpr std::size_t kSize = 32;
// dBase 7
inline constexpr std::size_t kNameSize7 = 32;
inline constexpr std::size_t kType7 = 32;
inline constexpr std::size_t kLength7 = 33;
inline constexpr std::size_t kDecimals7 = 34;
inline constexpr std::size_t kSize7 = 48;
}  // namespace field

namespace fieldflag {
inline constexpr std::uint8_t kSystem = 0x01;
inline constexpr std::uint8_t kNullable = 0x02;
inline constexpr std::uint8_t kBinary = 0x04;
}  // namespace fieldflag

inline constexpr unsigned char kDescriptorsEnd = 0x0D;
inline constexpr char kEndOfFile = '\x1A';
inline constexpr char kDeleted = '*';
inline constexpr char kKept = ' ';
inline constexpr std::size_t kBacklinkSize = 263;

// The fields of the 32-byte header, as they are stored.
struct Header {
    std::uint8_t version = 0;
    std::uint8_t year = 0, month = 0, day = 0;  // year - 1900, modulo 256
    std::uint32_t recordCount = 0;
    std::uint16_t headerLength = 0;
    std::uint16_t recordLength = 0;
    std::uint8_t tableFlags = 0;
    std::uint8_t codePage = 0;
};
Header decodeHeader(const unsigned char* h);
// Writes the fields into the 32 bytes at `h`; the reserved bytes are left as they are.
void encodeHeader(const Header& header, unsigned char* h);
// The stored date of a calendar day.
void encodeDate(int year, int month, int day, unsigned char* date3);

// One field descriptor, as it is stored.
struct FieldDescriptor {
    std::string name;  // without the NUL padding
    char type = 'C';
    std::uint32_t offset = 0;  // Visual FoxPro
    std::uint8_t length = 0, decimals = 0;
    std::uint8_t flags = 0;  // Visual FoxPro
};
// Decodes a descriptor of 32 bytes, or of 48 in a dBase 7 table (`level7`).
FieldDescriptor decodeField(const unsigned char* d, bool level7);
// Encodes a 32-byte descriptor; false when the name is empty or longer than 10 bytes.
bool encodeField(const FieldDescriptor& f, unsigned char* d);

}  // namespace xbase::dbffmt
