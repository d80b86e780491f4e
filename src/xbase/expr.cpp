#include "xbase/expr.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

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

std::string dtos(double jd) {
    if (jd <= 0) return std::string(8, ' ');
    int y, m, d;
    civilFromJulian(static_cast<std::int32_t>(jd), y, m, d);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", y % 10000, m, d);
    return buf;
}

std::string dtoc(double jd) {
    const DateFormat& f = dateFormat();
    int width = f.century ? 10 : 8;
    if (jd <= 0) {
        std::string blank(static_cast<std::size_t>(width), ' ');
        blank[2] = f.separator;
        blank[5] = f.separator;
        return blank;
    }
    int y, m, d;
    civilFromJulian(static_cast<std::int32_t>(jd), y, m, d);
    std::string out;
    for (int i = 0; i < 3; ++i) {
        char buf[8];
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
        char u = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
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

double parseNumber(std::string_view s) {
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

struct Expression::Node {
    ValueType type = ValueType::Null;
    virtual ~Node() = default;
    virtual Value eval(const Ctx& c) const = 0;
};

namespace {

using NodePtr = std::shared_ptr<const Expression::Node>;
using Node = Expression::Node;

struct Literal final : Node {
    Value v;
    explicit Literal(Value value) : v(std::move(value)) { type = v.type; }
    Value eval(const Ctx&) const override { return v; }
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
    Value eval(const Ctx& c) const override {
        const char* p = c.record + f->offset;
        if (c.table->isNull(c.record, *f)) return Value{};
        switch (f->type) {
            case 'C':
            case 'V':
            case 'Q': {
                std::string_view b = c.table->charBytes(c.record, *f);
                Value v = Value::chars(std::string(b));
                if (toAnsi && f->type != 'Q') toAnsi->apply(v.str.data(), v.str.size());
                return v;
            }
            case 'M': {
                std::string m = c.table->memo(c.record, *f);
                if (!toAnsi && c.table->toAnsi()) c.table->fromAnsi()->apply(m.data(), m.size());
                return Value::chars(std::move(m));
            }
            case 'N':
            case 'F':
                return Value::number(parseNumber(std::string_view(p, f->length)));
            case 'I':
                return Value::number(static_cast<std::int32_t>(le32(ucp(p))));
            case 'B': {
                double d;
                std::memcpy(&d, p, 8);
                return Value::number(d);
            }
            case 'Y': {
                std::int64_t v;
                std::memcpy(&v, p, 8);
                return Value::number(static_cast<double>(v) / 10000.0);
            }
            case 'D':
                return Value::date(julianFromDtos(std::string_view(p, 8)));
            case 'T':
                return Value::date(static_cast<std::int32_t>(le32(ucp(p))));
            case 'L':
                return Value::logical(*p == 'T' || *p == 't' || *p == 'Y' || *p == 'y');
            default:
                return Value{};
        }
    }
};

using Fn = std::function<Value(const Ctx&, const std::vector<NodePtr>&)>;

struct Call final : Node {
    std::vector<NodePtr> args;
    Fn fn;
    Value eval(const Ctx& c) const override { return fn(c, args); }
};

struct ExprError {
    std::string text;
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
    Compare(Op o, NodePtr a, NodePtr b) : op(o), l(std::move(a)), r(std::move(b)) {
        type = ValueType::Logical;
    }
    Value eval(const Ctx& c) const override {
        Value a = l->eval(c), b = r->eval(c);
        if (anyNull(a, b)) return Value{};
        if (op == Op::Contains) return Value::logical(b.str.find(a.str) != std::string::npos);
        if (a.type == ValueType::Char && (op == Op::Eq || op == Op::Ne)) {
            bool eq = a.str.size() >= b.str.size() && a.str.compare(0, b.str.size(), b.str) == 0;
            return Value::logical(op == Op::Eq ? eq : !eq);
        }
        if (op == Op::ExactEq && a.type == ValueType::Char) return Value::logical(a.str == b.str);
        int cmp = compareValues(a, b);
        switch (op) {
            case Op::Eq:
            case Op::ExactEq:
                return Value::logical(cmp == 0);
            case Op::Ne:
                return Value::logical(cmp != 0);
            case Op::Lt:
                return Value::logical(cmp < 0);
            case Op::Gt:
                return Value::logical(cmp > 0);
            case Op::Le:
                return Value::logical(cmp <= 0);
            case Op::Ge:
                return Value::logical(cmp >= 0);
            case Op::Contains:
                break;
        }
        return Value{};
    }
};

struct Logic final : Node {
    bool isAnd;
    NodePtr l, r;
    Logic(bool a, NodePtr x, NodePtr y) : isAnd(a), l(std::move(x)), r(std::move(y)) {
        type = ValueType::Logical;
    }
    Value eval(const Ctx& c) const override {
        Value a = l->eval(c);
        bool av = a.type == ValueType::Logical && a.log;
        if (isAnd && !av) return Value::logical(false);
        if (!isAnd && av) return Value::logical(true);
        Value b = r->eval(c);
        return Value::logical(b.type == ValueType::Logical && b.log);
    }
};

struct Not final : Node {
    NodePtr x;
    explicit Not(NodePtr n) : x(std::move(n)) { type = ValueType::Logical; }
    Value eval(const Ctx& c) const override {
        Value a = x->eval(c);
        if (a.type == ValueType::Null) return a;
        return Value::logical(!a.log);
    }
};

struct Negate final : Node {
    NodePtr x;
    explicit Negate(NodePtr n) : x(std::move(n)) { type = ValueType::Number; }
    Value eval(const Ctx& c) const override {
        Value a = x->eval(c);
        if (a.type == ValueType::Null) return a;
        return Value::number(-a.num);
    }
};

struct Arith final : Node {
    char op;  // + - * / % ^ and 'c' (concatenate), 't' (concatenate moving blanks)
    NodePtr l, r;
    Arith(char o, NodePtr a, NodePtr b, ValueType t) : op(o), l(std::move(a)), r(std::move(b)) {
        type = t;
    }
    Value eval(const Ctx& c) const override {
        Value a = l->eval(c), b = r->eval(c);
        if (anyNull(a, b)) return Value{};
        switch (op) {
            case 'c':
                a.str += b.str;
                return a;
            case 't': {
                std::size_t end = a.str.find_last_not_of(' ');
                std::size_t blanks =
                    end == std::string::npos ? a.str.size() : a.str.size() - end - 1;
                a.str.resize(a.str.size() - blanks);
                a.str += b.str;
                a.str.append(blanks, ' ');
                return a;
            }
            case '+':
                a.num += b.num;
                if (a.type == ValueType::Number && b.type == ValueType::Date)
                    a.type = ValueType::Date;
                return a;
            case '-':
                if (a.type == ValueType::Date && b.type == ValueType::Date)
                    return Value::number(a.num - b.num);
                a.num -= b.num;
                return a;
            case '*':
                return Value::number(a.num * b.num);
            case '/':
                if (b.num == 0) err("division by zero");
                return Value::number(a.num / b.num);
            case '%':
                if (b.num == 0) err("division by zero");
                return Value::number(a.num - b.num * std::floor(a.num / b.num));
            case '^':
                return Value::number(std::pow(a.num, b.num));
            default:
                return Value{};
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

char upperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

std::string upperAscii(std::string s) {
    for (char& c : s)
        c = upperAscii(c);
    return s;
}

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
        std::string w = upperAscii(std::string(s_.substr(i_ + 1, j - i_ - 1)));
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
            std::size_t j = s_.find(close, i_ + 1);
            if (j == std::string_view::npos) err("a string is not closed");
            t.kind = Tok::String;
            t.text = std::string(s_.substr(i_ + 1, j - i_ - 1));
            i_ = j + 1;
            return t;
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

std::size_t toCount(double n) {
    return n <= 0 ? 0 : static_cast<std::size_t>(n);
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
    auto C = [](const Ctx& c, A a, std::size_t i) { return a[i]->eval(c); };
    const unsigned char* up = env.upper;
    const unsigned char* lo = env.lower;
    std::vector<FnInfo> f;
    auto charFn = [&](const char* name, std::function<std::string(std::string)> op) {
        f.push_back({name, 1, 1,
                     [name](A a) {
                         need(a, 0, V::Char, name);
                         return V::Char;
                     },
                     [op, C](const Ctx& c, A a) {
                         Value v = C(c, a, 0);
                         if (v.type == V::Null) return v;
                         v.str = op(std::move(v.str));
                         return v;
                     }});
    };
    charFn("UPPER", [up](std::string s) {
        for (char& ch : s)
            ch = static_cast<char>(up[static_cast<unsigned char>(ch)]);
        return s;
    });
    charFn("LOWER", [lo](std::string s) {
        for (char& ch : s)
            ch = static_cast<char>(lo[static_cast<unsigned char>(ch)]);
        return s;
    });
    auto ltrim = [](std::string s) {
        std::size_t b = s.find_first_not_of(' ');
        return b == std::string::npos ? std::string() : s.substr(b);
    };
    auto rtrim = [](std::string s) {
        std::size_t e = s.find_last_not_of(' ');
        s.resize(e == std::string::npos ? 0 : e + 1);
        return s;
    };
    charFn("ALLTRIM", [ltrim, rtrim](std::string s) { return ltrim(rtrim(std::move(s))); });
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
                 [C](const Ctx& c, A a) {
                     Value s = C(c, a, 0);
                     double start = C(c, a, 1).num;
                     if (start < 1) start = 1;
                     std::size_t b = toCount(start) - 1;
                     if (b >= s.str.size()) return Value::chars("");
                     std::size_t n = a.size() > 2 ? toCount(C(c, a, 2).num) : std::string::npos;
                     return Value::chars(s.str.substr(b, n));
                 }});
    f.push_back({"LEFT", 2, 2,
                 [](A a) {
                     need(a, 0, V::Char, "LEFT");
                     need(a, 1, V::Number, "LEFT");
                     return V::Char;
                 },
                 [C](const Ctx& c, A a) {
                     Value s = C(c, a, 0);
                     return Value::chars(s.str.substr(0, toCount(C(c, a, 1).num)));
                 }});
    f.push_back({"RIGHT", 2, 2,
                 [](A a) {
                     need(a, 0, V::Char, "RIGHT");
                     need(a, 1, V::Number, "RIGHT");
                     return V::Char;
                 },
                 [C](const Ctx& c, A a) {
                     Value s = C(c, a, 0);
                     std::size_t n = std::min(toCount(C(c, a, 1).num), s.str.size());
                     return Value::chars(s.str.substr(s.str.size() - n));
                 }});
    auto padFn = [&](const char* name, int where) {
        f.push_back({name, 2, 3,
                     [name](A a) {
                         need(a, 1, V::Number, name);
                         need(a, 2, V::Char, name);
                         return V::Char;
                     },
                     [C, where](const Ctx& c, A a) {
                         std::string fill = a.size() > 2 ? C(c, a, 2).str : " ";
                         return Value::chars(pad(asText(C(c, a, 0)), C(c, a, 1).num,
                                                 fill.empty() ? ' ' : fill[0], where));
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
                 [C](const Ctx& c, A a) {
                     double n = C(c, a, 0).num;
                     int width = a.size() > 1 ? static_cast<int>(C(c, a, 1).num) : 10;
                     int dec = a.size() > 2 ? static_cast<int>(C(c, a, 2).num) : 0;
                     if (width > 255) width = 255;
                     return Value::chars(formatNumber(n, width, dec));
                 }});
    f.push_back({"VAL", 1, 1,
                 [](A a) {
                     need(a, 0, V::Char, "VAL");
                     return V::Number;
                 },
                 [C](const Ctx& c, A a) { return Value::number(parseNumber(C(c, a, 0).str)); }});
    f.push_back({"DTOS", 1, 1,
                 [](A a) {
                     need(a, 0, V::Date, "DTOS");
                     return V::Char;
                 },
                 [C](const Ctx& c, A a) { return Value::chars(dtos(C(c, a, 0).num)); }});
    f.push_back({"DTOC", 1, 2,
                 [](A a) {
                     need(a, 0, V::Date, "DTOC");
                     return V::Char;
                 },
                 [C](const Ctx& c, A a) {
                     double jd = C(c, a, 0).num;
                     if (a.size() > 1) return Value::chars(dtos(jd));  // DTOC(d, 1)
                     return Value::chars(dtoc(jd));
                 }});
    f.push_back({"CTOD", 1, 1,
                 [](A a) {
                     need(a, 0, V::Char, "CTOD");
                     return V::Date;
                 },
                 [C](const Ctx& c, A a) { return Value::date(ctod(C(c, a, 0).str)); }});
    f.push_back({"IIF", 3, 3,
                 [](A a) {
                     need(a, 0, V::Logical, "IIF");
                     return a[1]->type;
                 },
                 [C](const Ctx& c, A a) {
                     Value cond = C(c, a, 0);
                     return C(c, a, cond.type == V::Logical && cond.log ? 1 : 2);
                 }});
    auto atFn = [&](const char* name, bool fromRight) {
        f.push_back({name, 2, 3,
                     [name](A a) {
                         need(a, 0, V::Char, name);
                         need(a, 1, V::Char, name);
                         need(a, 2, V::Number, name);
                         return V::Number;
                     },
                     [C, fromRight](const Ctx& c, A a) {
                         Value needle = C(c, a, 0), hay = C(c, a, 1);
                         std::size_t occurrence = a.size() > 2 ? toCount(C(c, a, 2).num) : 1;
                         if (needle.str.empty() || occurrence == 0) return Value::number(0);
                         std::size_t pos = fromRight ? std::string::npos : 0;
                         for (std::size_t k = 0; k < occurrence; ++k) {
                             if (k > 0) {
                                 if (fromRight) {
                                     if (pos == 0) return Value::number(0);
                                     --pos;
                                 } else {
                                     ++pos;
                                 }
                             }
                             pos = fromRight ? hay.str.rfind(needle.str, pos)
                                             : hay.str.find(needle.str, pos);
                             if (pos == std::string::npos) return Value::number(0);
                         }
                         return Value::number(static_cast<double>(pos + 1));
                     }});
    };
    atFn("AT", false);
    atFn("RAT", true);
    f.push_back({"LEN", 1, 1,
                 [](A a) {
                     need(a, 0, V::Char, "LEN");
                     return V::Number;
                 },
                 [C](const Ctx& c, A a) {
                     return Value::number(static_cast<double>(C(c, a, 0).str.size()));
                 }});
    f.push_back({"EMPTY", 1, 1, [](A) { return V::Logical; },
                 [C](const Ctx& c, A a) {
                     Value v = C(c, a, 0);
                     switch (v.type) {
                         case V::Char:
                             return Value::logical(v.str.find_first_not_of(" \t\r\n") ==
                                                   std::string::npos);
                         case V::Number:
                         case V::Date:
                             return Value::logical(v.num == 0);
                         case V::Logical:
                             return Value::logical(!v.log);
                         case V::Null:
                             return Value::logical(true);
                     }
                     return Value::logical(true);
                 }});
    f.push_back({"DELETED", 0, 0, [](A) { return V::Logical; },
                 [](const Ctx& c, A) {
                     return Value::logical(c.record != nullptr && c.record[0] == '*');
                 }});
    f.push_back({"RECNO", 0, 0, [](A) { return V::Number; },
                 [](const Ctx& c, A) { return Value::number(c.recno); }});
    f.push_back({"SPACE", 1, 1,
                 [](A a) {
                     need(a, 0, V::Number, "SPACE");
                     return V::Char;
                 },
                 [C](const Ctx& c, A a) {
                     return Value::chars(std::string(
                         std::min<std::size_t>(toCount(C(c, a, 0).num), 1u << 24), ' '));
                 }});
    f.push_back({"REPLICATE", 2, 2,
                 [](A a) {
                     need(a, 0, V::Char, "REPLICATE");
                     need(a, 1, V::Number, "REPLICATE");
                     return V::Char;
                 },
                 [C](const Ctx& c, A a) {
                     std::string s = C(c, a, 0).str, out;
                     std::size_t n = toCount(C(c, a, 1).num);
                     if (s.size() * n > (1u << 24)) err("REPLICATE() result too long");
                     for (std::size_t k = 0; k < n; ++k)
                         out += s;
                     return Value::chars(out);
                 }});
    f.push_back({"STRTRAN", 2, 3,
                 [](A a) {
                     need(a, 0, V::Char, "STRTRAN");
                     need(a, 1, V::Char, "STRTRAN");
                     need(a, 2, V::Char, "STRTRAN");
                     return V::Char;
                 },
                 [C](const Ctx& c, A a) {
                     std::string s = C(c, a, 0).str, what = C(c, a, 1).str;
                     std::string with = a.size() > 2 ? C(c, a, 2).str : std::string();
                     if (what.empty()) return Value::chars(s);
                     std::string out;
                     std::size_t pos = 0;
                     while (true) {
                         std::size_t k = s.find(what, pos);
                         if (k == std::string::npos) break;
                         out.append(s, pos, k - pos);
                         out += with;
                         pos = k + what.size();
                     }
                     out.append(s, pos, std::string::npos);
                     return Value::chars(out);
                 }});
    auto numFn = [&](const char* name, std::function<double(double)> op) {
        f.push_back({name, 1, 1,
                     [name](A a) {
                         need(a, 0, V::Number, name);
                         return V::Number;
                     },
                     [C, op](const Ctx& c, A a) {
                         Value v = C(c, a, 0);
                         if (v.type == V::Null) return v;
                         return Value::number(op(v.num));
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
                 [C](const Ctx& c, A a) {
                     double x = C(c, a, 0).num;
                     double scale = std::pow(10.0, C(c, a, 1).num);
                     double r =
                         std::round(std::fabs(x) * scale * (1 + 4 * 2.220446049250313e-16)) / scale;
                     return Value::number(x < 0 ? -r : r);
                 }});
    auto extreme = [&](const char* name, bool wantMax) {
        f.push_back({name, 2, 32,
                     [name](A a) {
                         for (std::size_t i = 1; i < a.size(); ++i)
                             need(a, i, a[0]->type, name);
                         return a[0]->type;
                     },
                     [C, wantMax](const Ctx& c, A a) {
                         Value best = C(c, a, 0);
                         for (std::size_t i = 1; i < a.size(); ++i) {
                             Value v = C(c, a, i);
                             if (anyNull(best, v)) return Value{};
                             int cmp = compareValues(v, best);
                             if (wantMax ? cmp > 0 : cmp < 0) best = std::move(v);
                         }
                         return best;
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
                 [C](const Ctx& c, A a) {
                     double x = C(c, a, 0).num;
                     int size = a.size() > 1 ? static_cast<int>(C(c, a, 1).num) : 4;
                     if (size != 1 && size != 2 && size != 4)
                         err("BINTOC() size must be 1, 2 or 4");
                     auto v = static_cast<std::int64_t>(std::trunc(x));
                     std::int64_t lim = std::int64_t{1} << (8 * size - 1);
                     if (v < -lim || v >= lim) err("BINTOC() value out of range");
                     auto u = static_cast<std::uint64_t>(v + lim);  // sign bit flipped
                     std::string out(static_cast<std::size_t>(size), '\0');
                     for (int k = 0; k < size; ++k)
                         out[static_cast<std::size_t>(k)] =
                             static_cast<char>((u >> (8 * (size - 1 - k))) & 0xFF);
                     return Value::chars(out);
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

    NodePtr orExpr() {
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
        if (!f || f->type == '0') err("field " + upperAscii(name) + " does not exist");
        const Translation* t = env_.mode == TextMode::Ansi ? env_.table->toAnsi() : nullptr;
        return std::make_shared<FieldRef>(f, t);
    }

    NodePtr call(const std::string& rawName) {
        std::string name = upperAscii(rawName);
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
        if (!fn) err("unknown function " + name + "()");
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
        return node;
    }

    std::vector<Token> t_;
    std::size_t p_ = 0;
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
        fail(code::kExpression, "Error in expression '" + fullText + "': " + x.text);
    }
    e.text_ = std::string(trimmed);
    e.type_ = e.root_->type;
    e.table_ = table;
    return e;
}

Value Expression::evaluate(const char* record, std::uint32_t recno) const {
    if (!root_) fail(code::kExpression, "The expression is empty");
    try {
        return root_->eval(Ctx{table_, record, recno});
    } catch (const ExprError& x) {
        fail(code::kExpression, "Error in expression '" + text_ + "': " + x.text);
    }
}

bool Expression::test(const char* record, std::uint32_t recno) const {
    Value v = evaluate(record, recno);
    if (v.type == ValueType::Null) return false;
    if (v.type != ValueType::Logical)
        fail(code::kExpression, "Error in expression '" + text_ + "': the result is " +
                                    typeName(v.type) + ", not logical");
    return v.log;
}

}  // namespace xbase
