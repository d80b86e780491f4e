#include "xbase/key.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "xbase/cdx.h"
#include "xbase/codepage.h"
#include "xbase/dbf.h"
#include "xbase/error.h"

namespace xbase {

char keyKind(ValueType t) {
    switch (t) {
        case ValueType::Number:
            return 'N';
        case ValueType::Date:
            return 'D';
        case ValueType::Logical:
            return 'L';
        default:
            return 'C';
    }
}

namespace {

std::string encodeDouble(double d) {
    if (d == 0) d = 0;  // -0 sorts as 0
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    if (bits & (std::uint64_t{1} << 63))
        bits = ~bits;
    else
        bits |= std::uint64_t{1} << 63;
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i)
        out[static_cast<std::size_t>(i)] = static_cast<char>(bits >> (56 - 8 * i));
    return out;
}

}  // namespace

std::string encodeKey(const Value& v, std::size_t length) {
    std::string out;
    encodeKeyInto(v, length, out);
    return out;
}

void encodeKeyInto(const Value& v, std::size_t length, std::string& out) {
    switch (v.type) {
        case ValueType::Char:
        case ValueType::Null:
            out.assign(v.str, 0, std::min(v.str.size(), length));
            out.resize(length, ' ');
            return;
        case ValueType::Logical:
            out.assign(1, v.log ? 'T' : 'F');
            break;
        case ValueType::Number:
        case ValueType::Date:
            if (length == 4) {
                double t = std::trunc(v.num);
                if (t < -2147483648.0) t = -2147483648.0;
                if (t > 2147483647.0) t = 2147483647.0;
                auto u = static_cast<std::uint32_t>(static_cast<std::int64_t>(t) + 2147483648LL);
                out.resize(4);
                for (int i = 0; i < 4; ++i)
                    out[static_cast<std::size_t>(i)] = static_cast<char>(u >> (24 - 8 * i));
                return;
            }
            out = encodeDouble(v.num);
            break;
    }
    out.resize(length, '\0');
}

double decodeNumberKey(std::string_view key) {
    if (key.size() < 8) return 0;
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits = (bits << 8) | static_cast<unsigned char>(key[static_cast<std::size_t>(i)]);
    if (bits & (std::uint64_t{1} << 63))
        bits &= ~(std::uint64_t{1} << 63);
    else
        bits = ~bits;
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

KeyBuilder::KeyBuilder(const Table& table, const TagInfo& tag) : length_(tag.keyLength) {
    key_ = Expression::compile(tag.keyExpression, &table, TextMode::Raw);
    if (!tag.forExpression.empty()) {
        forExpr_ = Expression::compile(tag.forExpression, &table, TextMode::Raw);
        if (forExpr_.type() != ValueType::Logical && forExpr_.type() != ValueType::Null)
            fail(code::kExpression, "The FOR condition '" + tag.forExpression + "' of tag " +
                                        tag.name + " is not logical");
    }
    // The natural length: what the expression gives on a blank record.
    std::string blank(table.recordLength(), ' ');
    for (const Field& f : table.fields()) {
        if (f.type == 'I' || f.type == 'B' || f.type == 'Y' || f.type == 'T' || f.type == '0' ||
            ((f.type == 'M' || f.type == 'G' || f.type == 'W') && f.length == 4))
            std::memset(blank.data() + f.offset, 0, f.length);
    }
    Value v = key_.evaluate(blank.data(), 0);
    switch (v.type) {
        case ValueType::Char:
            natural_ = v.str.size();
            break;
        case ValueType::Logical:
            natural_ = 1;
            break;
        case ValueType::Null:
            natural_ = length_;
            break;
        default:
            natural_ = length_ == 4 ? 4 : 8;
            break;
    }
}

std::optional<std::string> keyFromText(const Table& table, const TagInfo& tag,
                                       std::string_view utf8) {
    switch (tag.keyKind) {
        case 'C': {
            auto bytes = CodePage::get(table.codePage()).fromUtf8(utf8);
            if (!bytes) return std::nullopt;
            return encodeKey(Value::chars(*bytes), tag.keyLength);
        }
        case 'N':
            return encodeKey(Value::number(parseNumber(utf8)), tag.keyLength);
        case 'D': {
            std::int32_t jd = julianFromDtos(utf8);
            if (jd == 0) return std::nullopt;
            return encodeKey(Value::date(jd), tag.keyLength);
        }
        case 'L':
            if (utf8.empty()) return std::nullopt;
            return encodeKey(Value::logical(utf8[0] == 'T' || utf8[0] == 't' || utf8[0] == 'Y' ||
                                            utf8[0] == 'y'),
                             tag.keyLength);
        default:
            return std::nullopt;
    }
}

}  // namespace xbase
