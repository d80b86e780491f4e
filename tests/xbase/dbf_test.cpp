#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

#include "engine_helpers.h"
#include "format_builder.h"
#include "temp_dir.h"
#include "xbase/codepage.h"
#include "xbase/dbf.h"
#include "xbase/error.h"
#include "xbase/file.h"

using namespace xbase;
using testfmt::FieldSpec;
using testfmt::TableSpec;

namespace {

using testhelp::errorCode;

TableSpec sampleSpec() {
    TableSpec s;
    s.tableFlags = 0;
    s.fields = {{"GRUP", 'C', 5}, {"NNUM", 'C', 13}, {"CENA", 'N', 10, 2},
                {"DATE", 'D', 8}, {"OK", 'L', 1},    {"QTY", 'I', 4}};
    std::string qty(4, '\0');
    qty[0] = 7;
    s.records = {{"  12", "  ab  ", "     12.50", "20240131", "T", qty},
                 {"", "X", "", "        ", "F", std::string(4, '\0')}};
    s.deleted = {false, true};
    return s;
}

}  // namespace

TEST(Dbf, ReadsHeaderFieldsAndRecords) {
    TempDir dir;
    testfmt::writeFile(dir.file("T.DBF"), testfmt::buildDbf(sampleSpec()));
    auto t = Table::open(dir.file("t.dbf"));  // any letter case
    EXPECT_EQ(t->format(), TableFormat::VisualFoxPro);
    EXPECT_EQ(t->recordCount(), 2u);
    EXPECT_EQ(t->codePage(), 1251);
    EXPECT_EQ(t->charType(), CharType::Ansi);
    ASSERT_EQ(t->fields().size(), 6u);
    EXPECT_EQ(t->field("nnum"), &t->fields()[1]);
    EXPECT_EQ(t->field("NOPE"), nullptr);
    EXPECT_EQ(t->fields()[2].offset, 19u);

    const char* r1 = t->record(1);
    EXPECT_EQ(t->text(r1, *t->field("GRUP")), "  12");  // leading blanks kept
    EXPECT_EQ(t->text(r1, *t->field("NNUM")), "  ab");  // trailing blanks removed
    EXPECT_EQ(t->display(r1, *t->field("QTY")), "7");
    EXPECT_FALSE(t->isDeleted(1));
    EXPECT_TRUE(t->isDeleted(2));
    EXPECT_EQ(t->text(t->record(2), *t->field("GRUP")), "");  // all blanks read as empty
    EXPECT_EQ(errorCode([&] { t->record(3); }), code::kInvalidRecordNumber);
    EXPECT_EQ(errorCode([&] { t->record(0); }), code::kInvalidRecordNumber);
}

// dBase 7: a longer header, 48-byte field descriptors with long names, the language driver's
// name for the code page, and its own binary numbers (big-endian, sign bit flipped).
TEST(Dbf, ReadsDBase7Tables) {
    TableSpec s;
    s.version = 0x04;
    s.codePageByte = 0;
    s.tableFlags = 0;
    s.driverName = "DB866RU0";
    s.fields = {{"A_RATHER_LONG_NAME", 'C', 6},
                {"COUNT", 'I', 4},
                {"SEQ", '+', 4},
                {"RATE", 'O', 8},
                {"STAMP", '@', 8},
                {"NAME", 'C', 4}};
    const std::string five("\x80\x00\x00\x05", 4), minusTwo("\x7F\xFF\xFF\xFE", 4);
    const std::string oneAndHalf("\xBF\xF8\x00\x00\x00\x00\x00\x00", 8);
    const std::string minusTwoDouble("\x3F\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8);
    const std::string oem = *CodePage::get(866).fromUtf8("Цех");
    s.records = {{"abc", five, five, oneAndHalf, std::string(8, '\x01'), oem},
                 {"", minusTwo, five, minusTwoDouble, std::string(8, '\0'), ""}};
    TempDir dir;
    testfmt::writeFile(dir.file("d7.dbf"), testfmt::buildDbf(s));
    auto t = Table::open(dir.file("d7.dbf"));
    EXPECT_EQ(t->format(), TableFormat::DBase7);
    EXPECT_EQ(t->codePage(), 866);
    EXPECT_EQ(t->charType(), CharType::Oem);
    ASSERT_EQ(t->fields().size(), 6u);
    EXPECT_EQ(t->fields()[0].name, "A_RATHER_LONG_NAME");
    EXPECT_EQ(t->fields()[5].offset, 31u);
    const char* r1 = t->record(1);
    EXPECT_EQ(t->text(r1, *t->field("A_RATHER_LONG_NAME")), "abc");
    EXPECT_EQ(t->display(r1, *t->field("COUNT")), "5");
    EXPECT_EQ(t->display(r1, *t->field("SEQ")), "5");
    EXPECT_EQ(t->display(r1, *t->field("RATE")), std::to_string(1.5));
    EXPECT_EQ(t->display(r1, *t->field("STAMP")), "0101010101010101");
    EXPECT_EQ(t->text(r1, *t->field("NAME")), *CodePage::get(1251).fromUtf8("Цех"));
    const char* r2 = t->record(2);
    EXPECT_EQ(t->display(r2, *t->field("COUNT")), "-2");
    EXPECT_EQ(t->display(r2, *t->field("RATE")), std::to_string(-2.0));

    // The writer knows only the 32-byte layouts: it leaves dBase 7 tables alone.
    t.reset();
    OpenOptions rw;
    rw.readOnly = false;
    rw.share = Share::Exclusive;
    auto w = Table::open(dir.file("d7.dbf"), rw);
    EXPECT_EQ(errorCode([&] { w->setDeleted(1, true); }), code::kUnsupported);
    EXPECT_FALSE(w->isDeleted(1));
}

TEST(Dbf, BackslashPathsResolve) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("ZAPAS"));
    testfmt::writeFile(dir.file("ZAPAS/MLABEL.DBF"), testfmt::buildDbf(sampleSpec()));
    auto t = Table::open(dir.path() + "\\zapas\\mlabel.dbf");
    EXPECT_EQ(t->recordCount(), 2u);
    EXPECT_EQ(errorCode([&] { Table::open(dir.path() + "/zapas/none.dbf"); }), code::kFileNotFound);
}

// Each damaged header is refused with an error that names the file; nothing past the end of
// the file is read.
TEST(Dbf, RefusesInconsistentHeaders) {
    const std::string good = testfmt::buildDbf(sampleSpec());
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
        const char* mentions;
    };
    const Case cases[] = {
        {"truncated header", [](std::string& b) { b.resize(20); }, "too short"},
        {"record count beyond the file", [](std::string& b) { b[4] = 3; }, "counts 3 records"},
        {"record length disagrees with fields", [](std::string& b) { b[10] = 40; },
         "record length"},
        {"header length past the end",
         [](std::string& b) {
             b[8] = 0;
             b[9] = 0x7F;
         },
         "header length"},
        {"no terminator",
         [](std::string& b) {
             b.resize(32 + 6 * 32);
             b[8] = static_cast<char>(b.size());
             b[9] = 0;
             b[4] = 0;
         },
         "terminator"},
        {"unknown field type", [](std::string& b) { b[32 + 11] = 'Z'; }, "unknown type"},
        {"date field of length 5", [](std::string& b) { b[32 + 3 * 32 + 16] = 5; },
         "impossible length"},
        {"unknown version byte", [](std::string& b) { b[0] = 0x66; },
         "an unsupported table format (version byte 102)"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::string bytes = good;
        c.damage(bytes);
        testfmt::writeFile(dir.file("BAD.DBF"), bytes);
        try {
            Table::open(dir.file("BAD.DBF"));
            ADD_FAILURE() << c.what << ": opened";
        } catch (const Error& e) {
            // A format the engine does not know is unsupported, not damaged.
            const bool unknownFormat = std::string(c.what) == "unknown version byte";
            EXPECT_EQ(e.code(), unknownFormat ? code::kUnsupported : code::kCorruptTable) << c.what;
            EXPECT_NE(std::string(e.what()).find("BAD.DBF"), std::string::npos)
                << c.what << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos)
                << c.what << ": " << e.what();
        }
    }
}

TEST(Dbf, OemTablesReadAsAnsi) {
    TableSpec s;
    s.codePageByte = 0x65;  // 866
    s.tableFlags = 0;
    s.fields = {{"NAME", 'C', 8}};
    // "Труба Ёж" in code page 866.
    s.records = {{"\x92\xE0\xE3\xA1\xA0 \xF0\xA6"}};
    TempDir dir;
    testfmt::writeFile(dir.file("O.DBF"), testfmt::buildDbf(s));
    auto oem = Table::open(dir.file("O.DBF"));
    EXPECT_EQ(oem->charType(), CharType::Oem);
    EXPECT_EQ(oem->codePage(), 866);
    std::string text = oem->text(oem->record(1), oem->fields()[0]);
    EXPECT_EQ(CodePage::get(1251).toUtf8(text), "Труба Ёж");
    oem.reset();

    OpenOptions raw;
    raw.charType = CharType::Ansi;  // the caller asks for the bytes as they are
    auto ansi = Table::open(dir.file("O.DBF"), raw);
    EXPECT_EQ(ansi->text(ansi->record(1), ansi->fields()[0]), "\x92\xE0\xE3\xA1\xA0 \xF0\xA6");
}

TEST(Dbf, NullFlagsAndVarchar) {
    TableSpec s;
    s.tableFlags = 0;
    // NOTE is nullable (bit 0); V is a varchar (length bit 1).
    s.fields = {{"NOTE", 'C', 4, 0, 0x02}, {"V", 'V', 6}, {"_NullFlags", '0', 1, 0, 0x05}};
    s.records = {{"abcd", std::string("xy\0\0\0\x02", 6), std::string(1, '\x02')},
                 {"abcd", "full12", std::string(1, '\x01')}};
    TempDir dir;
    testfmt::writeFile(dir.file("N.DBF"), testfmt::buildDbf(s));
    auto t = Table::open(dir.file("N.DBF"));
    const Field& note = *t->field("NOTE");
    const Field& v = *t->field("V");
    EXPECT_FALSE(t->isNull(t->record(1), note));
    EXPECT_EQ(t->text(t->record(1), v), "xy");
    EXPECT_TRUE(t->isNull(t->record(2), note));
    EXPECT_EQ(t->text(t->record(2), v), "full12");
}

TEST(Dbf, MemosAndBrokenMemoChains) {
    auto [fpt, blocks] = testfmt::buildFpt(64, {"first memo", std::string(200, 'm')});
    TableSpec s;
    s.tableFlags = 0x02;
    s.fields = {{"ID", 'C', 2}, {"NOTES", 'M', 4}};
    auto blockBytes = [](std::uint32_t b) {
        return std::string(reinterpret_cast<const char*>(&b), 4);
    };
    s.records = {{"a", blockBytes(blocks[0])},
                 {"b", blockBytes(blocks[1])},
                 {"c", blockBytes(0)},
                 {"d", blockBytes(100000)}};
    TempDir dir;
    testfmt::writeFile(dir.file("M.DBF"), testfmt::buildDbf(s));
    testfmt::writeFile(dir.file("M.FPT"), fpt);
    auto t = Table::open(dir.file("M.DBF"));
    const Field& f = *t->field("NOTES");
    EXPECT_EQ(t->memo(t->record(1), f), "first memo");
    EXPECT_EQ(t->memo(t->record(2), f), std::string(200, 'm'));
    EXPECT_EQ(t->memo(t->record(3), f), "");
    EXPECT_EQ(errorCode([&] { t->memo(t->record(4), f); }), code::kCorruptTable);

    // A memo whose length runs past the end of the file.
    std::string cut = fpt.substr(0, fpt.size() - 100);
    testfmt::writeFile(dir.file("M.FPT"), cut);
    auto t2 = Table::open(dir.file("M.DBF"));
    EXPECT_EQ(errorCode([&] { t2->memo(t2->record(2), f); }), code::kCorruptTable);
}

// An exclusive open excludes every other open, of this process or not; shared opens coexist.
TEST(Dbf, OpenModesExcludeEachOther) {
    TempDir dir;
    testfmt::writeFile(dir.file("L.DBF"), testfmt::buildDbf(sampleSpec()));
    OpenOptions shared;
    OpenOptions exclusive;
    exclusive.share = Share::Exclusive;
    exclusive.readOnly = false;
    {
        auto a = Table::open(dir.file("L.DBF"), shared);
        auto b = Table::open(dir.file("L.DBF"), shared);
        EXPECT_EQ(errorCode([&] { Table::open(dir.file("L.DBF"), exclusive); }), code::kFileInUse);
    }
    {
        auto x = Table::open(dir.file("L.DBF"), exclusive);
        EXPECT_EQ(errorCode([&] { Table::open(dir.file("L.DBF"), shared); }), code::kFileInUse);
        EXPECT_EQ(errorCode([&] { Table::open(dir.file("L.DBF"), exclusive); }), code::kFileInUse);
    }
    auto again = Table::open(dir.file("L.DBF"), exclusive);  // released on close
    EXPECT_TRUE(again->exclusive());
    again.reset();

#ifndef _WIN32
    // Another process is held off the same way.
    auto held = Table::open(dir.file("L.DBF"), shared);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 3;
        try {
            Table::open(dir.file("L.DBF"), exclusive);
            code = 0;
        } catch (const Error& e) {
            code = e.code() == code::kFileInUse ? 1 : 2;
        }
        _exit(code);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "the other process opened the table exclusively";
#endif
}

// dBase IV and dBase 7 keep their own memo form: the block size at byte 20 of the header and
// each memo behind an 8-byte header (FF FF 08 00, then its length with that header). A pack
// writes them back in the same form, with the next free block little-endian.
TEST(Dbf, DBase4MemosReadAndPackInTheirOwnForm) {
    const std::uint32_t bs = 1024;
    auto le32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    std::string dbt(bs, '\0');
    auto memo = [&](const std::string& text) {
        auto block = static_cast<std::uint32_t>(dbt.size() / bs);
        std::string b = std::string("\xFF\xFF\x08\x00", 4) +
                        le32(static_cast<std::uint32_t>(text.size() + 8)) + text;
        b.resize((b.size() + bs - 1) / bs * bs, '\0');
        dbt += b;
        return block;
    };
    const std::string longText(1500, 'q');  // over one block
    const std::uint32_t first = memo("dBase IV memo"), second = memo(longText);
    std::memcpy(dbt.data(), le32(static_cast<std::uint32_t>(dbt.size() / bs)).data(), 4);
    dbt[20] = static_cast<char>(bs & 0xFF);
    dbt[21] = static_cast<char>(bs >> 8);
    TableSpec s;
    s.version = 0x8B;
    s.codePageByte = 0;
    s.tableFlags = 0;
    s.fields = {{"ID", 'C', 2}, {"NOTES", 'M', 10}};
    auto digits = [](std::uint32_t b) {
        std::string d = std::to_string(b);
        return std::string(10 - d.size(), ' ') + d;
    };
    s.records = {{"a", digits(first)}, {"b", digits(second)}, {"c", std::string(10, ' ')}};
    s.deleted = {true, false, false};
    TempDir dir;
    testfmt::writeFile(dir.file("D4.DBF"), testfmt::buildDbf(s));
    testfmt::writeFile(dir.file("D4.DBT"), dbt);
    {
        auto t = Table::open(dir.file("D4.DBF"));
        const Field& f = *t->field("NOTES");
        EXPECT_EQ(t->memo(t->record(1), f), "dBase IV memo");
        EXPECT_EQ(t->memo(t->record(2), f), longText);
        EXPECT_EQ(t->memo(t->record(3), f), "");
    }
    OpenOptions rw;
    rw.share = Share::Exclusive;
    rw.readOnly = false;
    Table::open(dir.file("D4.DBF"), rw)->pack();
    auto t = Table::open(dir.file("D4.DBF"));
    ASSERT_EQ(t->recordCount(), 2u);
    EXPECT_EQ(t->memo(t->record(1), *t->field("NOTES")), longText);
    File packed = File::open(dir.file("D4.DBT"), Access::Read, Share::Shared);
    unsigned char head[24], block[8];
    packed.readExact(0, head, sizeof head, "header");
    EXPECT_EQ(head[20] | (head[21] << 8), static_cast<int>(bs));
    const std::uint64_t at = std::stoull(std::string(t->raw(t->record(1), *t->field("NOTES"))));
    packed.readExact(at * bs, block, sizeof block, "memo");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 4), std::string("\xFF\xFF\x08\x00", 4));
    std::uint32_t next = 0;
    for (int b = 3; b >= 0; --b)
        next = (next << 8) | head[b];
    EXPECT_EQ(static_cast<std::uint64_t>(next) * bs, packed.size());
}

// What an open that the system refuses says: a missing file, a permission (a read-only file or
// file system), anything else; never "in use", which only a lock held by another open is.
#ifndef _WIN32
TEST(Dbf, OpenErrorsSayWhatWentWrong) {
    const std::pair<int, int> cases[] = {
        {ENOENT, code::kFileNotFound}, {ENOTDIR, code::kFileNotFound},
        {EACCES, code::kAccessDenied}, {EPERM, code::kAccessDenied},
        {EROFS, code::kAccessDenied},  {EMFILE, code::kIoError},
        {EIO, code::kIoError}};
    for (const auto& [err, expected] : cases)
        EXPECT_EQ(openErrorCode(err), expected) << std::strerror(err);

    // A read-only file: shared reading works, an exclusive open is refused for permission.
    // (The superuser may write any file, so this part needs an ordinary user.)
    if (geteuid() == 0) GTEST_SKIP() << "running as the superuser";
    TempDir dir;
    testfmt::writeFile(dir.file("RO.DBF"), testfmt::buildDbf(sampleSpec()));
    ASSERT_EQ(chmod(dir.file("RO.DBF").c_str(), 0444), 0);
    EXPECT_NO_THROW(Table::open(dir.file("RO.DBF")));
    OpenOptions exclusiveRead;
    exclusiveRead.share = Share::Exclusive;
    EXPECT_EQ(errorCode([&] { Table::open(dir.file("RO.DBF"), exclusiveRead); }),
              code::kAccessDenied);
}
#endif
