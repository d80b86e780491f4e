#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "xbase/file.h"

namespace xbase {

inline constexpr std::uint32_t kNodeSize = 512;
inline constexpr std::uint32_t kNoNode = 0xFFFFFFFFu;

// One tag of a compound index, as its header describes it.
struct TagInfo {
    std::string name;
    std::uint32_t headerOffset = 0;
    std::uint32_t root = 0;
    std::uint32_t freeList = 0;
    std::uint16_t keyLength = 0;
    std::uint8_t options = 0;  // 0x01 unique, 0x08 FOR, 0x20 compact, 0x40 compound
    bool unique = false;
    bool descending = false;
    std::string keyExpression;  // bytes of the table's code page
    std::string forExpression;  // empty without a FOR condition
    std::string collation = "MACHINE";
    // Set by the table from the key expression's type: 'C', 'N', 'D' or 'L'; 'C' when the
    // expression cannot be compiled (then expressionError says why).
    char keyKind = 'C';
    std::string expressionError;
};

// A decoded index node. Keys are stored whole, `keyLength` bytes each.
struct Node {
    std::uint32_t offset = 0;
    std::uint16_t attributes = 0;  // 1 root, 2 leaf
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

    bool leaf() const { return (attributes & 2) != 0; }
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

// The entries of one tag for a bulk build, in any order until sorted: key bytes row by row.
struct TagEntries {
    std::uint16_t keyLength = 0;
    std::vector<char> keys;             // keyLength bytes per entry
    std::vector<std::uint32_t> recnos;  // per entry
    std::vector<std::uint32_t> order;   // entry numbers in tree order, after sort()
    std::size_t size() const { return recnos.size(); }
    void add(std::string_view key, std::uint32_t recno);
    // Sorts into tree order (ascending bytes, then record number). With `unique`, keeps the
    // first record of each key.
    void sort(bool unique);
    std::string_view key(std::size_t i) const {
        return {keys.data() + static_cast<std::size_t>(order[i]) * keyLength, keyLength};
    }
    std::uint32_t recno(std::size_t i) const { return recnos[order[i]]; }
};

// Writes a complete compound index, made durable: each tag's header (from its TagInfo) and
// its entries as full leaves built bottom-up. `entries[i]` belongs to `tags[i]` and must be
// sorted.
void writeCompoundIndex(const std::string& path, const std::vector<TagInfo>& tags,
                        const std::vector<TagEntries>& entries);

// Writes a new compound index piece by piece: pages are handed out to tag builders that may
// work in parallel, and the tag headers, the directory and the free list are put in place at
// the end. Pages reserved but left unused go on the free list, so every page is accounted.
class IndexFileWriter {
  public:
    IndexFileWriter(const std::string& path, std::size_t tagCount);
    // The first of `pages` consecutive new pages (thread-safe).
    std::uint32_t reserve(std::uint32_t pages);
    void write(std::uint32_t offset, const void* data, std::size_t n);  // thread-safe
    // Reserved pages that will hold nothing; later reservations take them first (thread-safe).
    void release(std::uint32_t first, std::uint32_t pages);
    // Writes the header of tags[i] (its root and options set here) at its place, the
    // directory, the free list and the file header, and makes the file durable.
    void finish(std::vector<TagInfo> tags);
    const std::string& path() const { return file_.path(); }

  private:
    File file_;
    std::size_t tagCount_;
    std::mutex mutex_;
    std::uint64_t end_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> free_;  // runs: first page, pages
};

// Builds the tree of one tag from its entries given in tree order (ascending key bytes, then
// record number), writing the leaves as they fill: only the last entry of each leaf stays in
// memory, for the levels above.
class TagTreeWriter {
  public:
    TagTreeWriter(IndexFileWriter& out, const TagInfo& tag, std::uint32_t maxRecno);
    void add(std::string_view key, std::uint32_t recno);
    // Writes what is left and the interior levels; returns the root's offset.
    std::uint32_t finish();
    // Gives every page taken so far back (the tree is given up).
    void abandon();

  private:
    struct Child {
        std::uint32_t offset;
        std::string lastKey;
        std::uint32_t lastRecno;
    };
    // The open page of one interior level; a full one is written once the next is begun.
    struct Level {
        std::vector<unsigned char> page = std::vector<unsigned char>(kNodeSize, 0);
        std::uint32_t offset = kNoNode, previous = kNoNode;
        std::size_t count = 0, pages = 0;
        std::string lastKey;
        std::uint32_t lastRecno = 0;
    };
    unsigned char* page(std::size_t slot) { return chunk_.data() + slot * kNodeSize; }
    void startLeaf();
    void closeLeaf();
    void flushChunk();
    // Adds a finished node of the level below to interior level `level`.
    void addChild(std::size_t level, const Child& child);
    void beginInterior(std::size_t level);
    IndexFileWriter& out_;
    const TagInfo& tag_;
    unsigned recBits_, dupBits_, trailBits_, entryBytes_;
    char trail_;
    std::vector<unsigned char> chunk_;
    std::uint32_t chunkStart_ = 0;
    std::size_t chunkPages_ = 0, used_ = 0;  // the current chunk's size and pages in use
    bool open_ = false;
    std::size_t count_ = 0, keyPos_ = 0;
    std::string prev_;
    std::uint32_t prevRecno_ = 0;
    std::size_t leafCount_ = 0;
    Child leaf_{kNoNode, {}, 0};       // the last leaf begun
    Child firstLeaf_{kNoNode, {}, 0};  // held back until a second leaf shows a parent is needed
    std::vector<Level> levels_;
    std::vector<std::pair<std::uint32_t, std::size_t>> taken_;  // every chunk: first page, size
    std::vector<std::uint32_t> takenPages_;
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
    // The node without the cache (for the integrity check).
    Node readNode(const TagInfo& tag, std::uint32_t offset) const;
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

    [[noreturn]] void corrupt(const std::string& what) const;

  private:
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
