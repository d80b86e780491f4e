#include "xbase/collation.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "xbase/ascii.h"
#include "xbase/collation_tables.h"
#include "xbase/error.h"

namespace xbase {

const Collation* Collation::find(std::string_view name, int codePage) {
    if (isMachine(name)) return nullptr;
    static std::once_flag once;
    static std::vector<std::unique_ptr<Collation>> all;
    std::call_once(once, [] {
        for (std::size_t t = 0; t < collation_tables::kTableCount; ++t) {
            const collation_tables::Table& table = collation_tables::kTables[t];
            auto c = std::unique_ptr<Collation>(new Collation);
            c->name_ = table.name;
            c->codePage_ = table.codePage;
            for (std::size_t b = 0; b < 256; ++b) {
                c->primary_[b][0] = static_cast<char>(table.primary[b]);
                c->primaries_[b] = 1;
            }
            for (std::size_t i = 0; i < table.tailCount; ++i) {
                const auto& tail = table.tails[i];
                c->tail_[tail.byte][0] = static_cast<char>(tail.weight);
                c->tails_[tail.byte] = 1;
            }
            // An expansion weighs as its two characters, each with its own tail.
            for (std::size_t i = 0; i < table.expansionCount; ++i) {
                const auto& e = table.expansions[i];
                c->primaries_[e.byte] = 2;
                c->tails_[e.byte] = 0;
                const std::uint8_t parts[2] = {e.first, e.second};
                for (std::size_t p = 0; p < 2; ++p) {
                    c->primary_[e.byte][p] = c->primary_[parts[p]][0];
                    if (c->tails_[parts[p]] == 1)
                        c->tail_[e.byte][c->tails_[e.byte]++] = c->tail_[parts[p]][0];
                }
            }
            all.push_back(std::move(c));
        }
    });
    const std::string upper = ascii::upper(name);
    for (const auto& c : all)
        if (upper == c->name_ && codePage == c->codePage_) return c.get();
    fail(code::kUnsupported, "unsupported: collation " + std::string(name) + " (code page " +
                                 std::to_string(codePage) + ")");
}

void Collation::keyInto(std::string_view value, std::size_t length, std::string& out) const {
    std::size_t n = value.size();
    while (n > 0 && value[n - 1] == ' ')
        --n;
    out.assign(length, '\0');
    char* key = out.data();
    // At most two primaries and two tails a character; the tails follow the primaries.
    char tails[512];
    std::size_t at = 0, tailCount = 0;
    for (std::size_t i = 0; i < n && at < length; ++i) {
        const auto b = static_cast<unsigned char>(value[i]);
        key[at++] = primary_[b][0];
        if (primaries_[b] == 2 && at < length) key[at++] = primary_[b][1];
        if (tails_[b] && tailCount + 2 <= sizeof tails) {
            tails[tailCount] = tail_[b][0];
            tails[tailCount + 1] = tail_[b][1];
            tailCount += tails_[b];
        }
    }
    if (at < length) std::memcpy(key + at, tails, std::min(tailCount, length - at));
}

void Collation::prefixInto(std::string_view prefix, std::size_t length, std::string& out) const {
    std::size_t n = prefix.size();
    while (n > 0 && prefix[n - 1] == ' ')
        --n;
    out.clear();
    for (std::size_t i = 0; i < n && out.size() < length; ++i) {
        const auto b = static_cast<unsigned char>(prefix[i]);
        out.append(primary_[b].data(), primaries_[b]);
    }
    if (out.size() > length) out.resize(length);
}

}  // namespace xbase
