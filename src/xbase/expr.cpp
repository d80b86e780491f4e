#include "xbase/expr.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "xbase/ascii.h"
#include "xbase/bytes.h"
#include "xbase/codepage.h"
#include "xbase/dbf.h"
#include "xbase/error.h"

namespace xbase {

const char* typeName(ValueType t) {
    switch (t) {
        case ValueType::Null:
            return "null";
        case ValueType::Char:
            return "character";
        case ValueType::Number:
            return "numeric";
        case ValueType::Date:
            return "date";
        case ValueType::Logical:
            return "logical";
    }
    return "?";
}

namespace {

// ---- date format -------------------------------------------------------------------------

struct DateFormat {
    char order[3] = {'M', 'D', 'Y'};
    char separator = '/';
    bool century = true;
};

DateFormat& dateFormat() {
    static DateFormat f;
    return f;
}

// A day number a calendar date can have (past year 9999 none is written, nor can one be).
bool calendarDay(double jd) {
    return jd > 0 && jd <= 5373484;  // 9999-12-31
}

std::string dtos(double jd) {
    if (!calendarDay(jd)) return std::string(8, ' ');
    int y, m, d;
    civilFromJulian(static_cast<std::int32_t>(jd), y, m, d);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", y % 10000, m, d);
    return buf;
}

std::string dtoc(double jd) {
    const DateFormat& f = dateFormat();
    int width = f.century ? 10 : 8;
    if (!calendarDay(jd)) {
        std::string blank(static_cast<std::size_t>(width), ' ');
        blank[2] = f.separator;
        blank[5] = f.separator;
        return blank;
    }
    int y, m, d;
    civilFromJulian(static_cast<std::int32_t>(jd), y, m, d);
    std::string out;
    for (int i = 0; i < 3; ++i) {
        char buf[16];
        if (f.order[i] == 'D') std::snprintf(buf, sizeof buf, "%02d", d);
        if (f.order[i] == 'M') std::snprintf(buf, sizeof buf, "%02d", m);
        if (f.order[i] == 'Y') {
            if (f.century)
                std::snprintf(buf, sizeof buf, "%04d", y % 10000);
            else
                std::snprintf(buf, sizeof buf, "%02d", y % 100);
        }
        if (i > 0) out += f.separator;
        out += buf;
    }
    return out;
}

double ctod(std::string_view s) {
    int parts[3] = {0, 0, 0};
    int n = 0;
    bool digit = false;
    for (char c : s) {
        if (c >= '0' && c <= '9') {
            if (n >= 3) return 0;
            if (parts[n] > 99999) return 0;  // no date part has that many digits
            parts[n] = parts[n] * 10 + (c - '0');
            digit = true;
        } else if (digit) {
            ++n;
            digit = false;
        }
    }
    if (digit) ++n;
    if (n != 3) return 0;
    const DateFormat& f = dateFormat();
    int y = 0, m = 0, d = 0;
    for (int i = 0; i < 3; ++i) {
        if (f.order[i] == 'D') d = parts[i];
        if (f.order[i] == 'M') m = parts[i];
        if (f.order[i] == 'Y') y = parts[i];
    }
    if (y < 100) y += y < 50 ? 2000 : 1900;
    if (m < 1 || m > 12 || d < 1 || d > 31) return 0;
    int cy, cm, cd;
    std::int32_t jd = julianDay(y, m, d);
    civilFromJulian(jd, cy, cm, cd);
    if (cm != m) return 0;
    return jd;
}

}  // namespace

void setDateFormat(std::string_view format) {
    DateFormat f;
    int n = 0;
    bool sepSet = false;
    int yCount = 0;
    char last = 0;
    for (char c : format) {
        char u = ascii::upper(c);
        if (u == 'C') u = 'Y';
        if (u == 'D' || u == 'M' || u == 'Y') {
            if (u == 'Y') ++yCount;
            if (u != last && n < 3) f.order[n++] = u;
            last = u;
        } else if (!sepSet) {
            f.separator = c;
            sepSet = true;
        }
    }
    if (n != 3) return;
    f.century = yCount >= 4;
    dateFormat() = f;
}

std::string formatNumber(double value, int width, int decimals) {
    if (width <= 0) return {};
    if (decimals < 0) decimals = 0;
    for (int dec = decimals; dec >= 0; --dec) {
        double scale = std::pow(10.0, dec);
        double r = std::round(std::fabs(value) * scale * (1 + 4 * 2.220446049250313e-16)) / scale;
        if (value < 0) r = -r;
        if (r == 0) r = 0;  // no "-0"
        char buf[400];
        std::snprintf(buf, sizeof buf, "%.*f", dec, r);
        std::string s(buf);
        if (static_cast<int>(s.size()) <= width) {
            return std::string(static_cast<std::size_t>(width) - s.size(), ' ') + s;
        }
        if (dec == 0) break;
        // Without decimals the integer part alone must fit.
        if (dec > 0 && static_cast<int>(s.size()) - dec - 1 > width) break;
    }
    return std::string(static_cast<std::size_t>(width), '*');
}

namespace {

// The common shape of a stored number, "  -123.45": at most 15 digits, so that the digits as
// an integer and the power of ten are exact doubles and their quotient is the correctly
// rounded value, the same double strtod gives. nullopt for any other shape.
std::optional<double> parsePlainNumber(std::string_view s) {
    static const double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    std::size_t i = 0, n = s.size();
    while (i < n && s[i] == ' ')
        ++i;
    bool negative = false;
    if (i < n && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    std::uint64_t mantissa = 0;
    int digits = 0, decimals = -1;
    for (; i < n; ++i) {
        char c = s[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 15) return std::nullopt;
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            if (decimals >= 0) ++decimals;
        } else if (c == '.' && decimals < 0) {
            decimals = 0;
        } else {
            break;
        }
    }
    for (; i < n; ++i)
        if (s[i] != ' ') return std::nullopt;  // exponents and the like: the general way
    if (digits == 0) return std::nullopt;
    double v = static_cast<double>(mantissa);
    if (decimals > 0) v /= kPow10[decimals];
    return negative ? -v : v;
}

}  // namespace

double parseNumber(std::string_view s) {
    if (auto plain = parsePlainNumber(s)) return *plain;
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    std::string digits;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) digits += s[i++];
    bool any = false, dot = false;
    while (i < s.size()) {
        char c = s[i];
        if (c >= '0' && c <= '9') {
            any = true;
        } else if (c == '.' && !dot) {
            dot = true;
        } else if ((c == 'e' || c == 'E') && any) {
            std::size_t j = i + 1;
            if (j < s.size() && (s[j] == '-' || s[j] == '+')) ++j;
            if (j < s.size() && s[j] >= '0' && s[j] <= '9') {
                digits += s.substr(i, j - i);
                i = j;
                continue;
            }
            break;
        } else {
            break;
        }
        digits += c;
        ++i;
    }
    if (!any) return 0;
    return std::strtod(digits.c_str(), nullptr);
}

// ---- the compiled tree ------------------------------------------------------------------

struct Ctx {
    const Table* table;
    const char* record;
    std::uint32_t recno;
};

// A node evaluates into a value of its own and hands out a reference to it, so that
// evaluating the same expression record after record reuses that storage instead of
// allocating and copying: a compiled expression is for one thread at a time.
struct Expression::Node {
    ValueType type = ValueType::Null;
    mutable Value result;
    virtual ~Node() = default;
    virtual const Value& eval(const Ctx& c) const = 0;
    // Appends a character value to `out` without building it separately (index keys are
    // made this way); false when the value is null.
    virtual bool appendChars(const Ctx& c, std::string& out) const {
        const Value& v = eval(c);
        if (v.type == ValueType::Null) return false;
        out += v.str;
        return true;
    }
};

namespace {

using NodePtr = std::shared_ptr<const Expression::Node>;
using Node = Expression::Node;

void setNull(Value& v) {
    v.type = ValueType::Null;
    v.str.clear();
}
void setNumber(Value& v, double n) {
    v.type = ValueType::Number;
    v.num = n;
}
void setLogical(Value& v, bool b) {
    v.type = ValueType::Logical;
    v.log = b;
}

struct Literal final : Node {
    Value v;
    explicit Literal(Value value) : v(std::move(value)) { type = v.type; }
    const Value& eval(const Ctx&) const override { return v; }
};

struct FieldRef final : Node {
    const Field* f;
    const Translation* toAnsi;  // set in ANSI mode for OEM tables
    FieldRef(const Field* field, const Translation* t) : f(field), toAnsi(t) {
        switch (f->type) {
            case 'C':
            case 'V':
            case 'M':
            case 'Q':
                type = ValueType::Char;
                break;
            case 'D':
            case 'T':
                type = ValueType::Date;
                break;
            case 'L':
                type = ValueType::Logical;
                break;
            default:
                type = ValueType::Number;
                break;
        }
    }
    const Value& eval(const Ctx& c) const override {
        read(c, result);
        return result;
    }
    bool appendChars(const Ctx& c, std::string& out) const override {
        if (f->type != 'C' || f->nullBit >= 0) return Node::appendChars(c, out);
        std::size_t at = out.size();
        out.append(c.record + f->offset, f->length);
        if (toAnsi) toAnsi->apply(out.data() + at, f->length);
        return true;
    }
    void read(const Ctx& c, Value& out) const {
        const char* p = c.record + f->offset;
        if (f->nullBit >= 0 && c.table->isNull(c.record, *f)) return setNull(out);
        switch (f->type) {
            case 'C':
            case 'V':
            case 'Q': {
                std::string_view b = f->type == 'C' ? std::string_view(p, f->length)
                                                    : c.table->charBytes(c.record, *f);
                out.type = ValueType::Char;
                out.str.assign(b);
                if (toAnsi && f->type != 'Q') toAnsi->apply(out.str.data(), out.str.size());
                return;
            }
            case 'M': {
                out.type = ValueType::Char;
                out.str = c.table->memo(c.record, *f);
                if (!toAnsi && c.table->toAnsi())
                    c.table->fromAnsi()->apply(out.str.data(), out.str.size());
                return;
            }
            case 'N':
            case 'F':
                return setNumber(out, parseNumber(std::string_view(p, f->length)));
            case 'I':
                return setNumber(out, static_cast<std::int32_t>(le32(ucp(p))));
            case 'B': {
                double d;
                std::memcpy(&d, p, 8);
                return setNumber(out, d);
            }
            case 'Y': {
                std::int64_t v;
                std::memcpy(&v, p, 8);
                return setNumber(out, static_cast<double>(v) / 10000.0);
            }
            case 'D':
                out.type = ValueType::Date;
                out.num = julianFromDtos(std::string_view(p, 8));
                return;
            case 'T':
                out.type = ValueType::Date;
                out.num = static_cast<std::int32_t>(le32(ucp(p)));
                return;
            case 'L':
                return setLogical(out, *p == 'T' || *p == 't' || *p == 'Y' || *p == 'y');
            default:
                return setNull(out);
        }
    }
};

// The arguments of a function call, evaluated when (and each time) a function asks for one.
class Args {
  public:
    Args(const Ctx& c, const std::vector<NodePtr>& nodes) : c_(c), nodes_(nodes) {}
    std::size_t size() const { return nodes_.size(); }
    const Ctx& ctx() const { return c_; }
    const Value& operator[](std::size_t i) const { return nodes_[i]->eval(c_); }

  private:
    const Ctx& c_;
    const std::vector<NodePtr>& nodes_;
};

using Fn = std::function<void(const Args&, Value& out)>;

struct Call final : Node {
    std::vector<NodePtr> args;
    Fn fn;
    const Value& eval(const Ctx& c) const override {
        fn(Args(c, args), result);
        return result;
    }
};

// UPPER() and LOWER(): a byte map of the code page over the argument.
struct CaseMap final : Node {
    NodePtr x;
    const unsigned char* map;
    CaseMap(NodePtr arg, const unsigned char* table) : x(std::move(arg)), map(table) {
        type = ValueType::Char;
    }
    const Value& eval(const Ctx& c) const override {
        const Value& v = x->eval(c);
        if (v.type == ValueType::Null) {
            setNull(result);
            return result;
        }
        result.type = ValueType::Char;
        result.str.assign(v.str);
        apply(result.str, 0);
        return result;
    }
    bool appendChars(const Ctx& c, std::string& out) const override {
        std::size_t at = out.size();
        if (!x->appendChars(c, out)) return false;
        apply(out, at);
        return true;
    }
    void apply(std::string& s, std::size_t from) const {
        for (std::size_t i = from; i < s.size(); ++i)
            s[i] = static_cast<char>(map[static_cast<unsigned char>(s[i])]);
    }
};

// STR() of a numeric field with constant width and decimals: a stored number already in the
// form STR() gives ("  -12.50": no leading zeros, the same decimals, at most 15 digits) is
// copied as it stands; any other goes the general way.
struct StrOfField final : Node {
    NodePtr general;
    const Field* f;
    std::size_t width;
    std::size_t decimals;
    StrOfField(NodePtr call, const Field* field, std::size_t w, std::size_t d)
        : general(std::move(call)), f(field), width(w), decimals(d) {
        type = ValueType::Char;
    }
    // The stored number without its leading blanks, when it is in STR()'s own form.
    std::optional<std::string_view> plain(const Ctx& c) const {
        std::string_view s(c.record + f->offset, f->length);
        std::size_t i = 0;
        while (i < s.size() && s[i] == ' ')
            ++i;
        std::size_t start = i;
        bool negative = i < s.size() && s[i] == '-';
        if (negative) ++i;
        std::size_t intStart = i, digits = 0;
        bool nonZero = false;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            nonZero |= s[i++] != '0';
        std::size_t intDigits = i - intStart;
        if (intDigits == 0 || (intDigits > 1 && s[intStart] == '0')) return std::nullopt;
        digits = intDigits;
        if (decimals > 0) {
            if (i >= s.size() || s[i] != '.') return std::nullopt;
            ++i;
            std::size_t decStart = i;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9')
                nonZero |= s[i++] != '0';
            if (i - decStart != decimals) return std::nullopt;
            digits += decimals;
        }
        if (i != s.size() || digits > 15 || (negative && !nonZero)) return std::nullopt;
        if (s.size() - start > width) return std::nullopt;
        return s.substr(start);
    }
    const Value& eval(const Ctx& c) const override {
        auto p = plain(c);
        if (!p) return general->eval(c);
        result.type = ValueType::Char;
        result.str.assign(width - p->size(), ' ');
        result.str.append(*p);
        return result;
    }
    bool appendChars(const Ctx& c, std::string& out) const override {
        auto p = plain(c);
        if (!p) return general->appendChars(c, out);
        out.append(width - p->size(), ' ');
        out.append(*p);
        return true;
    }
};

struct ExprError {
    std::string text;
    bool unsupported = false;  // a function this engine does not evaluate
};

[[noreturn]] void err(const std::string& t) {
    throw ExprError{t};
}

bool anyNull(const Value& a, const Value& b) {
    return a.type == ValueType::Null || b.type == ValueType::Null;
}

// Character comparison as xBase does it with SET EXACT OFF: for "=" the right side is
// compared over its own length; ordering compares the texts padded with blanks.
int compareChars(const std::string& a, const std::string& b) {
    std::size_t n = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto ca = static_cast<unsigned char>(i < a.size() ? a[i] : ' ');
        auto cb = static_cast<unsigned char>(i < b.size() ? b[i] : ' ');
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return 0;
}

int compareValues(const Value& a, const Value& b) {
    switch (a.type) {
        case ValueType::Char:
            return compareChars(a.str, b.str);
        case ValueType::Logical:
            return (a.log ? 1 : 0) - (b.log ? 1 : 0);
        default:
            return a.num < b.num ? -1 : (a.num > b.num ? 1 : 0);
    }
}

enum class Op { Eq, ExactEq, Ne, Lt, Gt, Le, Ge, Contains };

struct Compare final : Node {
    Op op;
    NodePtr l, r;
    Compare(Op o, NodePtr x, NodePtr y) : op(o), l(std::move(x)), r(std::move(y)) {
        type = ValueType::Logical;
    }
    const Value& eval(const Ctx& c) const override {
        compare(l->eval(c), r->eval(c), result);
        return result;
    }
    void compare(const Value& a, const Value& b, Value& out) const {
        if (anyNull(a, b)) return setNull(out);
        if (op == Op::Contains) return setLogical(out, b.str.find(a.str) != std::string::npos);
        if (a.type == ValueType::Char && (op == Op::Eq || op == Op::Ne)) {
            bool eq = a.str.size() >= b.str.size() && a.str.compare(0, b.str.size(), b.str) == 0;
            return setLogical(out, op == Op::Eq ? eq : !eq);
        }
        if (op == Op::ExactEq && a.type == ValueType::Char) return setLogical(out, a.str == b.str);
        int cmp = compareValues(a, b);
        switch (op) {
            case Op::Eq:
            case Op::ExactEq:
                return setLogical(out, cmp == 0);
            case Op::Ne:
                return setLogical(out, cmp != 0);
            case Op::Lt:
                return setLogical(out, cmp < 0);
            case Op::Gt:
                return setLogical(out, cmp > 0);
            case Op::Le:
                return setLogical(out, cmp <= 0);
            case Op::Ge:
                return setLogical(out, cmp >= 0);
            case Op::Contains:
                break;
        }
        setNull(out);
    }
};

struct Logic final : Node {
    bool isAnd;
    NodePtr l, r;
    Logic(bool isAndOp, NodePtr x, NodePtr y) : isAnd(isAndOp), l(std::move(x)), r(std::move(y)) {
        type = ValueType::Logical;
    }
    const Value& eval(const Ctx& c) const override {
        const Value& a = l->eval(c);
        bool av = a.type == ValueType::Logical && a.log;
        if (isAnd == av) {  // .F. .AND. x is .F., .T. .OR. x is .T.: x is not evaluated
            const Value& b = r->eval(c);
            av = b.type == ValueType::Logical && b.log;
        }
        setLogical(result, av);
        return result;
    }
};

struct Not final : Node {
    NodePtr x;
    explicit Not(NodePtr n) : x(std::move(n)) { type = ValueType::Logical; }
    const Value& eval(const Ctx& c) const override {
        const Value& a = x->eval(c);
        if (a.type == ValueType::Null)
            setNull(result);
        else
            setLogical(result, !a.log);
        return result;
    }
};

struct Negate final : Node {
    NodePtr x;
    explicit Negate(NodePtr n) : x(std::move(n)) { type = ValueType::Number; }
    const Value& eval(const Ctx& c) const override {
        const Value& a = x->eval(c);
        if (a.type == ValueType::Null)
            setNull(result);
        else
            setNumber(result, -a.num);
        return result;
    }
};

struct Arith final : Node {
    char op;  // + - * / % ^ and 'c' (concatenate), 't' (concatenate moving blanks)
    NodePtr l, r;
    Arith(char o, NodePtr x, NodePtr y, ValueType t) : op(o), l(std::move(x)), r(std::move(y)) {
        type = t;
    }
    const Value& eval(const Ctx& c) const override {
        const Value& a = l->eval(c);
        result.type = a.type;
        result.num = a.num;
        result.log = a.log;
        result.str.assign(a.str);
        combine(r->eval(c), result);
        return result;
    }
    bool appendChars(const Ctx& c, std::string& out) const override {
        if (op != 'c') return Node::appendChars(c, out);
        return l->appendChars(c, out) && r->appendChars(c, out);
    }
    void combine(const Value& b, Value& out) const {
        if (anyNull(out, b)) return setNull(out);
        switch (op) {
            case 'c':
                out.str += b.str;
                return;
            case 't': {
                std::size_t end = out.str.find_last_not_of(' ');
                std::size_t blanks =
                    end == std::string::npos ? out.str.size() : out.str.size() - end - 1;
                out.str.resize(out.str.size() - blanks);
                out.str += b.str;
                out.str.append(blanks, ' ');
                return;
            }
            case '+':
                out.num += b.num;
                if (out.type == ValueType::Number && b.type == ValueType::Date)
                    out.type = ValueType::Date;
                return;
            case '-':
                if (out.type == ValueType::Date && b.type == ValueType::Date)
                    return setNumber(out, out.num - b.num);
                out.num -= b.num;
                return;
            case '*':
                return setNumber(out, out.num * b.num);
            case '/':
                if (b.num == 0) err("division by zero");
                return setNumber(out, out.num / b.num);
            case '%':
                if (b.num == 0) err("division by zero");
                return setNumber(out, out.num - b.num * std::floor(out.num / b.num));
            case '^':
                return setNumber(out, std::pow(out.num, b.num));
            default:
                return setNull(out);
        }
    }
};

// ---- lexer -------------------------------------------------------------------------------

enum class Tok {
    End,
    Number,
    String,
    Date,
    Ident,
    Op,
    LParen,
    RParen,
    Comma,
    True,
    False,
    And,
    Or,
    Not
};

struct Token {
    Tok kind = Tok::End;
    std::string text;
    double num = 0;
};

using ascii::upper;

bool identStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}
bool identChar(char c) {
    return identStart(c) || (c >= '0' && c <= '9');
}

class Lexer {
  public:
    explicit Lexer(std::string_view s) : s_(s) {}

    std::vector<Token> run() {
        std::vector<Token> out;
        while (true) {
            skipBlanks();
            if (i_ >= s_.size()) break;
            out.push_back(next());
        }
        out.push_back(Token{});
        return out;
    }

  private:
    void skipBlanks() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n'))
            ++i_;
    }

    // A word between dots: .AND. .OR. .NOT. .T. .F. .Y. .N.
    bool dotWord(Token& t) {
        std::size_t j = i_ + 1;
        while (j < s_.size() && identChar(s_[j]))
            ++j;
        if (j >= s_.size() || s_[j] != '.' || j == i_ + 1) return false;
        std::string w = upper(std::string(s_.substr(i_ + 1, j - i_ - 1)));
        if (w == "AND")
            t.kind = Tok::And;
        else if (w == "OR")
            t.kind = Tok::Or;
        else if (w == "NOT")
            t.kind = Tok::Not;
        else if (w == "T" || w == "Y")
            t.kind = Tok::True;
        else if (w == "F" || w == "N")
            t.kind = Tok::False;
        else
            return false;
        i_ = j + 1;
        return true;
    }

    Token next() {
        Token t;
        char c = s_[i_];
        if (c == '.' && dotWord(t)) return t;
        if ((c >= '0' && c <= '9') ||
            (c == '.' && i_ + 1 < s_.size() && s_[i_ + 1] >= '0' && s_[i_ + 1] <= '9')) {
            std::size_t j = i_;
            while (j < s_.size() && s_[j] >= '0' && s_[j] <= '9')
                ++j;
            if (j < s_.size() && s_[j] == '.' && j + 1 < s_.size() && s_[j + 1] >= '0' &&
                s_[j + 1] <= '9') {
                ++j;
                while (j < s_.size() && s_[j] >= '0' && s_[j] <= '9')
                    ++j;
            } else if (j < s_.size() && s_[j] == '.' &&
                       !(j + 1 < s_.size() && identStart(s_[j + 1]))) {
                ++j;  // "5." is a number
            }
            t.kind = Tok::Number;
            t.text = std::string(s_.substr(i_, j - i_));
            t.num = std::strtod(t.text.c_str(), nullptr);
            i_ = j;
            return t;
        }
        if (c == '\'' || c == '"' || c == '[') {
            char close = c == '[' ? ']' : c;
            // A quote doubled inside a quoted string stands for the quote itself.
            t.kind = Tok::String;
            std::size_t j = i_ + 1;
            while (true) {
                std::size_t k = s_.find(close, j);
                if (k == std::string_view::npos) err("a string is not closed");
                t.text.append(s_.substr(j, k - j));
                if (close != ']' && k + 1 < s_.size() && s_[k + 1] == close) {
                    t.text += close;
                    j = k + 2;
                    continue;
                }
                i_ = k + 1;
                return t;
            }
        }
        if (c == '{') {
            std::size_t j = s_.find('}', i_ + 1);
            if (j == std::string_view::npos) err("a date is not closed");
            t.kind = Tok::Date;
            t.text = std::string(s_.substr(i_ + 1, j - i_ - 1));
            i_ = j + 1;
            return t;
        }
        if (identStart(c)) {
            std::size_t j = i_;
            while (j < s_.size() && identChar(s_[j]))
                ++j;
            // An alias: "alias.field" or "alias->field"; the alias names this table.
            if (j + 1 < s_.size() && s_[j] == '-' && s_[j + 1] == '>') {
                i_ = j + 2;
                skipBlanks();
                if (i_ >= s_.size() || !identStart(s_[i_])) err("a field name must follow '->'");
                return next();
            }
            if (j < s_.size() && s_[j] == '.' && j + 1 < s_.size() && identStart(s_[j + 1])) {
                std::size_t save = i_;
                i_ = j;
                Token probe;
                if (!dotWord(probe)) {
                    i_ = j + 1;
                    return next();
                }
                i_ = save;
            }
            t.kind = Tok::Ident;
            t.text = std::string(s_.substr(i_, j - i_));
            i_ = j;
            return t;
        }
        i_++;
        switch (c) {
            case '(':
                t.kind = Tok::LParen;
                return t;
            case ')':
                t.kind = Tok::RParen;
                return t;
            case ',':
                t.kind = Tok::Comma;
                return t;
            case '!':
                if (i_ < s_.size() && s_[i_] == '=') {
                    ++i_;
                    t.kind = Tok::Op;
                    t.text = "<>";
                    return t;
                }
                t.kind = Tok::Not;
                return t;
            case '=':
                t.kind = Tok::Op;
                t.text = "=";
                if (i_ < s_.size() && s_[i_] == '=') {
                    ++i_;
                    t.text = "==";
                } else if (i_ < s_.size() && (s_[i_] == '>' || s_[i_] == '<')) {
                    // FoxPro takes "=>" and "=<" for ">=" and "<=".
                    t.text = std::string(1, s_[i_++]) + "=";
                }
                return t;
            case '<':
                t.kind = Tok::Op;
                t.text = "<";
                if (i_ < s_.size() && (s_[i_] == '=' || s_[i_] == '>')) t.text += s_[i_++];
                return t;
            case '>':
                t.kind = Tok::Op;
                t.text = ">";
                if (i_ < s_.size() && s_[i_] == '=') t.text += s_[i_++];
                return t;
            case '#':
                t.kind = Tok::Op;
                t.text = "<>";
                return t;
            case '*':
                t.kind = Tok::Op;
                t.text = "*";
                if (i_ < s_.size() && s_[i_] == '*') {
                    ++i_;
                    t.text = "^";
                }
                return t;
            case '+':
            case '-':
            case '/':
            case '%':
            case '^':
            case '$':
                t.kind = Tok::Op;
                t.text = std::string(1, c);
                return t;
            default:
                err(std::string("unexpected character '") + c + "'");
        }
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

// ---- functions ---------------------------------------------------------------------------

struct FnInfo {
    const char* name;
    int minArgs, maxArgs;
    // Checks the argument types and returns the result type.
    std::function<ValueType(const std::vector<NodePtr>&)> check;
    Fn fn;
};

struct CompileEnv {
    const Table* table;
    TextMode mode;
    const unsigned char* upper;
    const unsigned char* lower;
};

void need(const std::vector<NodePtr>& a, std::size_t i, ValueType t, const char* fname) {
    if (i < a.size() && a[i]->type != t && a[i]->type != ValueType::Null)
        err(std::string("argument ") + std::to_string(i + 1) + " of " + fname + "() must be " +
            typeName(t) + ", not " + typeName(a[i]->type));
}

// A count or position from a number: none for a negative number or NaN, and no more than any
// string of an expression can hold (so that no conversion overflows and no loop runs away).
std::size_t toCount(double n) {
    constexpr double kMost = 1 << 30;
    return !(n > 0)     ? 0
           : n >= kMost ? static_cast<std::size_t>(kMost)
                        : static_cast<std::size_t>(n);
}

// A small number argument (a width, a size) within [lo, hi]; lo for NaN.
int toSmall(double n, int lo, int hi) {
    return !(n > lo) ? lo : n >= hi ? hi : static_cast<int>(n);
}

std::string pad(std::string s, double width, char fill,
                int where /* -1 left, 0 centre, 1 right */) {
    std::size_t w = toCount(width);
    if (s.size() >= w) return s.substr(0, w);
    std::size_t extra = w - s.size();
    if (where < 0) return std::string(extra, fill) + s;
    if (where > 0) return s + std::string(extra, fill);
    std::size_t left = extra / 2;
    return std::string(left, fill) + s + std::string(extra - left, fill);
}

// Text of a value for the PAD functions and others that take any type.
std::string asText(const Value& v) {
    switch (v.type) {
        case ValueType::Char:
            return v.str;
        case ValueType::Number: {
            std::string s = formatNumber(v.num, 20, v.num == std::floor(v.num) ? 0 : 2);
            std::size_t b = s.find_first_not_of(' ');
            return b == std::string::npos ? s : s.substr(b);
        }
        case ValueType::Date:
            return dtoc(v.num);
        case ValueType::Logical:
            return v.log ? ".T." : ".F.";
        case ValueType::Null:
            return ".NULL.";
    }
    return {};
}

std::vector<FnInfo> functions(const CompileEnv& env) {
    using A = const std::vector<NodePtr>&;
    using V = ValueType;
    const unsigned char* up = env.upper;
    const unsigned char* lo = env.lower;
    std::vector<FnInfo> f;
    auto setChars = [](Value& out, std::string s) {
        out.type = V::Char;
        out.str = std::move(s);
    };
    // Functions of one character argument that rework the text in place.
    auto charFn = [&](const char* name, std::function<void(std::string&)> op) {
        f.push_back({name, 1, 1,
                     [name](A a) {
                         need(a, 0, V::Char, name);
                         return V::Char;
                     },
                     [op](const Args& a, Value& out) {
                         const Value& v = a[0];
                         if (v.type == V::Null) return setNull(out);
                         out.type = V::Char;
                         out.str.assign(v.str);
                         op(out.str);
                     }});
    };
    charFn("UPPER", [up](std::string& s) {
        for (char& ch : s)
            ch = static_cast<char>(up[static_cast<unsigned char>(ch)]);
    });
    charFn("LOWER", [lo](std::string& s) {
        for (char& ch : s)
            ch = static_cast<char>(lo[static_cast<unsigned char>(ch)]);
    });
    auto ltrim = [](std::string& s) {
        std::size_t b = s.find_first_not_of(' ');
        s.erase(0, b == std::string::npos ? s.size() : b);
    };
    auto rtrim = [](std::string& s) {
        std::size_t e = s.find_last_not_of(' ');
        s.resize(e == std::string::npos ? 0 : e + 1);
    };
    charFn("ALLTRIM", [ltrim, rtrim](std::string& s) {
        rtrim(s);
        ltrim(s);
    });
    // The sound of a name, as Knuth gives it: its first letter and the codes of the consonants
    // after it, a code repeated only where a vowel stands between (H and W do not part two
    // letters of one code), padded with zeros to four characters.
    charFn("SOUNDEX", [](std::string& s) {
        auto codeOf = [](char c) -> char {
            switch (c) {
                case 'B':
                case 'F':
                case 'P':
                case 'V':
                    return '1';
                case 'C':
                case 'G':
                case 'J':
                case 'K':
                case 'Q':
                case 'S':
                case 'X':
                case 'Z':
                    return '2';
                case 'D':
                case 'T':
                    return '3';
                case 'L':
                    return '4';
                case 'M':
                case 'N':
                    return '5';
                case 'R':
                    return '6';
                default:
                    return '\0';
            }
        };
        std::string out;
        char last = '\0';
        for (char c : s) {
            c = ascii::upper(c);
            if (c < 'A' || c > 'Z') continue;
            const char code = codeOf(c);
            if (out.empty()) {
                out += c;
            } else if (c == 'H' || c == 'W') {
                continue;
            } else if (code != '\0' && code != last) {
                out += code;
            }
            last = code;
            if (out.size() == 4) break;
        }
        if (out.empty()) out = "0";
        out.resize(4, '0');
        s = std::move(out);
    });
    charFn("LTRIM", ltrim);
    charFn("RTRIM", rtrim);
    charFn("TRIM", rtrim);

    f.push_back({"SUBSTR", 2, 3,
                 [](A a) {
                     need(a, 0, V::Char, "SUBSTR");
                     need(a, 1, V::Number, "SUBSTR");
                     need(a, 2, V::Number, "SUBSTR");
                     return V::Char;
                 },
                 [](const Args& a, Value& out) {
                     const std::string& s = a[0].str;
                     double start = a[1].num;
                     std::size_t b = start < 1 ? 0 : toCount(start) - 1;
                     out.type = V::Char;
                     if (b >= s.size()) return out.str.clear();
                     std::size_t n = a.size() > 2 ? toCount(a[2].num) : std::string::npos;
                     out.str.assign(s, b, n);
                 }});
    f.push_back({"LEFT", 2, 2,
                 [](A a) {
                     need(a, 0, V::Char, "LEFT");
                     need(a, 1, V::Number, "LEFT");
                     return V::Char;
                 },
                 [](const Args& a, Value& out) {
                     const std::string& s = a[0].str;
                     out.type = V::Char;
                     out.str.assign(s, 0, toCount(a[1].num));
                 }});
    f.push_back({"RIGHT", 2, 2,
                 [](A a) {
                     need(a, 0, V::Char, "RIGHT");
                     need(a, 1, V::Number, "RIGHT");
                     return V::Char;
                 },
                 [](const Args& a, Value& out) {
                     const std::string& s = a[0].str;
                     std::size_t n = std::min(toCount(a[1].num), s.size());
                     out.type = V::Char;
                     out.str.assign(s, s.size() - n, n);
                 }});
    auto padFn = [&](const char* name, int where) {
        f.push_back({name, 2, 3,
                     [name](A a) {
                         need(a, 1, V::Number, name);
                         need(a, 2, V::Char, name);
                         return V::Char;
                     },
                     [setChars, where](const Args& a, Value& out) {
                         std::string text = asText(a[0]);
                         double width = a[1].num;
                         char fill = ' ';
                         if (a.size() > 2 && !a[2].str.empty()) fill = a[2].str[0];
                         setChars(out, pad(std::move(text), width, fill, where));
                     }});
    };
    padFn("PADL", -1);
    padFn("PADR", 1);
    padFn("PADC", 0);
    f.push_back({"STR", 1, 3,
                 [](A a) {
                     need(a, 0, V::Number, "STR");
                     need(a, 1, V::Number, "STR");
                     need(a, 2, V::Number, "STR");
                     return V::Char;
                 },
                 [setChars](const Args& a, Value& out) {
                     double n = a[0].num;
                     int width = a.size() > 1 ? toSmall(a[1].num, -1, 255) : 10;
                     int dec = a.size() > 2 ? toSmall(a[2].num, -1, 255) : 0;
                     setChars(out, formatNumber(n, width, dec));
                 }});
    f.push_back({"VAL", 1, 1,
                 [](A a) {
                     need(a, 0, V::Char, "VAL");
                     return V::Number;
                 },
                 [](const Args& a, Value& out) { setNumber(out, parseNumber(a[0].str)); }});
    f.push_back({"DTOS", 1, 1,
                 [](A a) {
                     need(a, 0, V::Date, "DTOS");
                     return V::Char;
                 },
                 [setChars](const Args& a, Value& out) { setChars(out, dtos(a[0].num)); }});
    f.push_back({"DTOC", 1, 2,
                 [](A a) {
                     need(a, 0, V::Date, "DTOC");
                     return V::Char;
                 },
                 [setChars](const Args& a, Value& out) {
                     double jd = a[0].num;
                     setChars(out, a.size() > 1 ? dtos(jd) : dtoc(jd));  // DTOC(d, 1) is DTOS
                 }});
    f.push_back({"CTOD", 1, 1,
                 [](A a) {
                     need(a, 0, V::Char, "CTOD");
                     return V::Date;
                 },
                 [](const Args& a, Value& out) {
                     out.type = V::Date;
                     out.num = ctod(a[0].str);
                 }});
    f.push_back({"IIF", 3, 3,
                 [](A a) {
                     need(a, 0, V::Logical, "IIF");
                     return a[1]->type;
                 },
                 [](const Args& a, Value& out) {
                     const Value& cond = a[0];
                     const Value& v = a[cond.type == V::Logical && cond.log ? 1 : 2];
                     out = v;
                 }});
    auto atFn = [&](const char* name, bool fromRight) {
        f.push_back({name, 2, 3,
                     [name](A a) {
                         need(a, 0, V::Char, name);
                         need(a, 1, V::Char, name);
                         need(a, 2, V::Number, name);
                         return V::Number;
                     },
                     [fromRight](const Args& a, Value& out) {
                         const std::string& needle = a[0].str;
                         const std::string& hay = a[1].str;
                         std::size_t occurrence = a.size() > 2 ? toCount(a[2].num) : 1;
                         if (needle.empty() || occurrence == 0) return setNumber(out, 0);
                         std::size_t pos = fromRight ? std::string::npos : 0;
                         for (std::size_t k = 0; k < occurrence; ++k) {
                             if (k > 0) {
                                 if (fromRight) {
                                     if (pos == 0) return setNumber(out, 0);
                                     --pos;
                                 } else {
                                     ++pos;
                                 }
                             }
                             pos = fromRight ? hay.rfind(needle, pos) : hay.find(needle, pos);
                             if (pos == std::string::npos) return setNumber(out, 0);
                         }
                         setNumber(out, static_cast<double>(pos + 1));
                     }});
    };
    atFn("AT", false);
    atFn("RAT", true);
    f.push_back(
        {"LEN", 1, 1,
         [](A a) {
             need(a, 0, V::Char, "LEN");
             return V::Number;
         },
         [](const Args& a, Value& out) { setNumber(out, static_cast<double>(a[0].str.size())); }});
    f.push_back({"EMPTY", 1, 1, [](A) { return V::Logical; },
                 [](const Args& a, Value& out) {
                     const Value& v = a[0];
                     switch (v.type) {
                         case V::Char:
                             return setLogical(
                                 out, v.str.find_first_not_of(" \t\r\n") == std::string::npos);
                         case V::Number:
                         case V::Date:
                             return setLogical(out, v.num == 0);
                         case V::Logical:
                             return setLogical(out, !v.log);
                         case V::Null:
                             return setLogical(out, true);
                     }
                 }});
    f.push_back({"DELETED", 0, 0, [](A) { return V::Logical; },
                 [](const Args& a, Value& out) {
                     setLogical(out, a.ctx().record != nullptr && a.ctx().record[0] == '*');
                 }});
    f.push_back({"RECNO", 0, 0, [](A) { return V::Number; },
                 [](const Args& a, Value& out) { setNumber(out, a.ctx().recno); }});
    f.push_back({"SPACE", 1, 1,
                 [](A a) {
                     need(a, 0, V::Number, "SPACE");
                     return V::Char;
                 },
                 [](const Args& a, Value& out) {
                     out.type = V::Char;
                     out.str.assign(std::min<std::size_t>(toCount(a[0].num), 1u << 24), ' ');
                 }});
    f.push_back({"REPLICATE", 2, 2,
                 [](A a) {
                     need(a, 0, V::Char, "REPLICATE");
                     need(a, 1, V::Number, "REPLICATE");
                     return V::Char;
                 },
                 [](const Args& a, Value& out) {
                     std::string s = a[0].str;
                     std::size_t n = s.empty() ? 0 : toCount(a[1].num);
                     if (s.size() * n > (1u << 24)) err("REPLICATE() result too long");
                     out.type = V::Char;
                     out.str.clear();
                     for (std::size_t k = 0; k < n; ++k)
                         out.str += s;
                 }});
    f.push_back({"STRTRAN", 2, 3,
                 [](A a) {
                     need(a, 0, V::Char, "STRTRAN");
                     need(a, 1, V::Char, "STRTRAN");
                     need(a, 2, V::Char, "STRTRAN");
                     return V::Char;
                 },
                 [](const Args& a, Value& out) {
                     std::string s = a[0].str, what = a[1].str;
                     std::string with = a.size() > 2 ? a[2].str : std::string();
                     out.type = V::Char;
                     if (what.empty()) {
                         out.str = std::move(s);
                         return;
                     }
                     out.str.clear();
                     std::size_t pos = 0;
                     while (true) {
                         std::size_t k = s.find(what, pos);
                         if (k == std::string::npos) break;
                         out.str.append(s, pos, k - pos);
                         out.str += with;
                         pos = k + what.size();
                     }
                     out.str.append(s, pos, std::string::npos);
                 }});
    auto numFn = [&](const char* name, double (*op)(double)) {
        f.push_back({name, 1, 1,
                     [name](A a) {
                         need(a, 0, V::Number, name);
                         return V::Number;
                     },
                     [op](const Args& a, Value& out) {
                         const Value& v = a[0];
                         if (v.type == V::Null) return setNull(out);
                         setNumber(out, op(v.num));
                     }});
    };
    numFn("INT", [](double x) { return std::trunc(x); });
    numFn("ABS", [](double x) { return std::fabs(x); });
    f.push_back({"ROUND", 2, 2,
                 [](A a) {
                     need(a, 0, V::Number, "ROUND");
                     need(a, 1, V::Number, "ROUND");
                     return V::Number;
                 },
                 [](const Args& a, Value& out) {
                     double x = a[0].num;
                     double scale = std::pow(10.0, a[1].num);
                     double r =
                         std::round(std::fabs(x) * scale * (1 + 4 * 2.220446049250313e-16)) / scale;
                     setNumber(out, x < 0 ? -r : r);
                 }});
    auto extreme = [&](const char* name, bool wantMax) {
        f.push_back({name, 2, 32,
                     [name](A a) {
                         for (std::size_t i = 1; i < a.size(); ++i)
                             need(a, i, a[0]->type, name);
                         return a[0]->type;
                     },
                     [wantMax](const Args& a, Value& out) {
                         out = a[0];
                         for (std::size_t i = 1; i < a.size(); ++i) {
                             const Value& v = a[i];
                             if (anyNull(out, v)) return setNull(out);
                             int cmp = compareValues(v, out);
                             if (wantMax ? cmp > 0 : cmp < 0) out = v;
                         }
                     }});
    };
    extreme("MAX", true);
    extreme("MIN", false);
    f.push_back({"BINTOC", 1, 2,
                 [](A a) {
                     need(a, 0, V::Number, "BINTOC");
                     need(a, 1, V::Number, "BINTOC");
                     return V::Char;
                 },
                 [](const Args& a, Value& out) {
                     double x = a[0].num;
                     int size = a.size() > 1 ? toSmall(a[1].num, 0, 8) : 4;
                     if (size != 1 && size != 2 && size != 4)
                         err("BINTOC() size must be 1, 2 or 4");
                     if (!(std::fabs(x) < 4294967296.0)) err("BINTOC() value out of range");
                     auto v = static_cast<std::int64_t>(std::trunc(x));
                     std::int64_t lim = std::int64_t{1} << (8 * size - 1);
                     if (v < -lim || v >= lim) err("BINTOC() value out of range");
                     auto u = static_cast<std::uint64_t>(v + lim);  // sign bit flipped
                     out.type = V::Char;
                     out.str.assign(static_cast<std::size_t>(size), '\0');
                     for (int k = 0; k < size; ++k)
                         out.str[static_cast<std::size_t>(k)] =
                             static_cast<char>((u >> (8 * (size - 1 - k))) & 0xFF);
                 }});
    return f;
}

// ---- parser ------------------------------------------------------------------------------

class Parser {
  public:
    Parser(std::vector<Token> toks, const CompileEnv& env)
        : t_(std::move(toks)), env_(env), fns_(functions(env)) {}

    NodePtr parse() {
        NodePtr n = orExpr();
        if (t_[p_].kind != Tok::End) err("unexpected '" + describe(t_[p_]) + "'");
        return n;
    }

  private:
    static std::string describe(const Token& t) {
        switch (t.kind) {
            case Tok::End:
                return "end";
            case Tok::And:
                return ".AND.";
            case Tok::Or:
                return ".OR.";
            case Tok::Not:
                return ".NOT.";
            case Tok::True:
                return ".T.";
            case Tok::False:
                return ".F.";
            case Tok::LParen:
                return "(";
            case Tok::RParen:
                return ")";
            case Tok::Comma:
                return ",";
            default:
                return t.text;
        }
    }
    const Token& peek() const { return t_[p_]; }
    bool isOp(const char* op) const { return peek().kind == Tok::Op && peek().text == op; }
    void expect(Tok k, const char* what) {
        if (peek().kind != k)
            err(std::string("expected ") + what + " before '" + describe(peek()) + "'");
        ++p_;
    }

    static void wantType(const NodePtr& n, ValueType t, const char* op) {
        if (n->type != t && n->type != ValueType::Null)
            err(std::string("operator ") + op + " needs " + typeName(t) + " operands, not " +
                typeName(n->type));
    }

    // Nesting (parentheses, arguments, signs) deep enough to overflow the stack is refused.
    struct Deeper {
        explicit Deeper(int& depth) : d(depth) {
            if (++d > 200) err("the expression is nested too deeply");
        }
        ~Deeper() { --d; }
        int& d;
    };
    NodePtr orExpr() {
        Deeper deeper(depth_);
        NodePtr l = andExpr();
        while (peek().kind == Tok::Or) {
            ++p_;
            NodePtr r = andExpr();
            wantType(l, ValueType::Logical, ".OR.");
            wantType(r, ValueType::Logical, ".OR.");
            l = std::make_shared<Logic>(false, l, r);
        }
        return l;
    }
    NodePtr andExpr() {
        NodePtr l = notExpr();
        while (peek().kind == Tok::And) {
            ++p_;
            NodePtr r = notExpr();
            wantType(l, ValueType::Logical, ".AND.");
            wantType(r, ValueType::Logical, ".AND.");
            l = std::make_shared<Logic>(true, l, r);
        }
        return l;
    }
    NodePtr notExpr() {
        if (peek().kind == Tok::Not) {
            ++p_;
            NodePtr x = notExpr();
            wantType(x, ValueType::Logical, ".NOT.");
            return std::make_shared<Not>(x);
        }
        return relExpr();
    }
    NodePtr relExpr() {
        NodePtr l = addExpr();
        static const std::pair<const char*, Op> ops[] = {
            {"=", Op::Eq}, {"==", Op::ExactEq}, {"<>", Op::Ne}, {"<", Op::Lt},
            {">", Op::Gt}, {"<=", Op::Le},      {">=", Op::Ge}, {"$", Op::Contains}};
        while (peek().kind == Tok::Op) {
            const Op* found = nullptr;
            for (const auto& [text, op] : ops)
                if (peek().text == text) found = &op;
            if (!found) break;
            std::string opText = peek().text;
            ++p_;
            NodePtr r = addExpr();
            if (*found == Op::Contains) {
                wantType(l, ValueType::Char, "$");
                wantType(r, ValueType::Char, "$");
            } else if (l->type != r->type && l->type != ValueType::Null &&
                       r->type != ValueType::Null) {
                err("cannot compare " + std::string(typeName(l->type)) + " with " +
                    typeName(r->type) + " by " + opText);
            }
            l = std::make_shared<Compare>(*found, l, r);
        }
        return l;
    }
    NodePtr addExpr() {
        NodePtr l = mulExpr();
        while (isOp("+") || isOp("-")) {
            char op = peek().text[0];
            ++p_;
            NodePtr r = mulExpr();
            ValueType a = l->type, b = r->type;
            if (a == ValueType::Char && b == ValueType::Char) {
                l = std::make_shared<Arith>(op == '+' ? 'c' : 't', l, r, ValueType::Char);
            } else if (a == ValueType::Number && b == ValueType::Number) {
                l = std::make_shared<Arith>(op, l, r, ValueType::Number);
            } else if (a == ValueType::Date && b == ValueType::Number) {
                l = std::make_shared<Arith>(op, l, r, ValueType::Date);
            } else if (op == '+' && a == ValueType::Number && b == ValueType::Date) {
                l = std::make_shared<Arith>(op, l, r, ValueType::Date);
            } else if (op == '-' && a == ValueType::Date && b == ValueType::Date) {
                l = std::make_shared<Arith>(op, l, r, ValueType::Number);
            } else {
                err(std::string("operator ") + op + " cannot combine " + typeName(a) + " and " +
                    typeName(b));
            }
        }
        return l;
    }
    NodePtr mulExpr() {
        NodePtr l = powExpr();
        while (isOp("*") || isOp("/") || isOp("%")) {
            char op = peek().text[0];
            ++p_;
            NodePtr r = powExpr();
            wantType(l, ValueType::Number, std::string(1, op).c_str());
            wantType(r, ValueType::Number, std::string(1, op).c_str());
            l = std::make_shared<Arith>(op, l, r, ValueType::Number);
        }
        return l;
    }
    NodePtr powExpr() {
        NodePtr l = unary();
        if (isOp("^")) {
            ++p_;
            NodePtr r = powExpr();
            wantType(l, ValueType::Number, "^");
            wantType(r, ValueType::Number, "^");
            l = std::make_shared<Arith>('^', l, r, ValueType::Number);
        }
        return l;
    }
    NodePtr unary() {
        Deeper deeper(depth_);
        if (isOp("-")) {
            ++p_;
            NodePtr x = unary();
            wantType(x, ValueType::Number, "-");
            return std::make_shared<Negate>(x);
        }
        if (isOp("+")) {
            ++p_;
            NodePtr x = unary();
            wantType(x, ValueType::Number, "+");
            return x;
        }
        return primary();
    }
    NodePtr primary() {
        Token t = peek();
        switch (t.kind) {
            case Tok::Number:
                ++p_;
                return std::make_shared<Literal>(Value::number(t.num));
            case Tok::String:
                ++p_;
                return std::make_shared<Literal>(Value::chars(t.text));
            case Tok::True:
                ++p_;
                return std::make_shared<Literal>(Value::logical(true));
            case Tok::False:
                ++p_;
                return std::make_shared<Literal>(Value::logical(false));
            case Tok::Date:
                ++p_;
                return std::make_shared<Literal>(Value::date(dateLiteral(t.text)));
            case Tok::LParen: {
                ++p_;
                NodePtr n = orExpr();
                expect(Tok::RParen, "')'");
                return n;
            }
            case Tok::Ident: {
                ++p_;
                if (peek().kind == Tok::LParen) return call(t.text);
                return field(t.text);
            }
            case Tok::End:
                err("the expression ends too early");
            default:
                err("unexpected '" + describe(t) + "'");
        }
    }

    static double dateLiteral(const std::string& text) {
        std::string s = text;
        s.erase(0, s.find_first_not_of(' '));
        if (s.empty() || s == "/  /" || s == "^") return 0;
        if (s[0] == '^') {
            int y = 0, m = 0, d = 0;
            if (std::sscanf(s.c_str() + 1, "%d-%d-%d", &y, &m, &d) != 3 &&
                std::sscanf(s.c_str() + 1, "%d/%d/%d", &y, &m, &d) != 3)
                err("bad date {" + text + "}");
            if (m < 1 || m > 12 || d < 1 || d > 31) err("bad date {" + text + "}");
            return julianDay(y, m, d);
        }
        double jd = ctod(s);
        if (jd == 0) err("bad date {" + text + "}");
        return jd;
    }

    NodePtr field(const std::string& name) {
        const Field* f = env_.table ? env_.table->field(name) : nullptr;
        if (!f || f->type == '0') err("field " + upper(name) + " does not exist");
        const Translation* t = env_.mode == TextMode::Ansi ? env_.table->toAnsi() : nullptr;
        return std::make_shared<FieldRef>(f, t);
    }

    NodePtr call(const std::string& rawName) {
        std::string name = upper(rawName);
        const FnInfo* fn = nullptr;
        for (const FnInfo& i : fns_)
            if (name == i.name) fn = &i;
        if (!fn && name.size() >= 4) {  // xBase accepts a name cut to four letters or more
            for (const FnInfo& i : fns_) {
                if (std::string_view(i.name).substr(0, name.size()) == name) {
                    if (fn) err("function " + name + "() is ambiguous");
                    fn = &i;
                }
            }
        }
        if (!fn) throw ExprError{"the function " + name + "() is unsupported", true};
        ++p_;  // (
        auto node = std::make_shared<Call>();
        if (peek().kind != Tok::RParen) {
            while (true) {
                node->args.push_back(orExpr());
                if (peek().kind != Tok::Comma) break;
                ++p_;
            }
        }
        expect(Tok::RParen, "')'");
        int n = static_cast<int>(node->args.size());
        if (n < fn->minArgs || n > fn->maxArgs)
            err(std::string(fn->name) + "() takes " + std::to_string(fn->minArgs) +
                (fn->maxArgs != fn->minArgs ? " to " + std::to_string(fn->maxArgs) : "") +
                " arguments, not " + std::to_string(n));
        node->type = fn->check(node->args);
        node->fn = fn->fn;
        std::string_view fname = fn->name;
        if (fname == "STR" && node->args.size() == 3) {
            const auto* field = dynamic_cast<const FieldRef*>(node->args[0].get());
            const auto* w = dynamic_cast<const Literal*>(node->args[1].get());
            const auto* d = dynamic_cast<const Literal*>(node->args[2].get());
            if (field && w && d && (field->f->type == 'N' || field->f->type == 'F') &&
                field->f->nullBit < 0 && w->v.num >= 1 && w->v.num <= 255 && d->v.num >= 0 &&
                d->v.num <= 15 && w->v.num == std::floor(w->v.num) &&
                d->v.num == std::floor(d->v.num))
                return std::make_shared<StrOfField>(node, field->f,
                                                    static_cast<std::size_t>(w->v.num),
                                                    static_cast<std::size_t>(d->v.num));
        }
        if (fname == "UPPER" || fname == "LOWER")
            return std::make_shared<CaseMap>(node->args[0],
                                             fname == "UPPER" ? env_.upper : env_.lower);
        return node;
    }

    std::vector<Token> t_;
    std::size_t p_ = 0;
    int depth_ = 0;
    CompileEnv env_;
    std::vector<FnInfo> fns_;
};

}  // namespace

Expression Expression::compile(std::string_view text, const Table* table, TextMode mode) {
    auto fullText = std::string(text);
    std::string_view trimmed = text;
    while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\0'))
        trimmed.remove_prefix(1);
    while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\0'))
        trimmed.remove_suffix(1);
    if (trimmed.empty()) fail(code::kExpression, "The expression is empty");
    int cpNumber = kAnsiCodePage;
    if (table && mode == TextMode::Raw) cpNumber = table->codePage();
    const CodePage& cp = CodePage::get(cpNumber);
    // The code page tables live for the whole program, so the tree may keep raw pointers.
    CompileEnv env{table, mode, cp.upperTable(), cp.lowerTable()};
    Expression e;
    try {
        Lexer lexer(trimmed);
        Parser parser(lexer.run(), env);
        e.root_ = parser.parse();
    } catch (const ExprError& x) {
        fail(x.unsupported ? code::kUnsupported : code::kExpression,
             "Error in expression '" + fullText + "': " + x.text);
    }
    e.text_ = std::string(trimmed);
    e.type_ = e.root_->type;
    e.table_ = table;
    return e;
}

Value Expression::evaluate(const char* record, std::uint32_t recno) const {
    return evaluateRef(record, recno);
}

const Value& Expression::evaluateRef(const char* record, std::uint32_t recno) const {
    if (!root_) fail(code::kExpression, "The expression is empty");
    try {
        return root_->eval(Ctx{table_, record, recno});
    } catch (const ExprError& x) {
        fail(code::kExpression, "Error in expression '" + text_ + "': " + x.text);
    }
}

bool Expression::appendChars(const char* record, std::uint32_t recno, std::string& out) const {
    if (!root_) fail(code::kExpression, "The expression is empty");
    try {
        return root_->appendChars(Ctx{table_, record, recno}, out);
    } catch (const ExprError& x) {
        fail(code::kExpression, "Error in expression '" + text_ + "': " + x.text);
    }
}

namespace {

bool collectKeyFields(const Node* n, std::vector<const Field*>& out) {
    if (const auto* f = dynamic_cast<const FieldRef*>(n)) {
        if (f->type != ValueType::Char) return false;
        out.push_back(f->f);
        return true;
    }
    if (const auto* a = dynamic_cast<const Arith*>(n))
        return a->op == 'c' && collectKeyFields(a->l.get(), out) &&
               collectKeyFields(a->r.get(), out);
    if (const auto* m = dynamic_cast<const CaseMap*>(n)) return collectKeyFields(m->x.get(), out);
    return false;
}

}  // namespace

std::optional<std::vector<const Field*>> Expression::keyFields() const {
    std::vector<const Field*> out;
    if (!root_ || !collectKeyFields(root_.get(), out)) return std::nullopt;
    return out;
}

bool Expression::test(const char* record, std::uint32_t recno) const {
    const Value& v = evaluateRef(record, recno);
    if (v.type == ValueType::Null) return false;
    if (v.type != ValueType::Logical)
        fail(code::kExpression, "Error in expression '" + text_ + "': the result is " +
                                    typeName(v.type) + ", not logical");
    return v.log;
}

}  // namespace xbase
