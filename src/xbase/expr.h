#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xbase {

class Table;
struct Field;

enum class ValueType { Null, Char, Number, Date, Logical };

const char* typeName(ValueType t);

// A value of the xBase expression language. Character values are single-byte text; dates
// are Julian day numbers, 0 for the empty date.
struct Value {
    ValueType type = ValueType::Null;
    std::string str;
    double num = 0;
    bool log = false;

    static Value chars(std::string s) {
        Value v;
        v.type = ValueType::Char;
        v.str = std::move(s);
        return v;
    }
    static Value number(double n) {
        Value v;
        v.type = ValueType::Number;
        v.num = n;
        return v;
    }
    static Value date(double jd) {
        Value v;
        v.type = ValueType::Date;
        v.num = jd;
        return v;
    }
    static Value logical(bool b) {
        Value v;
        v.type = ValueType::Logical;
        v.log = b;
        return v;
    }
};

// Which text an expression sees.
// Raw: character fields as the bytes of the table's code page, letter case by that code page.
//      Index keys and FOR conditions are built this way, so they equal what other engines wrote.
// Ansi: character fields converted to the ANSI code page (OEM tables), letter case by the ANSI
//      code page, literals taken as ANSI. The search expressions of the program use this, so an
//      OEM table answers exactly like an ANSI copy of it.
enum class TextMode { Raw, Ansi };

// The date format of DTOC and CTOD ("MM/dd/yyyy" until set).
void setDateFormat(std::string_view format);

// A compiled xBase expression bound to the fields of one table. Copies share the compiled form,
// which keeps working storage between evaluations: use an expression from one thread at a time.
// Errors (syntax, unknown function or field, wrong argument types, empty text) are Error with
// code::kExpression and a text that names the expression.
class Expression {
  public:
    struct Node;

    Expression() = default;
    // `table` may be nullptr for an expression without field references.
    static Expression compile(std::string_view text, const Table* table, TextMode mode);

    const std::string& text() const { return text_; }
    ValueType type() const { return type_; }
    bool valid() const { return root_ != nullptr; }

    // Evaluates on a raw record of the bound table (record may be nullptr without a table).
    Value evaluate(const char* record, std::uint32_t recno) const;
    // As evaluate, without a copy: the value lives in the expression until its next use.
    const Value& evaluateRef(const char* record, std::uint32_t recno) const;
    // Appends the value of a character expression to `out`; false (with `out` in an unknown
    // state) when the value is null.
    bool appendChars(const char* record, std::uint32_t recno, std::string& out) const;
    // The fields of a key made only of whole fields joined by '+', possibly under UPPER() or
    // LOWER() ("GRUP+NNUM", "UPPER(STATUS+NAME)"), in key order; nullopt for any other shape.
    std::optional<std::vector<const Field*>> keyFields() const;
    // Evaluates a logical expression; a null result is false, another type is an error.
    bool test(const char* record, std::uint32_t recno) const;

  private:
    std::shared_ptr<const Node> root_;
    std::string text_;
    ValueType type_ = ValueType::Null;
    const Table* table_ = nullptr;
};

// STR() as xBase formats numbers: right-aligned in `width`, `decimals` places, asterisks when
// the number does not fit.
std::string formatNumber(double value, int width, int decimals);
// VAL(): the number at the start of the text, 0 when there is none.
double parseNumber(std::string_view s);

}  // namespace xbase
