#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace xbase {

// The platform layer of the engine: files, locks, name lookup and atomic replacement.
// Everything that differs between operating systems lives behind this header.

enum class Access { Read, ReadWrite };

// How an open holds the file against other opens, in this process or another:
// Shared opens coexist with each other; an Exclusive open coexists with nothing.
enum class Share { Shared, Exclusive };

// The engine code of an operating-system error of an open: a missing file, a refused
// permission (a read-only file or file system included), or any other I/O error. A lock held
// by another open is never an error of the open itself: that is code::kFileInUse.
int openErrorCode(int systemError);

// The separator of this system's paths, and a path written with '\' or '/' in that separator
// alone: what a user is shown.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif
inline std::string nativeSeparators(std::string path) {
    for (char& c : path)
        if (c == '\\' || c == '/') c = kPathSeparator;
    return path;
}

// Resolves a table path written with '\' or '/' and in any letter case to the existing file.
// Returns an empty string when no file matches.
std::string resolvePath(std::string_view path);

// The path of a sibling file with another extension ("x.dbf" -> "x.cdx"), resolved the same
// way; empty when there is none.
std::string siblingPath(const std::string& resolvedPath, std::string_view extension);

class File {
  public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    ~File();

    // Opens an existing file. Lock semantics as described for Share; a refused lock is
    // code::kFileInUse, other failures as openErrorCode() says. An exclusive open takes a
    // write lock, which needs write permission even when the file is only read.
    static File open(const std::string& path, Access access, Share share);
    // Creates (or truncates) a file for writing; no lock.
    static File create(const std::string& path);

    bool isOpen() const;
    const std::string& path() const { return path_; }
    std::uint64_t size() const;

    // Reads up to n bytes at offset; returns how many were read (short at the end of file).
    std::size_t readAt(std::uint64_t offset, void* buffer, std::size_t n) const;
    // Reads exactly n bytes or throws code::kCorruptTable naming `what`.
    void readExact(std::uint64_t offset, void* buffer, std::size_t n, std::string_view what) const;
    void writeAt(std::uint64_t offset, const void* buffer, std::size_t n);
    void truncate(std::uint64_t size);
    void sync();
    void close();
    // Records that the file now has another name (after an atomic replace).
    void renamed(std::string path) { path_ = std::move(path); }

  private:
#ifdef _WIN32
    void* handle_ = nullptr;  // a Windows HANDLE
#else
    int fd_ = -1;
#endif
    std::string path_;
};

// Whether a file the program holds open must be closed before another is renamed over it
// (Windows without POSIX rename semantics); where it need not, the open keeps its lock.
#ifdef _WIN32
inline constexpr bool kReplaceNeedsClosedTarget = true;
#else
inline constexpr bool kReplaceNeedsClosedTarget = false;
#endif

// Replaces `target` by `replacement` in one step: afterwards the name refers to the new
// content, or, if the call fails, still to the old.
void atomicReplace(const std::string& replacement, const std::string& target);
void removeFile(const std::string& path);
// Moves `from` to `to` (a new name), or copies it when `to` is on another file system, the
// folder of `to` created first; afterwards `to` holds the file's content, durably. Its pages
// leave the system's cache where the system allows it: a kept file is not read again soon.
void keepFile(const std::string& from, const std::string& to);
// Copies `from` over `to`; afterwards `to` holds the file's content, durably.
void copyFile(const std::string& from, const std::string& to);
// Makes the names created, renamed or removed in the directory of `path` durable.
void syncDirectoryOf(const std::string& path);
bool fileExists(const std::string& path);
// When the file was last written, in the system's own finest steps: a value to compare with an
// earlier one of the same file, 0 when there is none.
std::int64_t modifiedTime(const std::string& path);
// The folder of the running program (where path.ini and the local store sit), "." when the
// system does not say.
std::string programDirectory();
// Whether the path names a file (not a folder).
bool isRegularFile(const std::string& path);

// The calendar day of now, in the machine's time zone.
struct CivilDate {
    int year, month, day;
};
CivilDate today();
// Now in the machine's time zone, to the second.
struct LocalTime {
    int year, month, day, hour, minute, second;
};
LocalTime localNow();
// The decimal separator of the user's number format ('.' where none is set), as the window's
// locale shows numbers.
char localDecimalSeparator();
// Whether the program's standard error goes to a terminal.
bool standardErrorIsTerminal();
// A console program's output is UTF-8, as its texts are: the Windows console is told so (it
// would show them in its OEM code page otherwise).
void useUtf8Console();

// Fault injection for tests: when set, the hook is called before every write of the engine
// with the path and offset; it may throw to simulate a crash at that write.
using WriteHook = std::function<void(const std::string& path, std::uint64_t offset)>;
void setWriteHook(WriteHook hook);

}  // namespace xbase
