#pragma once

// Assembles DBF, FPT and CDX file images byte by byte from the published formats, so that
// reading tests do not rest on the engine's own writer.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testfmt {

struct FieldSpec {
    std::string name;
    char type;
    int length;
    int decimals = 0;
    std::uint8_t flags = 0;
};

struct TableSpec {
    std::uint8_t version = 0x30;
    std::uint8_t codePageByte = 0xC9;
    std::uint8_t tableFlags = 0x01;
    std::vector<FieldSpec> fields;
    std::vector<std::vector<std::string>> records;  // raw bytes per field, padded with blanks
    std::vector<bool> deleted;                      // per record; missing means not deleted
    std::string driverName;  // dBase 7 (version 0x04 or 0x8C): the language driver's name
};

std::string buildDbf(const TableSpec& spec);

struct TagSpec {
    std::string name;
    std::string keyExpression;
    std::string forExpression;
    std::uint16_t keyLength = 0;
    bool unique = false;
    bool descending = false;
    char trail = ' ';
    std::vector<std::pair<std::string, std::uint32_t>> entries;  // in tree (ascending) order
    std::size_t maxPerLeaf = 1000;      // forces more leaves, and so more levels
    std::size_t maxPerInterior = 1000;  // forces more interior levels
    // Lets a key share bytes of the previous key's trailing pad, as some writers do; the
    // canonical counts stop where either key's pad begins.
    bool sharePad = false;
    std::uint8_t options = 0;        // more option bits: 0x02 nullable, 0x04 candidate
    std::uint8_t signature = 1;      // 5: a Visual FoxPro 9 binary index
    std::uint8_t attributeMark = 0;  // 0x04: every node marked as rewritten by Visual FoxPro
    // A collation name, where Visual FoxPro writes it (0x1EE); the entries' keys are then
    // the weights the test gives, with zero bytes as their trail.
    std::string collation = {};
};

struct CdxImage {
    std::string bytes;
    // Offsets of interest, for tests that damage the image.
    std::vector<std::uint32_t> tagHeaders;
    std::vector<std::vector<std::uint32_t>> leaves;  // per tag, in key order
    std::vector<std::uint32_t> roots;
};

CdxImage buildCdx(const std::vector<TagSpec>& tags);

// A memo file with the given block size and memos (returns the image and each memo's block).
std::pair<std::string, std::vector<std::uint32_t>> buildFpt(std::uint16_t blockSize,
                                                            const std::vector<std::string>& memos);

// A Visual FoxPro database container naming the given tables, each with the long names of its
// fields in order: the container's bytes and its memo file's (.dct).
struct Container {
    std::string dbc, dct;
};
Container buildContainer(
    const std::vector<std::pair<std::string, std::vector<std::string>>>& tables);
// Puts a container's name into a Visual FoxPro table's backlink (the last 263 header bytes).
void setBacklink(std::string& dbf, const std::string& container);

// Writes bytes to a file, replacing it.
void writeFile(const std::string& path, const std::string& bytes);

// Numeric and logical key encodings, as the published format gives them.
std::string numberKey(double v);

}  // namespace testfmt
