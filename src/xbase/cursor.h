#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "xbase/cdx.h"
#include "xbase/expr.h"
#include "xbase/key.h"

namespace xbase {

class Table;

// A position in one tag of a table's structural index: the order a user browses in.
// Records marked deleted are skipped while show-deleted is off; a scope limits the cursor to
// the keys between a start and an end prefix. A cursor lives no longer than the index it reads:
// reindex() and pack() replace the index, and cursors are made anew afterwards. After a write
// to the table a cursor is positioned again (first, seek, gotoRecord) before it moves on.
class TagCursor {
  public:
    // Errors: code::kTagNotFound when the table has no such tag.
    TagCursor(const Table& table, std::string_view tagName);

    const TagInfo& tag() const { return *tag_; }
    void setShowDeleted(bool show) { showDeleted_ = show; }

    // Limits the cursor to keys whose first bytes are >= top and <= bottom (raw key prefixes;
    // either may be absent). The position is not moved.
    void setScope(std::optional<std::string> top, std::optional<std::string> bottom);
    void clearScope() { setScope(std::nullopt, std::nullopt); }
    bool hasScope() const { return top_.has_value() || bottom_.has_value(); }
    // Limits the cursor further to the records `keep` accepts (by record number): where a
    // scope only narrows the entries to look at (keys that ignore letter case), the records
    // are told apart by their fields. Positions and counts (keyCount, keyPosition) still count
    // every entry of the scope.
    void setFilter(std::function<bool(std::uint32_t recno)> keep) { filter_ = std::move(keep); }

    // Each returns true when the cursor stands on a record afterwards.
    bool first();
    bool last();
    bool next();
    bool prior();
    // Exact seek: the first visible entry whose key begins with `key`; false (and at the end)
    // when there is none. Soft seek: the first visible entry whose key is >= `key`; true when
    // its key begins with `key`, and the cursor stays there either way.
    bool seek(std::string_view key, bool soft = false);
    // Stands on the entry of record `recno` (its current key); false when the tag holds none.
    // Where the engine cannot compute the tag's keys as they are stored, the entry is looked
    // for along the leaves instead.
    bool gotoRecord(std::uint32_t recno);

    bool eof() const { return state_ == (desc_ ? State::Bof : State::Eof); }
    bool bof() const { return state_ == (desc_ ? State::Eof : State::Bof); }
    bool onRecord() const { return state_ == State::On; }
    std::uint32_t recno() const;
    std::string_view key() const;

    // Index entries inside the scope, those of deleted records included.
    std::uint64_t keyCount() const;
    // The 0-based position of the current entry among them (exact).
    std::uint64_t keyPosition() const;
    // Moves to the entry at `position` (or the nearest visible one); false when none is.
    bool setKeyPosition(std::uint64_t position);
    double relativePosition() const;
    bool setRelativePosition(double fraction);

  private:
    enum class State { Bof, Eof, On };
    // The tree keeps every tag in ascending byte order (ties by record number); a descending
    // tag is the same tree walked backwards. The functions below work in tree order, with
    // `lo_`/`hi_` the scope bounds in that order.
    int compare(std::string_view entry, std::string_view key) const;  // over key's length
    bool aboveLo(std::string_view k) const;
    bool belowHi(std::string_view k) const;
    bool visible() const;
    void load(std::uint32_t offset);
    bool stepForward();
    bool stepBackward();
    bool settleForward();   // from the candidate entry on, the first usable one
    bool settleBackward();  // before the candidate entry, the last usable one
    bool treeFirst();
    bool treeLast();
    bool treeNext();
    bool treePrior();
    // Positions on the first entry whose key (compared over `key`'s length) is >= key
    // (strict: > key); recno, when given, breaks ties among equal full keys.
    void descend(std::string_view key, bool strict, std::optional<std::uint32_t> recno);
    std::uint64_t treePosition() const;
    std::uint64_t boundPosition(bool lower) const;  // tree positions of the scope
    bool setTreePosition(std::uint64_t position);
    bool walkToRecord(std::uint32_t recno);
    bool gotoComputed(std::uint32_t recno);
    // From past the end of a leaf on to the first entry of the next leaf that has one; false,
    // and at the end, when none has.
    bool atEntry();

    const Table* table_;
    const CdxFile* cdx_;
    const TagInfo* tag_;
    bool showDeleted_ = false;
    bool desc_ = false;
    std::optional<std::string> top_, bottom_;  // as given, in the tag's own order
    std::optional<std::string> lo_, hi_;       // the same in tree order
    std::shared_ptr<const Node> leaf_;
    std::size_t idx_ = 0;
    State state_ = State::Bof;  // in the tag's own order
    std::uint64_t steps_ = 0;   // leaves entered since the walk began or turned
    int direction_ = 0;
    mutable std::unique_ptr<KeyBuilder> keys_;
    std::function<bool(std::uint32_t)> filter_;
};

// A search in physical record order with a logical expression, from a given record on.
class PhysicalSearch {
  public:
    PhysicalSearch(const Table& table, Expression condition, bool showDeleted = false);
    // The first record from `from` (1-based) on whose condition holds, or 0.
    std::uint32_t find(std::uint32_t from) const;
    const Expression& condition() const { return condition_; }

  private:
    const Table* table_;
    Expression condition_;
    bool showDeleted_;
    // The block of records read last: from record first_, count_ of them, as the table was
    // at its change count changes_.
    mutable std::vector<char> buffer_;
    mutable std::uint32_t first_ = 0, count_ = 0;
    mutable std::uint64_t changes_ = 0;
};

}  // namespace xbase
