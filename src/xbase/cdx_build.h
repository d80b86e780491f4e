#pragma once

// The building side of compound indexes: whole files written from sorted entries, and the
// streamed tree writer that a pack and a reindex feed in key order.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "xbase/cdx.h"
#include "xbase/cdx_format.h"
#include "xbase/file.h"

namespace xbase {

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

class TagTreeWriter;
// Adds sorted entries to a tree, in their order.
void addEntries(TagTreeWriter& tree, const TagEntries& sorted);

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
    cdxfmt::LeafLayout layout_;
    char pad_;
    std::vector<unsigned char> chunk_;
    std::uint32_t chunkStart_ = 0;
    std::size_t chunkPages_ = 0, used_ = 0;     // the current chunk's size and pages in use
    std::optional<cdxfmt::LeafPacker> packer_;  // the open leaf
    std::size_t leafCount_ = 0;
    Child leaf_{kNoNode, {}, 0};       // the last leaf begun
    Child firstLeaf_{kNoNode, {}, 0};  // held back until a second leaf shows a parent is needed
    std::vector<Level> levels_;
    std::vector<std::pair<std::uint32_t, std::size_t>> taken_;  // every chunk: first page, size
    std::vector<std::uint32_t> takenPages_;
};

}  // namespace xbase
