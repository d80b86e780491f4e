#include "plan/numbers.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace plan {

namespace {

std::string trimmed(std::string_view v) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    while (!v.empty() && blank(v.front()))
        v.remove_prefix(1);
    while (!v.empty() && blank(v.back()))
        v.remove_suffix(1);
    return std::string(v);
}

std::string cut(std::string s) {
    if (s.size() > kNumberWidth) s.resize(kNumberWidth);
    return s;
}

}  // namespace

std::string alignLeft(std::string_view value) {
    std::string s = trimmed(value);
    if (s.size() < kNumberWidth) s.append(kNumberWidth - s.size(), ' ');
    return s;
}

std::string alignRight(std::string_view value) {
    std::string s = trimmed(value);
    if (s.size() < kNumberWidth) s.insert(0, kNumberWidth - s.size(), ' ');
    return s;
}

std::string replaceAll(std::string_view value, std::string_view what, std::string_view with) {
    if (what.empty()) return cut(std::string(value));
    std::string out;
    for (std::size_t at = 0;;) {
        std::size_t found = value.find(what, at);
        if (found == std::string_view::npos) {
            out.append(value.substr(at));
            break;
        }
        out.append(value.substr(at, found - at)).append(with);
        at = found + what.size();
    }
    return cut(std::move(out));
}

std::string insertAt(std::string_view value, long long position, std::string_view text,
                     InsertCut how) {
    std::size_t p =
        position <= 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(position), value.size());
    std::string_view a = value.substr(0, p), r = value.substr(p);
    if (a.size() + text.size() + r.size() <= kNumberWidth || how == InsertCut::Right)
        return cut(std::string(a).append(text).append(r));
    std::size_t head = a.size() + text.size();
    if (head >= kNumberWidth) return cut(std::string(a).append(text));
    return std::string(a).append(text).append(r.substr(r.size() - (kNumberWidth - head)));
}

std::optional<int> parseInteger(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    int base = 10;
    if (i < s.size() && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == s.size()) return std::nullopt;
    std::int64_t v = 0;
    for (; i < s.size(); ++i) {
        char c = s[i];
        int digit = c >= '0' && c <= '9'                 ? c - '0'
                    : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                         : -1;
        if (digit < 0) return std::nullopt;
        v = v * base + digit;
        if (v > std::int64_t{INT32_MAX} + 1) return std::nullopt;
    }
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return std::nullopt;
    return static_cast<int>(v);
}

std::string notAnInteger(std::string_view text) {
    return "'" + std::string(text) + "' is not a valid integer value";
}

void reworkNumbers(data::TData& d, const std::function<std::string(const std::string&)>& rework) {
    db::Dataset& plan = d.PLAN;
    plan.disableControls();
    try {
        for (plan.first(); !plan.eof(); plan.next()) {
            std::string value = plan.fieldByName("NNNUM").asString();
            plan.edit();
            plan.fieldByName("NNNUM").setAsString(rework(value));
            plan.post();
        }
        plan.first();
    } catch (...) {
        if (plan.state() == db::State::Edit) plan.cancel();
        plan.enableControls();
        throw;
    }
    plan.enableControls();
}

}  // namespace plan
