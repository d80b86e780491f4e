#include "xbase/dbf_format.h"

#include <algorithm>
#include <cstring>

#include "xbase/bytes.h"

namespace xbase::dbffmt {

Header decodeHeader(const unsigned char* h) {
    Header r;
    r.version = h[header::kVersion];
    r.year = h[header::kDate];
    r.month = h[header::kDate + 1];
    r.day = h[header::kDate + 2];
    r.recordCount = le32(h + header::kRecordCount);
    r.headerLength = le16(h + header::kHeaderLength);
    r.recordLength = le16(h + header::kRecordLength);
    r.tableFlags = h[header::kTableFlags];
    r.codePage = h[header::kCodePage];
    return r;
}

void encodeHeader(const Header& r, unsigned char* h) {
    h[header::kVersion] = r.version;
    h[header::kDate] = r.year;
    h[header::kDate + 1] = r.month;
    h[header::kDate + 2] = r.day;
    putLe32(h + header::kRecordCount, r.recordCount);
    putLe16(h + header::kHeaderLength, r.headerLength);
    putLe16(h + header::kRecordLength, r.recordLength);
    h[header::kTableFlags] = r.tableFlags;
    h[header::kCodePage] = r.codePage;
}

void encodeDate(int year, int month, int day, unsigned char* date3) {
    date3[0] = static_cast<unsigned char>((year - 1900) % 256);
    date3[1] = static_cast<unsigned char>(month);
    date3[2] = static_cast<unsigned char>(day);
}

FieldDescriptor decodeField(const unsigned char* d, bool level7) {
    FieldDescriptor f;
    const std::size_t nameSize = level7 ? field::kNameSize7 : field::kNameSize;
    const auto* name = reinterpret_cast<const char*>(d + field::kName);
    f.name.assign(name, std::find(name, name + nameSize, '\0'));
    f.type = static_cast<char>(d[level7 ? field::kType7 : field::kType]);
    f.length = d[level7 ? field::kLength7 : field::kLength];
    f.decimals = d[level7 ? field::kDecimals7 : field::kDecimals];
    if (!level7) {
        f.offset = le32(d + field::kOffset);
        f.flags = d[field::kFlags];
    }
    return f;
}

bool encodeField(const FieldDescriptor& f, unsigned char* d) {
    if (f.name.empty() || f.name.size() >= field::kNameSize) return false;
    std::memset(d, 0, field::kSize);
    std::memcpy(d + field::kName, f.name.data(), f.name.size());
    d[field::kType] = static_cast<unsigned char>(f.type);
    putLe32(d + field::kOffset, f.offset);
    d[field::kLength] = f.length;
    d[field::kDecimals] = f.decimals;
    d[field::kFlags] = f.flags;
    return true;
}

}  // namespace xbase::dbffmt
