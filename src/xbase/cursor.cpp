#include "xbase/cursor.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "xbase/dbf.h"
#include "xbase/error.h"

namespace xbase {

namespace {
constexpr int kMaxDepth = 64;
}

TagCursor::TagCursor(const Table& table, std::string_view tagName)
    : table_(&table), cdx_(table.index()), tag_(nullptr) {
    if (!cdx_)
        fail(code::kTagNotFound,
             table.path() + ": the table has no index, so no tag " + std::string(tagName));
    tag_ = cdx_->tag(tagName);
    if (!tag_) fail(code::kTagNotFound, table.path() + ": there is no tag " + std::string(tagName));
    desc_ = tag_->descending;
}

void TagCursor::setScope(std::optional<std::string> top, std::optional<std::string> bottom) {
    top_ = std::move(top);
    bottom_ = std::move(bottom);
    lo_ = desc_ ? bottom_ : top_;
    hi_ = desc_ ? top_ : bottom_;
}

int TagCursor::compare(std::string_view entry, std::string_view key) const {
    std::size_t n = std::min(entry.size(), key.size());
    int r = std::memcmp(entry.data(), key.data(), n);
    if (r == 0 && key.size() > entry.size()) r = -1;
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

bool TagCursor::aboveLo(std::string_view k) const {
    return !lo_ || compare(k, *lo_) >= 0;
}
bool TagCursor::belowHi(std::string_view k) const {
    return !hi_ || compare(k, *hi_) <= 0;
}

bool TagCursor::visible() const {
    std::uint32_t r = leaf_->recnos[idx_];
    if (r < 1 || r > table_->recordCount())
        cdx_->corrupt("tag " + tag_->name + " refers to record " + std::to_string(r) +
                      ", which the table does not have");
    return (showDeleted_ || !table_->isDeleted(r)) && (!filter_ || filter_(r));
}

void TagCursor::load(std::uint32_t offset) {
    if (++steps_ > cdx_->size() / kNodeSize + 1)
        cdx_->corrupt("tag " + tag_->name + ": the leaf links form a cycle");
    leaf_ = cdx_->node(*tag_, offset);
    if (!leaf_->leaf())
        cdx_->corrupt("tag " + tag_->name + ": a leaf links to the interior node " +
                      std::to_string(offset));
}

bool TagCursor::stepForward() {
    ++idx_;
    while (idx_ >= leaf_->count) {
        if (leaf_->right == kNoNode) return false;
        load(leaf_->right);
        idx_ = 0;
    }
    return true;
}

bool TagCursor::stepBackward() {
    if (idx_ > 0 && idx_ <= leaf_->count) {
        --idx_;
        return true;
    }
    while (true) {
        if (leaf_->left == kNoNode) return false;
        load(leaf_->left);
        if (leaf_->count > 0) {
            idx_ = leaf_->count - 1u;
            return true;
        }
    }
}

bool TagCursor::settleForward() {
    while (true) {
        while (idx_ >= leaf_->count) {
            if (leaf_->right == kNoNode) {
                state_ = State::Eof;
                return false;
            }
            load(leaf_->right);
            idx_ = 0;
        }
        if (!belowHi(leaf_->key(idx_))) {
            state_ = State::Eof;
            return false;
        }
        if (visible()) {
            state_ = State::On;
            return true;
        }
        ++idx_;
    }
}

bool TagCursor::settleBackward() {
    while (true) {
        if (!stepBackward()) {
            state_ = State::Bof;
            return false;
        }
        if (!aboveLo(leaf_->key(idx_))) {
            state_ = State::Bof;
            return false;
        }
        if (visible()) {
            state_ = State::On;
            return true;
        }
    }
}

void TagCursor::descend(std::string_view key, bool strict, std::optional<std::uint32_t> recno) {
    auto satisfies = [&](const Node& n, std::size_t i) {
        int c = compare(n.key(i), key);
        if (strict) return c > 0;
        return c > 0 || (c == 0 && (!recno || n.recnos[i] >= *recno));
    };
    std::uint32_t off = tag_->root;
    for (int depth = 0; depth < kMaxDepth; ++depth) {
        auto n = cdx_->node(*tag_, off);
        // Entries are in key order: binary search for the first that satisfies.
        std::size_t lo = 0, hi = n->count;
        while (lo < hi) {
            std::size_t mid = (lo + hi) / 2;
            if (satisfies(*n, mid))
                hi = mid;
            else
                lo = mid + 1;
        }
        if (n->leaf()) {
            leaf_ = n;
            idx_ = lo;
            return;
        }
        // An interior key is the last key of its child; past the last one, the wanted
        // position is after the end of the last child.
        off = n->children[std::min<std::size_t>(lo, n->count - 1u)];
    }
    cdx_->corrupt("tag " + tag_->name + ": the tree is deeper than " + std::to_string(kMaxDepth) +
                  " levels (a cycle of node links)");
}

bool TagCursor::treeFirst() {
    steps_ = 0;
    direction_ = 1;
    if (lo_) {
        descend(*lo_, false, std::nullopt);
    } else {
        load(cdx_->edgeLeaf(*tag_, false));
        idx_ = 0;
    }
    return settleForward();
}

bool TagCursor::treeLast() {
    steps_ = 0;
    direction_ = -1;
    if (hi_) {
        descend(*hi_, true, std::nullopt);
    } else {
        load(cdx_->edgeLeaf(*tag_, true));
        idx_ = leaf_->count;
    }
    return settleBackward();
}

bool TagCursor::treeNext() {
    if (state_ == State::Bof) return treeFirst();
    if (state_ == State::Eof) return false;
    // A walk in one direction meets each leaf once; more leaves than the file holds is a cycle.
    if (direction_ != 1) steps_ = 0;
    direction_ = 1;
    if (!stepForward()) {
        state_ = State::Eof;
        return false;
    }
    return settleForward();
}

bool TagCursor::treePrior() {
    if (state_ == State::Eof) return treeLast();
    if (state_ == State::Bof) return false;
    if (direction_ != -1) steps_ = 0;
    direction_ = -1;
    return settleBackward();
}

bool TagCursor::first() {
    return desc_ ? treeLast() : treeFirst();
}
bool TagCursor::last() {
    return desc_ ? treeFirst() : treeLast();
}
bool TagCursor::next() {
    return desc_ ? treePrior() : treeNext();
}
bool TagCursor::prior() {
    return desc_ ? treeNext() : treePrior();
}

bool TagCursor::seek(std::string_view key, bool soft) {
    steps_ = 0;
    direction_ = 0;
    if (!desc_) {
        descend(key, false, std::nullopt);
        if (settleForward() && !aboveLo(leaf_->key(idx_))) treeFirst();
    } else {
        // In descending order the first key not above `key` is the tree's last such key.
        descend(key, true, std::nullopt);
        if (settleBackward() && !belowHi(leaf_->key(idx_))) treeLast();
    }
    if (state_ != State::On) return false;
    bool found = compare(leaf_->key(idx_), key) == 0;
    if (!found && !soft) state_ = desc_ ? State::Bof : State::Eof;
    return found;
}

bool TagCursor::gotoRecord(std::uint32_t recno) {
    if (!keys_) {
        try {
            keys_ = std::make_unique<KeyBuilder>(*table_, *tag_);
        } catch (const Error& e) {
            if (e.code() != code::kUnsupported) throw;
            return walkToRecord(recno);  // a collation or function the engine lacks
        }
    }
    // A key computed under a collation finds the entry where the file holds the same key; a
    // miss is believed only once the tag's keys proved to be the engine's.
    if (!gotoComputed(recno)) {
        if (keys_->collation() && !table_->keysTrusted(*tag_)) return walkToRecord(recno);
        return false;
    }
    return true;
}

bool TagCursor::walkToRecord(std::uint32_t recno) {
    steps_ = 0;
    direction_ = 1;
    load(cdx_->edgeLeaf(*tag_, false));
    for (idx_ = 0; atEntry(); ++idx_) {
        if (leaf_->recnos[idx_] == recno) {
            state_ = State::On;
            return true;
        }
    }
    return false;
}

bool TagCursor::atEntry() {
    while (idx_ >= leaf_->count) {
        if (leaf_->right == kNoNode) {
            state_ = desc_ ? State::Bof : State::Eof;
            return false;
        }
        load(leaf_->right);
        idx_ = 0;
    }
    return true;
}

bool TagCursor::gotoComputed(std::uint32_t recno) {
    const char* rec = table_->record(recno);
    if (!keys_->included(rec, recno)) return false;
    std::string k = keys_->key(rec, recno);
    steps_ = 0;
    direction_ = 0;
    descend(k, false, recno);
    if (!atEntry()) return false;
    if (leaf_->recnos[idx_] != recno || compare(leaf_->key(idx_), k) != 0) {
        state_ = desc_ ? State::Bof : State::Eof;
        return false;
    }
    state_ = State::On;
    return true;
}

std::uint32_t TagCursor::recno() const {
    if (state_ != State::On) fail(code::kNoCurrentRecord, "No current record in tag " + tag_->name);
    return leaf_->recnos[idx_];
}

std::string_view TagCursor::key() const {
    if (state_ != State::On) fail(code::kNoCurrentRecord, "No current record in tag " + tag_->name);
    return leaf_->key(idx_);
}

std::uint64_t TagCursor::treePosition() const {
    const LeafDirectory& dir = cdx_->leaves(*tag_);
    auto it = dir.ordinal.find(leaf_->offset);
    if (it == dir.ordinal.end())
        cdx_->corrupt("tag " + tag_->name + ": node " + std::to_string(leaf_->offset) +
                      " is not on the leaf chain");
    return dir.starts[it->second] + std::min<std::size_t>(idx_, leaf_->count);
}

std::uint64_t TagCursor::boundPosition(bool lower) const {
    const std::optional<std::string>& bound = lower ? lo_ : hi_;
    if (!bound) return lower ? 0 : cdx_->leaves(*tag_).total;
    // A descent moves only the leaf and index, which are put back afterwards.
    auto* self = const_cast<TagCursor*>(this);
    auto savedLeaf = leaf_;
    std::size_t savedIdx = idx_;
    std::uint64_t savedSteps = steps_;
    self->descend(*bound, !lower, std::nullopt);
    std::uint64_t pos = treePosition();
    self->leaf_ = savedLeaf;
    self->idx_ = savedIdx;
    self->steps_ = savedSteps;
    return pos;
}

std::uint64_t TagCursor::keyCount() const {
    std::uint64_t b = boundPosition(true), e = boundPosition(false);
    return e > b ? e - b : 0;
}

std::uint64_t TagCursor::keyPosition() const {
    if (eof()) return keyCount();
    if (bof()) return 0;
    std::uint64_t b = boundPosition(true), p = treePosition();
    std::uint64_t inScope = p > b ? p - b : 0;
    if (!desc_) return inScope;
    std::uint64_t n = keyCount();
    return n > inScope ? n - 1 - inScope : 0;
}

bool TagCursor::setTreePosition(std::uint64_t abs) {
    const LeafDirectory& dir = cdx_->leaves(*tag_);
    auto it = std::upper_bound(dir.starts.begin(), dir.starts.end(), abs);
    std::size_t ord = static_cast<std::size_t>(it - dir.starts.begin()) - 1;
    steps_ = 0;
    direction_ = 0;
    load(dir.offsets[ord]);
    idx_ = static_cast<std::size_t>(abs - dir.starts[ord]);
    if (settleForward()) return true;
    return treeLast();
}

bool TagCursor::setKeyPosition(std::uint64_t position) {
    std::uint64_t n = keyCount();
    if (position >= n) return last();
    std::uint64_t inScope = desc_ ? n - 1 - position : position;
    return setTreePosition(boundPosition(true) + inScope);
}

double TagCursor::relativePosition() const {
    std::uint64_t n = keyCount();
    if (n == 0) return 0;
    return static_cast<double>(keyPosition()) / static_cast<double>(n);
}

bool TagCursor::setRelativePosition(double fraction) {
    std::uint64_t n = keyCount();
    if (n == 0) {
        state_ = State::Eof;
        return false;
    }
    if (fraction <= 0) return first();
    if (fraction >= 1) return last();
    auto pos = static_cast<std::uint64_t>(fraction * static_cast<double>(n));
    return setKeyPosition(std::min(pos, n - 1));
}

PhysicalSearch::PhysicalSearch(const Table& table, Expression condition, bool showDeleted)
    : table_(&table), condition_(std::move(condition)), showDeleted_(showDeleted) {
    if (condition_.type() != ValueType::Logical)
        fail(code::kExpression, "Error in expression '" + condition_.text() + "': the result is " +
                                    typeName(condition_.type()) + ", not logical");
}

std::uint32_t PhysicalSearch::find(std::uint32_t from) const {
    // The records are read a large block at a time; a search that goes on from a match finds
    // the rest of its block still here, unless the table was written since.
    const std::uint32_t len = table_->recordLength();
    const std::uint32_t chunk = table_->recordsPerRead();
    for (from = std::max<std::uint32_t>(from, 1); from <= table_->recordCount();) {
        if (changes_ != table_->changes() || from < first_ || from >= first_ + count_) {
            const std::uint32_t n = std::min(chunk, table_->recordCount() - from + 1);
            buffer_.resize(static_cast<std::size_t>(chunk) * len);
            table_->readRecords(from, n, buffer_.data());
            first_ = from;
            count_ = n;
            changes_ = table_->changes();
        }
        for (; from < first_ + count_; ++from) {
            const char* rec = buffer_.data() + static_cast<std::size_t>(from - first_) * len;
            if ((showDeleted_ || rec[0] != '*') && condition_.test(rec, from)) return from;
        }
    }
    return 0;
}

}  // namespace xbase
