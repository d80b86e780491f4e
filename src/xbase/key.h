#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "xbase/expr.h"

namespace xbase {

class Collation;
class Table;
struct TagInfo;

// The kind of an index key, from the type of its expression: 'C' character, 'N' numeric,
// 'D' date, 'L' logical.
char keyKind(ValueType t);

// The byte that trailing compression drops from a key of that kind: blanks for character keys,
// zero bytes for the others.
inline char trailByte(char kind) {
    return kind == 'C' ? ' ' : '\0';
}

// Encodes a value as index key bytes of exactly `length` bytes, as FoxPro orders them with
// memcmp: character keys padded with blanks (or cut), numbers and dates as 8-byte doubles with
// the sign bit flipped (all bits for negatives) or, in a 4-byte key, a 32-bit integer with the
// sign bit flipped, logicals as 'T' or 'F'.
std::string encodeKey(const Value& v, std::size_t length);
// The same into `out`, reusing its storage.
void encodeKeyInto(const Value& v, std::size_t length, std::string& out);
double decodeNumberKey(std::string_view key);

// The evaluated key expression and FOR condition of one tag over one table, and the weights of
// the tag's collation for a character key built under one (collation.h).
// A builder keeps the intermediate values of its expressions in itself: one thread uses it at
// a time, and threads that key the same tag at once each need their own.
class KeyBuilder {
  public:
    // Errors: code::kExpression for an expression that does not compile, code::kUnsupported
    // for a collation the engine lacks (or lacks for the table's code page).
    KeyBuilder(const Table& table, const TagInfo& tag);
    const Expression& keyExpression() const { return key_; }
    bool hasFor() const { return forExpr_.valid(); }
    // The key of a record (raw bytes, deleted flag at byte 0).
    std::string key(const char* record, std::uint32_t recno) const {
        std::string out;
        keyInto(record, recno, out);
        return out;
    }
    // The same into `out`, reusing its storage (for bulk builds).
    void keyInto(const char* record, std::uint32_t recno, std::string& out) const {
        if (nullable_) {
            nullableKeyInto(record, recno, out);
            return;
        }
        if (key_.type() == ValueType::Char) {
            if (collation_) {
                collatedKeyInto(record, recno, length_, out);
                return;
            }
            out.clear();
            if (key_.appendChars(record, recno, out)) {
                out.resize(length_, ' ');
                return;
            }
        }
        encodeKeyInto(key_.evaluateRef(record, recno), length_, out);
    }
    // The bytes that the key of every record whose key value begins with the first
    // `valueBytes` bytes of this record's value begins with: the key's first bytes in the
    // machine order, the primary weights of those characters under a collation (which ignores
    // letter case, so records of other values share them too and are told apart by their
    // fields).
    std::string keyPrefix(const char* record, std::uint32_t recno, std::size_t valueBytes) const;
    // The collation of a character key, or nullptr for the machine order.
    const Collation* collation() const { return collation_; }
    // Whether the record belongs in the tag (its FOR condition holds).
    bool included(const char* record, std::uint32_t recno) const {
        return !forExpr_.valid() || forExpr_.test(record, recno);
    }
    // The length of the key on a blank record: what the key expression gives, with the
    // leading byte of a tag over nullable values.
    std::size_t naturalLength() const { return natural_ + valueOffset(); }
    // Where the expression's value starts in a key: after the leading byte of a tag over
    // nullable values (option 0x02), which is 0x80 for a value and 0x00 for null.
    std::size_t valueOffset() const { return nullable_ ? 1 : 0; }
    // Whether the key's length follows the data (TRIM() and its kin), so that a blank record
    // says nothing of it.
    bool lengthFollowsData() const { return lengthFollowsData_; }

  private:
    void nullableKeyInto(const char* record, std::uint32_t recno, std::string& out) const;
    void collatedKeyInto(const char* record, std::uint32_t recno, std::size_t length,
                         std::string& out) const;
    // The character value of the key expression, valid until the builder's next use.
    std::string_view charValue(const char* record, std::uint32_t recno) const;

    Expression key_;
    Expression forExpr_;
    std::size_t length_;
    std::size_t natural_ = 0;
    bool nullable_ = false;
    bool lengthFollowsData_ = false;
    const Collation* collation_ = nullptr;
    mutable std::string value_;  // the character value a collated key is made of
};

// A keyed 64-bit hash of an index entry. The sum of the hashes of a tag's entries stands for
// the set of them: a pack takes the old index over, a reindex the old tree, and a table trusts
// a collated tag's stored keys, only when they equal the hashes of the keys computed from the
// records.
std::uint64_t entryHash(std::uint64_t seed, std::string_view key, std::uint32_t recno);

// The leading byte of a key of a tag over nullable values.
inline constexpr char kKeyNotNull = '\x80';
inline constexpr char kKeyNull = '\0';

// The key that a text typed by a user stands for in a tag: UTF-8 text converted to the tag's
// code page and padded (character tags; under a collation, the weights of that text), a number
// (numeric), a date as YYYYMMDD or in the date format (date), T/F (logical). nullopt when the
// text cannot be such a key; a collation the engine lacks is code::kUnsupported.
std::optional<std::string> keyFromText(const Table& table, const TagInfo& tag,
                                       std::string_view utf8);

}  // namespace xbase
