#include "xbase/codepage.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "xbase/codepage_tables.h"
#include "xbase/error.h"

namespace xbase {

CodePage::CodePage(int number, const char16_t* toUnicode, const unsigned char* upper,
                   const unsigned char* lower)
    : number_(number),
      toUnicode_(toUnicode),
      upper_(upper),
      lower_(lower),
      reverse_(new std::array<std::uint16_t, 65536>{}) {
    for (int b = 255; b >= 0; --b)
        (*reverse_)[toUnicode_[b]] = static_cast<std::uint16_t>(b + 1);
}

const CodePage* CodePage::find(int number) {
    using namespace detail;
    // Built once, never freed: the tables live as long as the program.
    static const auto* pages = [] {
        auto* m = new std::map<int, const CodePage*>;
        auto add = [m](int n, const char16_t* u, const unsigned char* up, const unsigned char* lo) {
            (*m)[n] = new CodePage(n, u, up, lo);
        };
        add(437, kCp437ToUnicode, kCp437Upper, kCp437Lower);
        add(850, kCp850ToUnicode, kCp850Upper, kCp850Lower);
        add(866, kCp866ToUnicode, kCp866Upper, kCp866Lower);
        add(1251, kCp1251ToUnicode, kCp1251Upper, kCp1251Lower);
        add(1252, kCp1252ToUnicode, kCp1252Upper, kCp1252Lower);
        return m;
    }();
    auto it = pages->find(number);
    return it == pages->end() ? nullptr : it->second;
}

const CodePage& CodePage::get(int number) {
    const CodePage* cp = find(number);
    if (!cp) fail(code::kUnsupported, "Code page " + std::to_string(number) + " is not supported");
    return *cp;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string CodePage::toUtf8(std::string_view bytes) const {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes)
        appendUtf8(out, toUnicode_[static_cast<unsigned char>(c)]);
    return out;
}

int CodePage::fromUnicode(char32_t cp) const {
    if (cp > 0xFFFF) return -1;
    return static_cast<int>((*reverse_)[cp]) - 1;
}

std::optional<std::string> CodePage::fromUtf8(std::string_view utf8) const {
    std::string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        auto c = static_cast<unsigned char>(utf8[i]);
        char32_t cp;
        std::size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1Fu;
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0Fu;
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07u;
            len = 4;
        } else {
            return std::nullopt;
        }
        if (i + len > utf8.size()) return std::nullopt;
        for (std::size_t k = 1; k < len; ++k) {
            auto cc = static_cast<unsigned char>(utf8[i + k]);
            if ((cc & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        int b = fromUnicode(cp);
        if (b < 0) return std::nullopt;
        out += static_cast<char>(b);
        i += len;
    }
    return out;
}

Translation::Translation(const CodePage& from, const CodePage& to) {
    std::vector<int> freeFrom;
    std::array<bool, 256> taken{};
    for (int b = 0; b < 256; ++b) {
        int t = to.fromUnicode(from.toUnicode(static_cast<unsigned char>(b)));
        if (t >= 0 && !taken[static_cast<std::size_t>(t)]) {
            map_[static_cast<std::size_t>(b)] = static_cast<unsigned char>(t);
            taken[static_cast<std::size_t>(t)] = true;
        } else {
            freeFrom.push_back(b);
        }
    }
    std::size_t next = 0;
    for (int t = 0; t < 256 && next < freeFrom.size(); ++t) {
        if (taken[static_cast<std::size_t>(t)]) continue;
        map_[static_cast<std::size_t>(freeFrom[next++])] = static_cast<unsigned char>(t);
    }
    identity_ = true;
    for (int b = 0; b < 256; ++b)
        if (map_[static_cast<std::size_t>(b)] != b) identity_ = false;
}

const Translation& Translation::between(int fromCodePage, int toCodePage) {
    static std::mutex mutex;
    static auto* cache = new std::map<std::pair<int, int>, std::unique_ptr<Translation>>;
    std::lock_guard<std::mutex> lock(mutex);
    auto key = std::make_pair(fromCodePage, toCodePage);
    auto it = cache->find(key);
    if (it == cache->end()) {
        auto t = std::unique_ptr<Translation>(
            new Translation(CodePage::get(fromCodePage), CodePage::get(toCodePage)));
        it = cache->emplace(key, std::move(t)).first;
    }
    return *it->second;
}

int codePageFromByte(std::uint8_t b) {
    switch (b) {
        case 0x00:
            return kAnsiCodePage;
        case 0x01:
            return 437;
        case 0x02:
            return 850;
        case 0x03:
            return 1252;
        case 0x26:
            return 866;
        case 0x57:
            return kAnsiCodePage;  // "ANSI": the system's ANSI code page
        case 0x65:
            return 866;
        case 0xC9:
            return 1251;
        default:
            return 0;
    }
}

int codePageFromDriverName(std::string_view name) {
    // The names are "DB", the code page's number or "WIN" for the Windows ANSI pages, a
    // country and a digit: DB437US0, DB850US0, DB866RU0, DBWINUS0, DBWINWE0, DBWINRU0.
    if (name.size() < 5 || name.substr(0, 2) != "DB") return 0;
    std::string_view rest = name.substr(2);
    if (rest.substr(0, 3) == "WIN") {
        std::string_view country = rest.substr(3, 2);
        return country == "RU" ? 1251 : 1252;
    }
    int number = 0;
    std::size_t i = 0;
    while (i < rest.size() && i < 4 && rest[i] >= '0' && rest[i] <= '9')
        number = number * 10 + (rest[i++] - '0');
    if (i < 3) return 0;
    return CodePage::find(number) ? number : 0;
}

std::uint8_t codePageByte(int codePage) {
    switch (codePage) {
        case 437:
            return 0x01;
        case 850:
            return 0x02;
        case 1252:
            return 0x03;
        case 866:
            return 0x65;
        case 1251:
            return 0xC9;
        default:
            return 0x00;
    }
}

}  // namespace xbase
