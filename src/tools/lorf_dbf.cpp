// lorf-dbf: looks into Visual FoxPro tables and their structural indexes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "sample_db.h"
#include "xbase/ascii.h"
#include "xbase/cdx.h"
#include "xbase/check.h"
#include "xbase/codepage.h"
#include "xbase/cursor.h"
#include "xbase/dbf.h"
#include "xbase/error.h"
#include "xbase/expr.h"
#include "xbase/file.h"
#include "xbase/key.h"

namespace {

const char* kUsage =
    "usage: lorf-dbf COMMAND FILE.dbf [ARGS]\n"
    "  info FILE.dbf              header, code page, fields and tags\n"
    "  order FILE.dbf TAG         every index entry in tag order: record, tab, key in hex\n"
    "  seek FILE.dbf TAG KEYTEXT  the record an exact seek finds, or 'not found' (exit 1)\n"
    "  locate FILE.dbf EXPR       the visible records, in physical order, where EXPR holds\n"
    "  check FILE.dbf             compares every tag with the keys of the records\n"
    "  replace FILE.dbf --where F=V[,F=V] --set F=V[,F=V] [--char oem|ansi]\n"
    "                             rewrites the visible records whose fields equal the values\n"
    "  pack FILE.dbf              removes the deleted records and rebuilds the index\n"
    "  reindex FILE.dbf           rebuilds every tag of the index\n"
    "  demo DIR [--groups G] [--materials M] [--seed S] [--oem] [--collate NAME]\n"
    "                             writes a sample accounting database into DIR\n";

// Bytes of the table's code page as the terminal shows them: control bytes (a damaged name)
// written as \xNN, never raw.
std::string utf8(const xbase::Table& t, std::string_view bytes) {
    std::string out;
    const xbase::CodePage& cp = xbase::CodePage::get(t.codePage());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
            out += escaped;
        } else {
            out += cp.toUtf8(std::string_view(&c, 1));
        }
    }
    return out;
}

const char* formatName(xbase::TableFormat f) {
    switch (f) {
        case xbase::TableFormat::DBase3:
            return "dBase III";
        case xbase::TableFormat::DBase4:
            return "dBase IV";
        case xbase::TableFormat::DBase7:
            return "dBase 7";
        case xbase::TableFormat::FoxPro2:
            return "FoxPro 2";
        case xbase::TableFormat::VisualFoxPro:
            return "Visual FoxPro";
    }
    return "?";
}

int info(const xbase::Table& t) {
    const auto& h = t.header();
    std::printf("file: %s\n", t.path().c_str());
    std::printf("format: %s (0x%02X)\n", formatName(t.format()), h.version);
    std::printf("last update: %04d-%02d-%02d\n", h.year, h.month, h.day);
    if (h.codePageByte == 0 && h.driverName.empty())
        std::printf("code page: none (the system's ANSI page, %d), character type %s\n",
                    t.codePage(), t.charType() == xbase::CharType::Oem ? "OEM" : "ANSI");
    else
        std::printf("code page: %d (byte 0x%02X), character type %s\n", t.codePage(),
                    h.codePageByte, t.charType() == xbase::CharType::Oem ? "OEM" : "ANSI");
    std::printf("records: %u\nheader length: %u\nrecord length: %u\n", h.recordCount,
                h.headerLength, h.recordLength);
    std::printf("table flags: 0x%02X\n", h.tableFlags);
    std::printf("fields: %zu\n", t.fields().size());
    for (const auto& f : t.fields()) {
        std::printf("  %-10s %s %3u", utf8(t, f.name).c_str(),
                    utf8(t, std::string(1, f.type)).c_str(), f.length);
        if (f.decimals) std::printf(".%u", f.decimals);
        if (f.flags) std::printf(" flags 0x%02X", f.flags);
        if (!f.longName.empty()) std::printf(" long name %s", utf8(t, f.longName).c_str());
        std::printf("\n");
    }
    if (const xbase::CdxFile* cdx = t.index()) {
        std::printf("index: %s\ntags: %zu\n", cdx->path().c_str(), cdx->tags().size());
        for (const auto& tag : cdx->tags()) {
            std::printf("  %-10s key %s", utf8(t, tag.name).c_str(),
                        utf8(t, tag.keyExpression).c_str());
            if (!tag.forExpression.empty())
                std::printf(" for %s", utf8(t, tag.forExpression).c_str());
            std::printf(" length %u%s%s%s%s%s", tag.keyLength, tag.unique ? " unique" : "",
                        tag.candidate() ? " candidate" : "", tag.descending ? " descending" : "",
                        tag.nullable() ? " nullable" : "", tag.binary() ? " binary" : "");
            if (tag.collation != "MACHINE") std::printf(" collation %s", tag.collation.c_str());
            std::printf("\n");
            if (!tag.expressionError.empty()) std::printf("    %s\n", tag.expressionError.c_str());
        }
    } else {
        std::printf("tags: 0\n");
    }
    for (const auto& w : t.warnings())
        std::printf("warning: %s\n", w.c_str());
    return 0;
}

int order(const xbase::Table& t, const std::string& tagName) {
    xbase::TagCursor c(t, tagName);
    c.setShowDeleted(true);
    std::string out;
    for (bool on = c.first(); on; on = c.next()) {
        out += std::to_string(c.recno());
        out += '\t';
        out += xbase::ascii::hex(c.key());
        out += '\n';
        if (out.size() > (1u << 16)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

int seek(const xbase::Table& t, const std::string& tagName, const std::string& text) {
    xbase::TagCursor c(t, tagName);
    c.setShowDeleted(true);  // the first entry with the key, as `order` lists them
    // A key the engine computes is sought only where it computes the tag's keys as they are
    // stored: never an answer on a guess.
    if (!t.keysTrusted(c.tag()))
        xbase::fail(xbase::code::kUnsupported,
                    "cannot seek through tag " + c.tag().name + ": " + t.untrustedReason(c.tag()));
    auto key = xbase::keyFromText(t, c.tag(), text);
    if (!key) {
        std::fprintf(stderr, "lorf-dbf: '%s' cannot be a key of tag %s\n", text.c_str(),
                     c.tag().name.c_str());
        return 2;
    }
    if (!c.seek(*key)) {
        std::printf("not found\n");
        return 1;
    }
    std::printf("%u\n", c.recno());
    return 0;
}

// The code page of a table's text as the engine hands it over: the ANSI code page where the
// table's own bytes are converted (OEM tables), else the table's own.
int textCodePage(const xbase::Table& t) {
    return t.toAnsi() ? xbase::kAnsiCodePage : t.codePage();
}

// Text typed in UTF-8, in the table's text code page.
std::string tableText(const xbase::Table& t, const std::string& utf8) {
    auto bytes = xbase::CodePage::get(textCodePage(t)).fromUtf8(utf8);
    if (!bytes)
        throw std::invalid_argument("'" + utf8 + "' holds characters that code page " +
                                    std::to_string(textCodePage(t)) + " lacks");
    return *bytes;
}

int locate(const xbase::Table& t, const std::string& exprUtf8) {
    const std::optional<std::string> ansi = tableText(t, exprUtf8);
    xbase::PhysicalSearch s(t, xbase::Expression::compile(*ansi, &t, xbase::TextMode::Ansi));
    for (std::uint32_t r = s.find(1); r != 0; r = s.find(r + 1))
        std::printf("%u\n", r);
    return 0;
}

int check(const xbase::Table& t) {
    xbase::CheckReport r = xbase::checkTable(t);
    for (const auto& p : r.problems)
        std::printf("%s\n", utf8(t, p).c_str());
    for (const auto& w : r.warnings)
        std::printf("warning: %s\n", utf8(t, w).c_str());
    if (!r.ok()) return 1;
    std::printf("OK %zu tags\n", r.tags);
    return 0;
}

// "F=V,F=V" into pairs; "\\," keeps a comma inside a value.
std::vector<std::pair<std::string, std::string>> assignments(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> out;
    std::string cur;
    auto flush = [&] {
        std::size_t eq = cur.find('=');
        if (eq == std::string::npos || eq == 0)
            throw std::invalid_argument("'" + cur + "' is not FIELD=VALUE");
        out.emplace_back(cur.substr(0, eq), cur.substr(eq + 1));
        cur.clear();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == ',') {
            cur += ',';
            ++i;
        } else if (text[i] == ',') {
            flush();
        } else {
            cur += text[i];
        }
    }
    flush();
    return out;
}

xbase::OpenOptions exclusiveOpen() {
    xbase::OpenOptions o;
    o.share = xbase::Share::Exclusive;
    o.readOnly = false;
    return o;
}

int replace(const std::vector<std::string>& args) {
    std::string where, set, charType;
    for (std::size_t i = 2; i < args.size(); ++i) {
        std::string opt = xbase::ascii::lower(args[i]);
        if (i + 1 >= args.size())
            throw std::invalid_argument("option " + args[i] + " needs a value");
        if (opt == "--where")
            where = args[++i];
        else if (opt == "--set")
            set = args[++i];
        else if (opt == "--char")
            charType = xbase::ascii::lower(args[++i]);
        else
            throw std::invalid_argument("unknown option " + args[i]);
    }
    if (where.empty() || set.empty())
        throw std::invalid_argument("replace needs --where and --set");
    xbase::OpenOptions opt = exclusiveOpen();
    if (charType == "oem")
        opt.charType = xbase::CharType::Oem;
    else if (charType == "ansi")
        opt.charType = xbase::CharType::Ansi;
    else if (!charType.empty())
        throw std::invalid_argument("--char takes oem or ansi");
    auto t = xbase::Table::open(args[1], opt);
    struct Cond {
        const xbase::Field* field;
        std::string value;
    };
    auto resolve = [&](const std::vector<std::pair<std::string, std::string>>& pairs) {
        std::vector<Cond> out;
        for (const auto& [name, value] : pairs) {
            const xbase::Field* f = t->field(name);
            if (!f) throw std::invalid_argument("the table has no field " + name);
            std::string v = tableText(*t, value);
            while (!v.empty() && v.back() == ' ')
                v.pop_back();
            out.push_back({f, v});
        }
        return out;
    };
    std::vector<Cond> conds = resolve(assignments(where));
    std::vector<Cond> sets = resolve(assignments(set));
    std::uint32_t changed = 0;
    for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
        const char* rec = t->record(r);
        if (rec[0] == '*') continue;
        bool match = true;
        for (const Cond& c : conds) {
            std::string have =
                c.field->isCharacter() ? t->text(rec, *c.field) : t->display(rec, *c.field);
            if (have != c.value) {
                match = false;
                break;
            }
        }
        if (!match) continue;
        std::string updated(rec, t->recordLength());
        for (const Cond& s : sets)
            t->setText(updated, *s.field, s.value);
        t->update(r, updated);
        ++changed;
    }
    std::printf("%u\n", changed);
    return 0;
}

int demo(const std::vector<std::string>& args) {
    sample::DemoOptions o;
    for (std::size_t i = 2; i < args.size(); ++i) {
        std::string opt = xbase::ascii::lower(args[i]);
        if (opt == "--oem") {
            o.oem = true;
            continue;
        }
        if (i + 1 >= args.size())
            throw std::invalid_argument("option " + args[i] + " needs a value");
        if (opt == "--collate") {
            o.collation = xbase::ascii::upper(args[++i]);
            if (o.collation == "MACHINE") o.collation.clear();
            continue;
        }
        unsigned long v = std::stoul(args[++i]);
        if (v > 10000000) throw std::invalid_argument("value too large: " + args[i]);
        auto n = static_cast<std::uint32_t>(v);
        if (opt == "--groups")
            o.groups = n;
        else if (opt == "--materials")
            o.materials = n;
        else if (opt == "--seed")
            o.seed = n;
        else
            throw std::invalid_argument("unknown option " + args[i - 1]);
    }
    std::fputs(sample::writeDemo(args[1], o).c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    xbase::useUtf8Console();
    std::vector<std::string> args(argv + 1, argv + argc);
    const std::string cmd = args.empty() ? std::string() : xbase::ascii::lower(args[0]);
    // Options only where a command has them, and never a file name that reads as an option.
    const std::vector<std::string> options =
        cmd == "replace" ? std::vector<std::string>{"--where", "--set", "--char"}
        : cmd == "demo"
            ? std::vector<std::string>{"--groups", "--materials", "--seed", "--oem", "--collate"}
            : std::vector<std::string>{};
    bool usage = args.size() < 2 || args[1].rfind("-", 0) == 0;
    for (std::size_t i = 1; i < args.size() && !usage; ++i)
        if (args[i].rfind("--", 0) == 0 &&
            std::find(options.begin(), options.end(), xbase::ascii::lower(args[i])) ==
                options.end()) {
            std::fprintf(stderr, "lorf-dbf: unknown option '%s'\n", args[i].c_str());
            usage = true;
        }
    if (usage) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    auto want = [&](std::size_t n) {
        if (args.size() != n) {
            std::fputs(kUsage, stderr);
            std::exit(2);
        }
    };
    try {
        xbase::OpenOptions opt;
        if (cmd == "info") {
            want(2);
            return info(*xbase::Table::open(args[1], opt));
        }
        if (cmd == "order") {
            want(3);
            return order(*xbase::Table::open(args[1], opt), args[2]);
        }
        if (cmd == "seek") {
            want(4);
            return seek(*xbase::Table::open(args[1], opt), args[2], args[3]);
        }
        if (cmd == "locate") {
            want(3);
            return locate(*xbase::Table::open(args[1], opt), args[2]);
        }
        if (cmd == "check") {
            want(2);
            return check(*xbase::Table::open(args[1], opt));
        }
        if (cmd == "replace") return replace(args);
        if (cmd == "pack" || cmd == "reindex") {
            want(2);
            auto t = xbase::Table::open(args[1], exclusiveOpen());
            if (cmd == "pack") {
                std::uint32_t before = t->recordCount();
                t->pack();
                std::printf("%u records, %u removed\n", t->recordCount(),
                            before - t->recordCount());
            } else {
                t->reindex();
                std::printf("%zu tags rebuilt\n", t->index() ? t->index()->tags().size() : 0);
            }
            return 0;
        }
        if (cmd == "demo") return demo(args);
        std::fprintf(stderr, "lorf-dbf: unknown command '%s'\n%s", args[0].c_str(), kUsage);
        return 2;
    } catch (const xbase::Error& e) {
        std::fprintf(stderr, "lorf-dbf: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lorf-dbf: %s\n", e.what());
        return 2;
    }
}
