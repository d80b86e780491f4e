// The proof that a tag built under a collation holds the keys this engine computes. The weights
// come from Visual FoxPro's runtime, but a file in hand may have been built by a program that
// weighs some character otherwise: before the first write that touches such a tag, and before
// a look-up trusts a key it computed for it, every stored entry is compared with the key
// computed from its record.
#include <random>

#include "xbase/ascii.h"
#include "xbase/cdx.h"
#include "xbase/collation.h"
#include "xbase/dbf.h"
#include "xbase/error.h"
#include "xbase/key.h"
#include "xbase/parallel.h"

namespace xbase {

namespace {

// What a proof learns of one tag: the keyed sums of its stored entries and of the keys
// computed from the records those entries name, and whether the two sets can be equal at all.
struct TagProof {
    std::vector<bool> inTag;  // by record number
    std::uint64_t stored = 0, computed = 0;
    bool sound = true;  // no entry names a record twice or one outside the table; none missing
};

}  // namespace

std::size_t Table::tagNumber(const TagInfo& tag) const {
    if (!index_) return 0;
    const auto& tags = index_->tags();
    for (std::size_t i = 0; i < tags.size(); ++i)
        if (&tags[i] == &tag) return i;
    fail(code::kTagNotFound, file_.path() + ": tag " + tag.name + " is not of this table");
}

bool Table::keysTrusted(std::size_t tag, bool writing) const {
    if (!index_ || tag >= index_->tags().size()) return false;
    if (!keyBuilder(tag) || index_->tags()[tag].binary()) return false;
    if (!keyBuilder(tag)->collation()) return true;  // the bytes themselves
    if (proof_.size() != index_->tags().size() || proof_[tag] == kUnproven)
        proveCollatedKeys(writing ? std::nullopt : std::optional<std::size_t>(tag));
    return proof_[tag] == kProven;
}

bool Table::keysDistrusted(const TagInfo& tag) const {
    const std::size_t i = tagNumber(tag);
    if (!keyBuilder(i) || tag.binary()) return true;
    return proof_.size() == index_->tags().size() && proof_[i] == kProofFailed;
}

std::string Table::untrustedReason(std::size_t tag) const {
    if (keysTrusted(tag)) return {};
    if (!index_ || tag >= index_->tags().size()) return "no such tag";
    const TagInfo& t = index_->tags()[tag];
    if (t.binary()) return "tag " + t.name + " is a binary index (signature 5): unsupported";
    if (!keyBuilder(tag)) return "tag " + t.name + ": " + keyErrors_[tag];
    return proofFailures_[tag];
}

void Table::markKeysProven() const {
    if (!index_) return;
    proof_.assign(index_->tags().size(), kProven);
    proofFailures_.assign(index_->tags().size(), std::string());
}

void Table::proveCollatedKeys(std::optional<std::size_t> only) const {
    const auto& tags = index_->tags();
    if (proof_.size() != tags.size()) {
        proof_.assign(tags.size(), kUnproven);
        proofFailures_.assign(tags.size(), std::string());
    }
    std::vector<std::size_t> todo;
    for (std::size_t t = 0; t < tags.size(); ++t) {
        if (proof_[t] != kUnproven || (only && t != *only)) continue;
        const KeyBuilder* kb = keyBuilder(t);  // compiled before the threads
        if (!kb || !kb->collation() || tags[t].binary())
            proof_[t] = kProven;  // nothing to prove: trusted or refused on other grounds
        else
            todo.push_back(t);
    }
    if (todo.empty()) return;
    const std::uint64_t seed =
        (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
    const std::uint32_t count = header_.recordCount;
    std::vector<TagProof> proofs(tags.size());
    // Each worker walks its tags' leaves, noting which records they name, then reads the
    // records once and keys those records for its tags.
    const std::size_t workers = workerCount(todo.size());
    runWorkers(workers, [&](std::size_t w) {
        std::vector<std::size_t> mine;
        for (std::size_t i = w; i < todo.size(); i += workers)
            mine.push_back(todo[i]);
        for (std::size_t t : mine) {
            TagProof& p = proofs[t];
            p.inTag.assign(static_cast<std::size_t>(count) + 1, false);
            try {
                const bool whole = index_->walkLeaves(tags[t], [&](const Node& n) {
                    for (std::size_t i = 0; i < n.count; ++i) {
                        const std::uint32_t r = n.recnos[i];
                        if (r == 0 || r > count || p.inTag[r]) return false;
                        p.inTag[r] = true;
                        p.stored += entryHash(seed, n.key(i), r);
                    }
                    return true;
                });
                if (!whole) p.sound = false;
            } catch (const Error&) {
                p.sound = false;
            }
        }
        std::vector<char> buf;
        std::string key;
        scan(1, buf, [&](const char* rec, std::uint32_t recno) {
            for (std::size_t t : mine) {
                TagProof& p = proofs[t];
                if (!p.sound) continue;
                const KeyBuilder& kb = *keyBuilders_[t];
                const bool included = kb.included(rec, recno);
                if (!p.inTag[recno]) {
                    // A unique tag keeps one record of each key; any other misses none.
                    if (included && !tags[t].unique && !tags[t].candidate()) p.sound = false;
                    continue;
                }
                if (!included) {
                    p.sound = false;
                    continue;
                }
                kb.keyInto(rec, recno, key);
                p.computed += entryHash(seed, key, recno);
            }
            return true;
        });
    });
    for (std::size_t t : todo) {
        const TagProof& p = proofs[t];
        if (p.sound && p.stored == p.computed) {
            proof_[t] = kProven;
            continue;
        }
        proof_[t] = kProofFailed;
        proofFailures_[t] = proofFailure(t);
    }
}

std::string Table::proofFailure(std::size_t t) const {
    const TagInfo& tag = index_->tags()[t];
    return file_.path() + ": tag " + tag.name + " (collation " + tag.collation +
           ") does not hold the keys this engine computes from the records: " +
           firstKeyDifference(t) + "; the table can be read but not written (unsupported)";
}

std::string Table::firstKeyDifference(std::size_t t) const {
    const TagInfo& tag = index_->tags()[t];
    const KeyBuilder& kb = *keyBuilders_[t];
    const std::uint32_t count = header_.recordCount;
    std::vector<bool> seen(static_cast<std::size_t>(count) + 1, false);
    std::string found;
    try {
        // In tag order, the first entry that is not its record's key.
        const bool whole = index_->walkLeaves(tag, [&](const Node& n) {
            for (std::size_t i = 0; i < n.count; ++i) {
                const std::uint32_t r = n.recnos[i];
                if (r == 0 || r > count) {
                    found = "an entry names record " + std::to_string(r) +
                            ", which the table does not have";
                    return false;
                }
                if (seen[r]) {
                    found = "record " + std::to_string(r) + " has two entries";
                    return false;
                }
                seen[r] = true;
                const char* rec = record(r);
                if (!kb.included(rec, r)) {
                    found = "record " + std::to_string(r) +
                            " has an entry although its FOR condition does not hold";
                    return false;
                }
                const std::string computed = kb.key(rec, r);
                if (computed != n.key(i)) {
                    found = "record " + std::to_string(r) + " is stored under the key " +
                            ascii::hex(n.key(i)) + ", computed " + ascii::hex(computed);
                    return false;
                }
            }
            return true;
        });
        if (!found.empty()) return found;
        if (!whole) return "its leaves do not form one chain";
    } catch (const Error& e) {
        return e.what();
    }
    for (std::uint32_t r = 1; r <= count; ++r) {
        const char* rec = record(r);
        if (!seen[r] && kb.included(rec, r))
            return "record " + std::to_string(r) + " has no entry (computed key " +
                   ascii::hex(kb.key(rec, r)) + ")";
    }
    return "the entries differ from the records' keys";
}

}  // namespace xbase
