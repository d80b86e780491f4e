#pragma once

#include <stdexcept>
#include <string>

namespace xbase {

// Engine error codes. The access layer relies on these numbers, so they never change.
namespace code {
inline constexpr int kInvalidRecordNumber = 5022;  // the cursor has no valid record
inline constexpr int kNoPosition = 5041;           // no key position for the current record
inline constexpr int kNoCurrentRecord = 5068;      // positioned before the first or after the last
inline constexpr int kLayerError = 5121;           // raised by the layer above, never by the engine
inline constexpr int kTableNotExclusive = 5035;    // operation needs the table open exclusively
inline constexpr int kUniqueKeyViolation = 5097;   // a unique tag already holds the key
inline constexpr int kReadOnly = 5037;             // write on a table opened read-only
inline constexpr int kFileInUse = 7008;            // the file is held by another open
inline constexpr int kFileNotFound = 7041;         // no such file
inline constexpr int kIoError = 7000;              // the operating system refused a read or write
inline constexpr int kAccessDenied = 7003;         // no permission to open the file as asked
inline constexpr int kCorruptTable = 7016;         // a DBF or memo file whose structure is wrong
inline constexpr int kCorruptIndex = 7023;         // a CDX file whose structure is wrong
inline constexpr int kTagNotFound = 7022;          // no tag of that name
inline constexpr int kExpression = 7200;   // an expression that cannot be parsed or evaluated
inline constexpr int kUnsupported = 7209;  // a tag the engine cannot reproduce exactly
}  // namespace code

// The one error type of the engine: a code from xbase::code and a text that names the file,
// tag or expression concerned.
class Error : public std::runtime_error {
  public:
    Error(int code, const std::string& text) : std::runtime_error(text), code_(code) {}
    int code() const noexcept { return code_; }

  private:
    int code_;
};

[[noreturn]] void fail(int code, const std::string& text);

}  // namespace xbase
