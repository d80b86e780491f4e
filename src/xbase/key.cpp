#include "xbase/key.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "xbase/ascii.h"
#include "xbase/cdx.h"
#include "xbase/codepage.h"
#include "xbase/collation.h"
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

std::uint64_t entryHash(std::uint64_t seed, std::string_view key, std::uint32_t recno) {
    auto mix = [](std::uint64_t h) {
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
        return h;
    };
    // Each word folded in by a multiplication (a bijection of the state for a given word, so
    // keys that differ in one word differ in the state), the whole mixed once at the end.
    std::uint64_t h = seed ^ (static_cast<std::uint64_t>(recno) * 0x9E3779B97F4A7C15ULL);
    std::size_t i = 0;
    for (; i + 8 <= key.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, key.data() + i, 8);
        h = (h ^ w) * 0xbf58476d1ce4e5b9ULL;
        h ^= h >> 31;
    }
    std::uint64_t tail = key.size();
    for (; i < key.size(); ++i)
        tail = (tail << 8) | static_cast<unsigned char>(key[i]);
    return mix(h ^ tail);
}

void KeyBuilder::nullableKeyInto(const char* record, std::uint32_t recno, std::string& out) const {
    const Value& v = key_.evaluateRef(record, recno);
    if (v.type == ValueType::Null) {
        // Null: the leading byte and the value part all pad bytes.
        out.assign(1, kKeyNull);
        out.resize(length_, collation_ ? '\0' : trailByte(keyKind(key_.type())));
        return;
    }
    thread_local std::string value;
    if (collation_ && v.type == ValueType::Char)
        collation_->keyInto(v.str, length_ - 1, value);
    else
        encodeKeyInto(v, length_ - 1, value);
    out.assign(1, kKeyNotNull);
    out += value;
}

std::string_view KeyBuilder::charValue(const char* record, std::uint32_t recno) const {
    value_.clear();
    if (key_.appendChars(record, recno, value_)) return value_;
    return key_.evaluateRef(record, recno).str;
}

void KeyBuilder::collatedKeyInto(const char* record, std::uint32_t recno, std::size_t length,
                                 std::string& out) const {
    collation_->keyInto(charValue(record, recno), length, out);
}

std::string KeyBuilder::keyPrefix(const char* record, std::uint32_t recno,
                                  std::size_t valueBytes) const {
    std::string out;
    if (!collation_) {
        keyInto(record, recno, out);
        out.resize(std::min(out.size(), valueOffset() + valueBytes));
        return out;
    }
    std::string weights;
    collation_->prefixInto(charValue(record, recno).substr(0, valueBytes), length_ - valueOffset(),
                           weights);
    if (nullable_) out.assign(1, kKeyNotNull);
    return out + weights;
}

KeyBuilder::KeyBuilder(const Table& table, const TagInfo& tag)
    : length_(tag.keyLength), nullable_((tag.options & cdxfmt::option::kNullable) != 0) {
    if (nullable_ && length_ < 2)
        fail(code::kCorruptIndex, "tag " + tag.name + " over nullable values has the key length " +
                                      std::to_string(length_));
    lengthFollowsData_ = ascii::upper(tag.keyExpression).find("TRIM(") != std::string::npos;
    key_ = Expression::compile(tag.keyExpression, &table, TextMode::Raw);
    // A collation orders character keys only; other keys of such a tag stay the bytes.
    if (key_.type() == ValueType::Char)
        collation_ = Collation::find(tag.collation, table.codePage());
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
            // Under a collation two bytes of key a character: its primary and its tail.
            natural_ = v.str.size() * (collation_ ? 2 : 1);
            break;
        case ValueType::Logical:
            natural_ = 1;
            break;
        case ValueType::Null:
            natural_ = length_ - valueOffset();
            break;
        default:
            natural_ = length_ - valueOffset() == 4 ? 4 : 8;
            break;
    }
}

std::optional<std::string> keyFromText(const Table& table, const TagInfo& tag,
                                       std::string_view utf8) {
    // A tag over nullable values: a typed text stands for a value, never for null.
    const bool nullable = (tag.options & cdxfmt::option::kNullable) != 0 && tag.keyLength > 1;
    const std::string prefix = nullable ? std::string(1, kKeyNotNull) : std::string();
    const std::size_t length = tag.keyLength - prefix.size();
    switch (tag.keyKind) {
        case 'C': {
            auto bytes = CodePage::get(table.codePage()).fromUtf8(utf8);
            if (!bytes) return std::nullopt;
            if (const Collation* c = Collation::find(tag.collation, table.codePage())) {
                std::string weights;
                c->keyInto(*bytes, length, weights);
                return prefix + weights;
            }
            return prefix + encodeKey(Value::chars(*bytes), length);
        }
        case 'N':
            return prefix + encodeKey(Value::number(parseNumber(utf8)), length);
        case 'D': {
            std::int32_t jd = julianFromDtos(utf8);
            if (jd == 0) return std::nullopt;
            return prefix + encodeKey(Value::date(jd), length);
        }
        case 'L':
            if (utf8.empty()) return std::nullopt;
            return prefix + encodeKey(Value::logical(utf8[0] == 'T' || utf8[0] == 't' ||
                                                     utf8[0] == 'Y' || utf8[0] == 'y'),
                                      length);
        default:
            return std::nullopt;
    }
}

}  // namespace xbase
