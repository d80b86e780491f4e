#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "xbase/cdx_format.h"
#include "xbase/file.h"

namespace xbase {

// The reading side of compound indexes (.cdx) and their single-entry writes; the layout is in
// cdx_format.h, the bulk builders in cdx_build.h.

inline constexpr std::uint32_t kNodeSize = cdxfmt::kPageSize;
inline constexpr std::uint32_t kNoNode = cdxfmt::kNone;

// One tag of a compound index, as its header describes it.
struct TagInfo {
    std::string name;
    std::uint32_t headerOffset = 0;
    std::uint32_t root = 0;
    std::uint32_t freeList = 0;
    std::uint16_t keyLength = 0;
    std::uint8_t options = 0;  // cdxfmt::option bits
    std::uint8_t signature = 1;
    bool unique = false;
    bool descending = false;
    std::string keyExpression;  // bytes of the table's code page
    std::string forExpression;  // empty without a FOR condition
    std::string collation = "MACHINE";
    // Set by the table from the key expression's type: 'C', 'N', 'D' or 'L'; 'C' when the
    // expression cannot be compiled (then expressionError says why).
    char keyKind = 'C';
    std::string expressionError;
    // The expression is sound but beyond this engine: a function it does not evaluate, or long
    // field names of a database container it cannot read.
    bool expressionUnsupported = false;

    bool candidate() const { return (options & cdxfmt::option::kCandidate) != 0; }
    bool nullable() const { return (options & cdxfmt::option::kNullable) != 0; }
    bool binary() const { return signature == cdxfmt::kBinarySignature; }
};

// The byte that pads a key of that tag at its end: a blank for character keys in the machine
// order, zero for all others (keys of another collation are its weights, padded with zeros).
inline char padOf(const TagInfo& tag) {
    return tag.collation != "MACHINE" ? '\0' : cdxfmt::padByte(tag.keyKind);
}

// A decoded index node. Keys are stored whole, `keyLength` bytes each.
struct Node {
    std::uint32_t offset = 0;
    std::uint16_t attributes = 0;  // cdxfmt::attr bits
    std::uint16_t count = 0;
    std::uint32_t left = kNoNode;
    std::uint32_t right = kNoNode;
    std::uint16_t keyLength = 0;
    char trail = ' ';
    std::uint16_t freeSpace = 0;  // leaves: the free space the node records
    std::uint16_t usedSpace = 0;  // leaves: the bytes the entries really take
    std::vector<char> keys;
    std::vector<std::uint32_t> recnos;
    std::vector<std::uint32_t> children;  // interior nodes only
    // Leaves read for the integrity check: each entry's stored duplicate and trail counts.
    std::vector<std::uint8_t> dups, trails;

    bool leaf() const { return (attributes & cdxfmt::attr::kLeaf) != 0; }
    bool root() const { return (attributes & cdxfmt::attr::kRoot) != 0; }
    std::string_view key(std::size_t i) const { return {keys.data() + i * keyLength, keyLength}; }
};

// Where each leaf of a tag starts in key order: the exact key positions of a tag without
// counting entries one by one.
struct LeafDirectory {
    std::vector<std::uint32_t> offsets;  // leaves in key order
    std::vector<std::uint64_t> starts;   // entries before each leaf
    std::unordered_map<std::uint32_t, std::size_t> ordinal;
    std::uint64_t total = 0;
};

// Tree order of two entries: key bytes, then record number.
int compareEntry(std::string_view a, std::uint32_t ra, std::string_view b, std::uint32_t rb);

// A compound index file (.cdx): its tag directory and node access. Every offset, count and bit
// width read from the file is checked before use; a bad file is code::kCorruptIndex naming it.
class CdxFile {
  public:
    static CdxFile open(const std::string& path, Access access, Share share);

    const std::string& path() const { return file_.path(); }
    std::uint64_t size() const { return size_; }
    const std::vector<TagInfo>& tags() const { return tags_; }
    std::vector<TagInfo>& tags() { return tags_; }
    // The tag of that name in any letter case, or nullptr.
    const TagInfo* tag(std::string_view name) const;

    // The node at `offset` of `tag`, checked and decoded.
    std::shared_ptr<const Node> node(const TagInfo& tag, std::uint32_t offset) const;
    // A window of the file read in one call, from which a pass that reads many nodes in
    // rising order (a walk of the leaves, a level of a tree written in order) takes them
    // without a read each. One per pass: it sees the file as it was when the window was read.
    class ReadAhead {
        friend class CdxFile;
        std::vector<unsigned char> bytes_;
        std::uint64_t start_ = 0;
    };
    // The node without the cache (for the integrity check).
    Node readNode(const TagInfo& tag, std::uint32_t offset) const {
        return readNode(tag, offset, false);
    }
    // The same with each leaf entry's stored counts kept (Node::dups, Node::trails), read
    // through `ahead` when given.
    Node readNodeWithCounts(const TagInfo& tag, std::uint32_t offset,
                            ReadAhead* ahead = nullptr) const {
        return readNode(tag, offset, true, ahead);
    }
    // The leaf that holds the first (or last) key of a tag.
    std::uint32_t edgeLeaf(const TagInfo& tag, bool last) const;
    // Visits the leaves of a tag from the first key to the last, each read once and not
    // cached (for bulk passes that run beside other threads). False when the tree is no proper
    // chain of leaves (too deep, a cycle, an interior node in the chain) or when `visit`
    // returns false; a damaged node is code::kCorruptIndex.
    bool walkLeaves(const TagInfo& tag, const std::function<bool(const Node&)>& visit) const;
    const LeafDirectory& leaves(const TagInfo& tag) const;
    // Forgets every cached node, so the next read sees the file as it is now.
    void refresh() const;

    // The directory tag (the tag of tags), for the integrity check.
    const TagInfo& directory() const { return directory_; }
    File& file() { return file_; }
    const File& file() const { return file_; }

    // Writing (the table is open exclusively). Each keeps the tree, the leaf links, the parent
    // keys, the free list and the tag header right; nodes are written children first, so a
    // crash between two writes leaves a tree that reads and that the check can judge.
    void insert(const TagInfo& tag, std::string_view key, std::uint32_t recno);
    // Removes the entry; false when the tag has no such entry (nothing is changed then).
    bool remove(const TagInfo& tag, std::string_view key, std::uint32_t recno);
    // Whether the tag holds `key` for a record other than `except`.
    bool containsOther(const TagInfo& tag, std::string_view key, std::uint32_t except) const;
    // Whether the tag holds the entry (key, recno).
    bool contains(const TagInfo& tag, std::string_view key, std::uint32_t recno) const;

    [[noreturn]] void corrupt(const std::string& what) const;

  private:
    Node readNode(const TagInfo& tag, std::uint32_t offset, bool keepCounts,
                  ReadAhead* ahead = nullptr) const;
    TagInfo readTagHeader(std::uint32_t offset, const std::string& name) const;
    TagInfo& mutableTag(const TagInfo& tag);
    struct PathStep {
        std::shared_ptr<const Node> node;
        std::size_t index;  // the child followed
    };
    // The path from the root to the leaf where (key, recno) belongs.
    std::vector<PathStep> pathTo(const TagInfo& tag, std::string_view key,
                                 std::uint32_t recno) const;
    void writeNode(const TagInfo& tag, const Node& n);
    std::uint32_t allocNode();
    void freeNode(std::uint32_t offset);
    void setRoot(const TagInfo& tag, std::uint32_t root);
    void setLeft(const TagInfo& tag, std::uint32_t node, std::uint32_t left);
    // Puts the new last key of child `path[level+1]` into its parent and further up.
    void fixParentKeys(const TagInfo& tag, std::vector<PathStep>& path, std::size_t level);
    // Splits an overfull node in two that fit: the left half keeps the node's page, the right
    // half gets a new one; both are written and the right neighbour linked back.
    std::pair<Node, Node> split(const TagInfo& tag, const Node& full);
    void insertIntoParent(const TagInfo& tag, std::vector<PathStep>& path, std::size_t level,
                          const Node& left, const Node& right);
    void removeFromParent(const TagInfo& tag, std::vector<PathStep>& path, std::size_t level);
    // Takes the emptied node path[level] out of the tree and puts its page on the free list.
    void dropNode(const TagInfo& tag, std::vector<PathStep>& path, std::size_t level,
                  const Node& empty);
    void changed();

    File file_;
    std::uint64_t size_ = 0;
    TagInfo directory_;
    std::vector<TagInfo> tags_;
    mutable std::unordered_map<std::uint32_t, std::shared_ptr<const Node>> cache_;
    mutable std::unordered_map<std::uint32_t, std::unique_ptr<LeafDirectory>> leafDirs_;
};

}  // namespace xbase
