#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "format_builder.h"
#include "temp_dir.h"
#include "xbase/ascii.h"
#include "xbase/cdx.h"
#include "xbase/check.h"
#include "xbase/cursor.h"
#include "xbase/dbf.h"
#include "xbase/error.h"

using namespace xbase;

namespace {

struct Rec {
    std::string grup, nnum;
    double cena;
    bool deleted = false;
};

std::string pad(std::string s, std::size_t n) {
    s.resize(n, ' ');
    return s;
}

// A table of materials with tags MLABEL (GRUP+NNUM), CENA (numeric) and DESC (NNUM,
// descending), written from the published formats.
class CdxTest : public ::testing::Test {
  protected:
    void build(const std::vector<Rec>& recs, std::size_t perLeaf = 1000,
               std::size_t perInterior = 1000, bool sharePad = false) {
        recs_ = recs;
        testfmt::TableSpec s;
        s.fields = {{"GRUP", 'C', 5}, {"NNUM", 'C', 13}, {"CENA", 'N', 10, 2}};
        for (const Rec& r : recs) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%10.2f", r.cena);
            s.records.push_back({r.grup, r.nnum, buf});
            s.deleted.push_back(r.deleted);
        }
        std::vector<std::pair<std::string, std::uint32_t>> byGrup, byCena, byNnum;
        for (std::size_t i = 0; i < recs.size(); ++i) {
            auto recno = static_cast<std::uint32_t>(i + 1);
            byGrup.emplace_back(pad(recs[i].grup, 5) + pad(recs[i].nnum, 13), recno);
            byCena.emplace_back(testfmt::numberKey(recs[i].cena), recno);
            byNnum.emplace_back(pad(recs[i].nnum, 13), recno);
        }
        for (auto* v : {&byGrup, &byCena, &byNnum})
            std::sort(v->begin(), v->end());
        testfmt::TagSpec mlabel{"MLABEL", "GRUP+NNUM", "",      18,          false,   false,
                                ' ',      byGrup,      perLeaf, perInterior, sharePad};
        testfmt::TagSpec cena{"CENA", "CENA", "",     8,       false,
                              false,  '\0',   byCena, perLeaf, perInterior};
        testfmt::TagSpec desc{"DESC", "NNUM", "",     13,      false,
                              true,   ' ',    byNnum, perLeaf, perInterior};
        image_ = testfmt::buildCdx({mlabel, cena, desc});
        expected_ = {byGrup, byCena, byNnum};
        write();
    }
    void write() {
        testfmt::TableSpec s;
        testfmt::writeFile(dir_.file("MLABEL.DBF"), dbfBytes());
        testfmt::writeFile(dir_.file("MLABEL.CDX"), image_.bytes);
        table_ = Table::open(dir_.file("MLABEL.DBF"));
    }
    std::string dbfBytes() {
        testfmt::TableSpec s;
        s.fields = {{"GRUP", 'C', 5}, {"NNUM", 'C', 13}, {"CENA", 'N', 10, 2}};
        for (const Rec& r : recs_) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%10.2f", r.cena);
            s.records.push_back({r.grup, r.nnum, buf});
            s.deleted.push_back(r.deleted);
        }
        return testfmt::buildDbf(s);
    }
    std::vector<std::uint32_t> walk(TagCursor& c, bool backwards = false) {
        std::vector<std::uint32_t> out;
        for (bool on = backwards ? c.last() : c.first(); on; on = backwards ? c.prior() : c.next())
            out.push_back(c.recno());
        return out;
    }
    void damage(std::uint32_t offset, const std::string& bytes) {
        table_.reset();
        std::memcpy(image_.bytes.data() + offset, bytes.data(), bytes.size());
        testfmt::writeFile(dir_.file("MLABEL.CDX"), image_.bytes);
        table_ = Table::open(dir_.file("MLABEL.DBF"));
    }

    TempDir dir_;
    std::vector<Rec> recs_;
    testfmt::CdxImage image_;
    std::vector<std::vector<std::pair<std::string, std::uint32_t>>> expected_;
    std::unique_ptr<Table> table_;
};

std::vector<Rec> manyRecords(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<Rec> out;
    const char* groups[] = {"  1", "  2", " 10", "101", "\xC0\xC1"};
    for (std::size_t i = 0; i < n; ++i) {
        Rec r;
        r.grup = groups[rng() % 5];
        // Shared prefixes and many equal item numbers exercise both compressions.
        r.nnum = "N" + std::to_string(rng() % (n / 3 + 1)) + (rng() % 4 == 0 ? "-X" : "");
        r.cena = static_cast<double>(static_cast<int>(rng() % 200000) - 100000) / 100.0;
        r.deleted = rng() % 10 == 0;
        out.push_back(r);
    }
    return out;
}

}  // namespace

TEST_F(CdxTest, OneLeafWithCompression) {
    build({{"  1", "A", 5},
           {"  1", "AB", 1.5},
           {"  1", "AB", -2},
           {"  2", "", 0},
           {"  1", "ABC", 1e6}});
    const TagInfo* t = table_->index()->tag("mlabel");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->keyLength, 18);
    EXPECT_EQ(t->keyKind, 'C');
    EXPECT_EQ(table_->index()->tag("CENA")->keyKind, 'N');
    EXPECT_EQ(image_.leaves[0].size(), 1u);

    TagCursor c(*table_, "MLABEL");
    EXPECT_EQ(walk(c), (std::vector<std::uint32_t>{1, 2, 3, 5, 4}));  // equal keys by record
    EXPECT_EQ(walk(c, true), (std::vector<std::uint32_t>{4, 5, 3, 2, 1}));
    ASSERT_TRUE(c.first());
    EXPECT_EQ(c.key(), "  1  A            ");

    TagCursor n(*table_, "CENA");
    EXPECT_EQ(walk(n), (std::vector<std::uint32_t>{3, 4, 2, 1, 5}));  // -2, 0, 1.5, 5, 1e6

    EXPECT_TRUE(checkTable(*table_).strict());
}

TEST_F(CdxTest, SeeksExactSoftAndByPrefix) {
    build({{"  1", "A", 1}, {"  1", "B", 2}, {"  3", "A", 3}, {"  3", "C", 4}});
    TagCursor c(*table_, "MLABEL");
    EXPECT_TRUE(c.seek(pad("  3", 5) + pad("A", 13)));
    EXPECT_EQ(c.recno(), 3u);
    EXPECT_TRUE(c.seek("  3"));  // a key prefix
    EXPECT_EQ(c.recno(), 3u);
    EXPECT_FALSE(c.seek("  2"));
    EXPECT_TRUE(c.eof());
    EXPECT_FALSE(c.seek("  2", true));  // soft: on the next key, not found
    EXPECT_TRUE(c.onRecord());
    EXPECT_EQ(c.recno(), 3u);
    EXPECT_FALSE(c.seek("  9", true));
    EXPECT_TRUE(c.eof());

    TagCursor n(*table_, "CENA");
    EXPECT_TRUE(n.seek(testfmt::numberKey(2)));
    EXPECT_EQ(n.recno(), 2u);
}

TEST_F(CdxTest, ScopeLimitsNavigationCountsAndPositions) {
    build({{"  1", "A", 1}, {"  2", "A", 2}, {"  2", "B", 3}, {"  2", "C", 4}, {"  3", "A", 5}});
    TagCursor c(*table_, "MLABEL");
    c.setScope(std::string("  2  "), std::string("  2  "));
    EXPECT_EQ(walk(c), (std::vector<std::uint32_t>{2, 3, 4}));
    EXPECT_EQ(walk(c, true), (std::vector<std::uint32_t>{4, 3, 2}));
    EXPECT_EQ(c.keyCount(), 3u);
    ASSERT_TRUE(c.first());
    EXPECT_EQ(c.keyPosition(), 0u);
    ASSERT_TRUE(c.next());
    EXPECT_EQ(c.keyPosition(), 1u);
    ASSERT_TRUE(c.setKeyPosition(2));
    EXPECT_EQ(c.recno(), 4u);
    EXPECT_FALSE(c.seek("  3"));  // outside the scope
    c.setScope(std::string("  7"), std::string("  7"));
    EXPECT_FALSE(c.first());
    EXPECT_EQ(c.keyCount(), 0u);
    EXPECT_EQ(c.keyPosition(), 0u);
    c.clearScope();
    EXPECT_EQ(c.keyCount(), 5u);
}

// Several levels: every walk, seek and position agrees with the sorted entries.
TEST_F(CdxTest, ManyLevelsAgreeWithSortedEntries) {
    auto recs = manyRecords(700, 7);
    build(recs, 9, 3);
    EXPECT_GT(image_.leaves[0].size(), 50u);
    for (std::size_t t = 0; t < 3; ++t) {
        const char* name = t == 0 ? "MLABEL" : t == 1 ? "CENA" : "DESC";
        auto sorted = expected_[t];
        if (t == 2) std::reverse(sorted.begin(), sorted.end());  // descending tag
        std::vector<std::uint32_t> all, visible;
        for (auto& [k, r] : sorted) {
            all.push_back(r);
            if (!recs[r - 1].deleted) visible.push_back(r);
        }
        TagCursor c(*table_, name);
        EXPECT_EQ(walk(c), visible) << name;
        auto back = visible;
        std::reverse(back.begin(), back.end());
        EXPECT_EQ(walk(c, true), back) << name;
        c.setShowDeleted(true);
        EXPECT_EQ(walk(c), all) << name;
        EXPECT_EQ(c.keyCount(), all.size());
        for (std::uint64_t p = 0; p < all.size(); p += 37) {
            ASSERT_TRUE(c.setKeyPosition(p));
            EXPECT_EQ(c.recno(), all[p]) << name << " position " << p;
            EXPECT_EQ(c.keyPosition(), p);
        }
        for (std::size_t i = 0; i < all.size(); i += 23) {
            ASSERT_TRUE(c.gotoRecord(all[i])) << name;
            EXPECT_EQ(c.keyPosition(), i) << name;
        }
    }
    TagCursor c(*table_, "MLABEL");
    c.setShowDeleted(true);
    for (std::size_t i = 0; i < expected_[0].size(); i += 11) {
        const auto& [key, recno] = expected_[0][i];
        ASSERT_TRUE(c.seek(key)) << ascii::hex(key);
        // The first entry with that key.
        auto first = std::find_if(expected_[0].begin(), expected_[0].end(),
                                  [&](const auto& e) { return e.first == key; });
        EXPECT_EQ(c.recno(), first->second);
    }
    EXPECT_TRUE(checkTable(*table_).strict());
}

TEST_F(CdxTest, DescendingTagSeeksInItsOwnOrder) {
    build({{"  1", "A", 1}, {"  1", "B", 2}, {"  1", "B", 3}, {"  1", "D", 4}});
    TagCursor c(*table_, "DESC");
    EXPECT_EQ(walk(c), (std::vector<std::uint32_t>{4, 3, 2, 1}));
    EXPECT_TRUE(c.seek("B"));
    EXPECT_EQ(c.recno(), 3u);  // the first "B" in descending order
    EXPECT_FALSE(c.seek("C", true));
    EXPECT_EQ(c.recno(), 3u);  // soft: the next key below
    ASSERT_TRUE(c.first());
    EXPECT_EQ(c.keyPosition(), 0u);
    ASSERT_TRUE(c.setKeyPosition(3));
    EXPECT_EQ(c.recno(), 1u);
}

TEST_F(CdxTest, EmptyTag) {
    build({});
    TagCursor c(*table_, "MLABEL");
    EXPECT_FALSE(c.first());
    EXPECT_TRUE(c.eof());
    EXPECT_FALSE(c.last());
    EXPECT_FALSE(c.next());
    EXPECT_EQ(c.keyCount(), 0u);
    EXPECT_THROW(c.recno(), Error);
    EXPECT_TRUE(checkTable(*table_).strict());
    EXPECT_THROW(TagCursor(*table_, "NOSUCH"), Error);
}

// Damaged indexes give a clear error naming the file, never a crash or an endless loop.
TEST_F(CdxTest, DamagedNodesAreClearErrors) {
    auto recs = manyRecords(120, 3);
    build(recs, 8, 4);
    const std::uint32_t root = image_.roots[0];
    const std::uint32_t leaf0 = image_.leaves[0][0];
    const std::uint32_t leaf3 = image_.leaves[0][3];
    auto u32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    auto be = [](std::uint32_t v) {
        std::string s(4, '\0');
        for (int i = 0; i < 4; ++i)
            s[static_cast<std::size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
        return s;
    };
    struct Case {
        const char* what;
        std::uint32_t offset;
        std::string bytes;
    };
    const Case cases[] = {
        {"child pointer past the end", root + 12 + 18 + 4, be(0x7FFFFE00)},
        {"child pointer not on a page", root + 12 + 18 + 4, be(1030)},
        {"leaf linked to itself", leaf3 + 8, u32(leaf3)},
        {"leaf linked back", leaf3 + 8, u32(leaf0)},
        {"interior node pointing at the root", root + 12 + 18 + 4, be(root)},
        {"bad bit layout", leaf0 + 20, std::string("\x30\x10", 2)},
        {"entry count too large", leaf0 + 2, std::string("\xFF\x00", 2)},
        {"root outside the file", image_.tagHeaders[0], u32(0x10000000)},
    };
    for (const Case& c : cases) {
        build(recs, 8, 4);
        try {
            damage(c.offset, c.bytes);
            TagCursor cur(*table_, "MLABEL");
            cur.setShowDeleted(true);
            std::size_t n = 0;
            for (bool on = cur.first(); on && n < 100000; on = cur.next())
                ++n;
            cur.setKeyPosition(50);
            cur.seek("  2");
            ADD_FAILURE() << c.what << ": read without an error (" << n << " entries)";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), code::kCorruptIndex) << c.what << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find("MLABEL.CDX"), std::string::npos) << e.what();
        }
        // The check reports what is wrong instead of failing.
        if (table_) {
            CheckReport r = checkTable(*table_);
            EXPECT_FALSE(r.ok()) << c.what;
        }
    }
}

TEST_F(CdxTest, CheckFindsStaleKeysAndLostPages) {
    build({{"  1", "A", 1}, {"  1", "B", 2}, {"  2", "C", 3}});
    // Record 2 changes in the table but not in the index.
    recs_[1].nnum = "Z";
    testfmt::writeFile(dir_.file("MLABEL.DBF"), dbfBytes());
    table_ = Table::open(dir_.file("MLABEL.DBF"));
    CheckReport r = checkTable(*table_);
    ASSERT_FALSE(r.ok());
    bool mentions = std::any_of(r.problems.begin(), r.problems.end(), [](const std::string& p) {
        return p.find("tag MLABEL") != std::string::npos && p.find("record 2") != std::string::npos;
    });
    EXPECT_TRUE(mentions);
    recs_[1].nnum = "B";
    testfmt::writeFile(dir_.file("MLABEL.DBF"), dbfBytes());

    // A page that nothing refers to is wasted space, as Visual FoxPro often leaves it: a
    // warning with the count, not damage.
    table_.reset();
    image_.bytes.append(512, '\0');
    testfmt::writeFile(dir_.file("MLABEL.CDX"), image_.bytes);
    table_ = Table::open(dir_.file("MLABEL.DBF"));
    r = checkTable(*table_);
    EXPECT_TRUE(r.ok());
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_NE(r.warnings[0].find("1 pages belong to no tag and are not on the free list (wasted "
                                 "space: " +
                                 std::to_string(image_.bytes.size() - 512) + ")"),
              std::string::npos)
        << r.warnings[0];
}

// The check judges how the tree is stored, not only the keys it decodes to: each finding names
// the tag and the page.
TEST_F(CdxTest, CheckJudgesHowEachNodeIsStored) {
    auto u16 = [](std::uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
    auto u32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    build(manyRecords(120, 3), 8, 4);
    const std::uint32_t root = image_.roots[0];
    const std::uint32_t leaf0 = image_.leaves[0][0], leaf3 = image_.leaves[0][3];
    std::uint16_t free0;
    std::memcpy(&free0, image_.bytes.data() + leaf0 + 12, 2);
    struct Case {
        const char* what;
        std::uint32_t offset;
        std::string bytes;
        std::string mention;
    };
    const Case cases[] = {
        {"left link skipping a leaf", leaf3 + 4, u32(leaf0),
         "node " + std::to_string(leaf3) + " links left to " + std::to_string(leaf0)},
        {"right link to nothing", leaf0 + 8, u32(0xFFFFFFFF),
         "node " + std::to_string(leaf0) + " links right to none"},
        {"free space one byte off", leaf0 + 12, u16(static_cast<std::uint16_t>(free0 + 1)),
         "leaf " + std::to_string(leaf0) + " records"},
        {"interior key not its child's last", root + 12, std::string("\x01"),
         "interior node " + std::to_string(root) + ", entry 1"},
        {"root flag on a leaf", leaf0, u16(3),
         "node " + std::to_string(leaf0) + " is flagged as a root"},
        {"free list into a tree", 4, u32(leaf3),
         "page " + std::to_string(leaf3) + " is on the free list"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        build(manyRecords(120, 3), 8, 4);
        EXPECT_TRUE(checkTable(*table_).strict());
        damage(c.offset, c.bytes);
        CheckReport r = checkTable(*table_);
        bool found = std::any_of(r.problems.begin(), r.problems.end(), [&](const std::string& p) {
            return p.find(c.mention) != std::string::npos;
        });
        EXPECT_TRUE(found) << "no problem mentions '" << c.mention << "'";
    }
}

// Some writers let a key share the previous key's trailing blanks. It decodes to the right
// keys, so it reads and is no damage; but engines that rebuild keys backwards reject it, so the
// check warns, and our own next write of that leaf stores it canonically.
TEST_F(CdxTest, CountsReachingIntoThePreviousPadAreReadAndWarned) {
    const std::vector<Rec> recs = {
        {"  1", "A", 1}, {"  1", "A B", 2}, {"  1", "A BC", 3}, {"  2", "", 4}, {"  2", "X", 5}};
    build(recs, 1000, 1000, true);
    TagCursor c(*table_, "MLABEL");
    std::vector<std::string> keys;
    for (bool on = c.first(); on; on = c.next())
        keys.emplace_back(c.key());
    EXPECT_EQ(keys,
              (std::vector<std::string>{pad("  1  A", 18), pad("  1  A B", 18),
                                        pad("  1  A BC", 18), pad("  2", 18), pad("  2  X", 18)}));
    CheckReport r = checkTable(*table_);
    EXPECT_TRUE(r.ok());
    ASSERT_FALSE(r.warnings.empty());
    EXPECT_NE(r.warnings[0].find("tag MLABEL: leaf " + std::to_string(image_.leaves[0][0]) +
                                 ", entry 2 (record 2) stores the counts 7/10"),
              std::string::npos)
        << r.warnings[0];

    table_.reset();
    OpenOptions o;
    o.share = Share::Exclusive;
    o.readOnly = false;
    table_ = Table::open(dir_.file("MLABEL.DBF"), o);
    std::string rec(table_->record(5), table_->recordLength());
    table_->setText(rec, *table_->field("NNUM"), "Y");
    table_->update(5, rec);
    EXPECT_TRUE(checkTable(*table_).strict());
}

// The check after a write judges how the index is stored and that every record has its
// entries, without computing the keys: a stale key passes it, a missing entry or a broken link
// does not.
TEST_F(CdxTest, TheStructureCheckNeedsNoKeys) {
    auto u32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    build({{"  1", "A", 1}, {"  1", "B", 2}, {"  2", "C", 3}});
    recs_[1].nnum = "Z";  // record 2 changes behind the index's back
    testfmt::writeFile(dir_.file("MLABEL.DBF"), dbfBytes());
    table_ = Table::open(dir_.file("MLABEL.DBF"));
    EXPECT_TRUE(checkTable(*table_, CheckDepth::Structure).strict());
    EXPECT_FALSE(checkTable(*table_).ok());

    recs_.push_back({"  3", "D", 4});  // a record the index does not know
    testfmt::writeFile(dir_.file("MLABEL.DBF"), dbfBytes());
    table_ = Table::open(dir_.file("MLABEL.DBF"));
    CheckReport r = checkTable(*table_, CheckDepth::Structure);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.problems[0].find("holds 3 entries for 4 records"), std::string::npos)
        << r.problems[0];

    build(manyRecords(120, 3), 8, 4);
    damage(image_.leaves[0][3] + 4, u32(image_.leaves[0][0]));
    EXPECT_FALSE(checkTable(*table_, CheckDepth::Structure).ok());
}

TEST_F(CdxTest, TruncatedIndexFileIsRefused) {
    build({{"  1", "A", 1}});
    table_.reset();
    testfmt::writeFile(dir_.file("MLABEL.CDX"), image_.bytes.substr(0, 700));
    try {
        Table::open(dir_.file("MLABEL.DBF"));
        ADD_FAILURE() << "opened";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), code::kCorruptIndex);
        EXPECT_NE(std::string(e.what()).find("MLABEL.CDX"), std::string::npos);
    }
}
