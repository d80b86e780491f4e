// The platform layer on Windows: wide-character paths, share modes as Visual FoxPro and the
// accounting system use them, replacement by MoveFileEx with write-through.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // Windows 10: renames over files that are open
#endif
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "xbase/error.h"
#include "xbase/file.h"
#include "xbase/file_common.h"
#include "xbase/fs_path.h"

namespace xbase {

namespace {

// Program text is UTF-8 where it names files; Windows wants UTF-16.
std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string narrow(const wchar_t* w) {
    const int len = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (len <= 1) return {};
    std::string out(static_cast<std::size_t>(len - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, out.data(), len, nullptr, nullptr);
    return out;
}

std::string sysText(DWORD err) {
    wchar_t* buf = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, err, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    std::string out;
    if (n && buf) {
        const int len =
            WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
        out.resize(static_cast<std::size_t>(len));
        WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), out.data(), len, nullptr,
                            nullptr);
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
            out.pop_back();
    }
    if (buf) LocalFree(buf);
    return out.empty() ? "error " + std::to_string(err) : out;
}

DWORD attributes(const std::string& path) {
    return GetFileAttributesW(wide(path).c_str());
}

HANDLE handleOf(void* h) {
    return static_cast<HANDLE>(h);
}

// Where a read or write at `offset` starts.
OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

}  // namespace

// Windows file systems ignore letter case and take either separator: a path that exists
// names the file with its own name as the folder lists it (separators as the engine writes
// them), so that messages and siblings show the names on the disk.
std::string resolvePath(std::string_view path) {
    if (path.empty() || path.find_first_of("*?") != std::string_view::npos) return {};
    std::string p(path);
    for (char& c : p)
        if (c == '\\') c = '/';
    if (attributes(p) == INVALID_FILE_ATTRIBUTES) return {};
    // The root as written ("C:/", "//server/share/", "/" or none), then each name as the disk
    // spells it, so that one file has one name whatever the letter case it was asked by.
    std::size_t at = 0;
    if (p.size() >= 2 && p[1] == ':') {
        at = p.size() > 2 && p[2] == '/' ? 3 : 2;
    } else if (p.rfind("//", 0) == 0) {
        const std::size_t server = p.find('/', 2);
        const std::size_t share = server == std::string::npos ? server : p.find('/', server + 1);
        at = share == std::string::npos ? p.size() : share + 1;
    } else if (p[0] == '/') {
        at = 1;
    }
    std::string out = p.substr(0, at);
    while (at < p.size()) {
        std::size_t end = p.find('/', at);
        if (end == std::string::npos) end = p.size();
        std::string name = p.substr(at, end - at);
        if (!name.empty() && name != "." && name != "..") {
            WIN32_FIND_DATAW found{};
            HANDLE h = FindFirstFileW(wide(out + name).c_str(), &found);
            if (h != INVALID_HANDLE_VALUE) {
                FindClose(h);
                const std::string onDisk = narrow(found.cFileName);
                if (!onDisk.empty()) name = onDisk;
            }
        }
        out += name;
        if (end < p.size()) out += '/';
        at = end + 1;
    }
    return out;
}

int openErrorCode(int err) {
    switch (static_cast<DWORD>(err)) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
            return code::kFileNotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            return code::kAccessDenied;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return code::kFileInUse;
        default:
            return code::kIoError;
    }
}

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        path_ = std::move(other.path_);
    }
    return *this;
}

File::~File() {
    close();
}

bool File::isOpen() const {
    return handle_ != nullptr;
}

File File::open(const std::string& path, Access access, Share share) {
    // An exclusive open shares nothing with other programs, a shared one shares reading and
    // writing, as Visual FoxPro opens tables. Both let the program rename its own files over
    // the ones it holds (a pack's commit).
    const DWORD desired = GENERIC_READ | (access == Access::ReadWrite ? GENERIC_WRITE : 0);
    const DWORD sharing =
        FILE_SHARE_DELETE | (share == Share::Shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0);
    HANDLE h = CreateFileW(wide(path).c_str(), desired, sharing, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        const int c = openErrorCode(static_cast<int>(err));
        if (c == code::kFileNotFound) fail(c, "File not found: " + path);
        if (c == code::kFileInUse) fail(c, "The table " + path + " is in use by another open");
        fail(c, "Cannot open " + path + ": " + sysText(err));
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        fail(code::kFileNotFound, "Not a regular file: " + path);
    }
    File f;
    f.handle_ = h;
    f.path_ = path;
    return f;
}

File File::create(const std::string& path) {
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        fail(code::kIoError, "Cannot create " + path + ": " + sysText(GetLastError()));
    File f;
    f.handle_ = h;
    f.path_ = path;
    return f;
}

std::uint64_t File::size() const {
    LARGE_INTEGER n{};
    if (!GetFileSizeEx(handleOf(handle_), &n))
        fail(code::kIoError, "Cannot read the size of " + path_);
    return static_cast<std::uint64_t>(n.QuadPart);
}

std::size_t File::readAt(std::uint64_t offset, void* buffer, std::size_t n) const {
    std::size_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < n) {
        OVERLAPPED where = at(offset + done);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(n - done, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(handleOf(handle_), out + done, chunk, &got, &where)) {
            const DWORD err = GetLastError();
            if (err == ERROR_HANDLE_EOF) break;
            fail(code::kIoError, "Cannot read " + path_ + ": " + sysText(err));
        }
        if (got == 0) break;
        done += got;
    }
    return done;
}

void File::writeAt(std::uint64_t offset, const void* buffer, std::size_t n) {
    if (auto& hook = platform::writeHook()) hook(path_, offset);
    std::size_t done = 0;
    const auto* in = static_cast<const char*>(buffer);
    while (done < n) {
        OVERLAPPED where = at(offset + done);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(n - done, 1u << 30));
        DWORD put = 0;
        if (!WriteFile(handleOf(handle_), in + done, chunk, &put, &where))
            fail(code::kIoError, "Cannot write " + path_ + ": " + sysText(GetLastError()));
        done += put;
    }
}

void File::truncate(std::uint64_t size) {
    if (auto& hook = platform::writeHook()) hook(path_, size);
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFileInformationByHandle(handleOf(handle_), FileEndOfFileInfo, &end, sizeof end))
        fail(code::kIoError, "Cannot resize " + path_ + ": " + sysText(GetLastError()));
}

void File::sync() {
    if (!FlushFileBuffers(handleOf(handle_)))
        fail(code::kIoError, "Cannot flush " + path_ + ": " + sysText(GetLastError()));
}

void File::close() {
    if (handle_) CloseHandle(handleOf(handle_));
    handle_ = nullptr;
}

namespace {

// Renames `from` over `to` even while `to` is open (its handles sharing deletion, as ours do):
// the POSIX semantics of Windows 10's rename by handle. False where the system lacks them.
bool renameOverOpen(const std::wstring& from, const std::wstring& to) {
    HANDLE h = CreateFileW(from.c_str(), DELETE | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    wchar_t full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameW(to.c_str(), MAX_PATH * 4, full, nullptr);
    bool done = false;
    if (n > 0 && n < MAX_PATH * 4) {
        std::vector<char> buf(sizeof(FILE_RENAME_INFO) + n * sizeof(wchar_t));
        auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
        info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
        info->RootDirectory = nullptr;
        info->FileNameLength = n * sizeof(wchar_t);
        std::memcpy(info->FileName, full, n * sizeof(wchar_t));
        // FileRenameInfoEx, which older headers do not name.
        constexpr auto kRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
        done =
            SetFileInformationByHandle(h, kRenameInfoEx, info, static_cast<DWORD>(buf.size())) != 0;
        if (done) FlushFileBuffers(h);
    }
    CloseHandle(h);
    return done;
}

}  // namespace

void atomicReplace(const std::string& replacement, const std::string& target) {
    if (auto& hook = platform::writeHook()) hook(target, 0);
    const std::wstring from = wide(replacement), to = wide(target);
    if (renameOverOpen(from, to)) return;
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        fail(code::kIoError, "Cannot replace " + target + ": " + sysText(GetLastError()));
}

void removeFile(const std::string& path) {
    DeleteFileW(wide(path).c_str());
}

void keepFile(const std::string& from, const std::string& to) {
    if (auto& hook = platform::writeHook()) hook(to, 0);
    std::error_code ec;
    std::filesystem::create_directories(fsPath(to).parent_path(), ec);
    if (ec) fail(code::kIoError, "Cannot create the folder of " + to + ": " + ec.message());
    // A move within the volume; a copy and a delete to another (MOVEFILE_COPY_ALLOWED).
    if (!MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                     MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH))
        fail(code::kIoError, "Cannot move " + from + " to " + to + ": " + sysText(GetLastError()));
}

void copyFile(const std::string& from, const std::string& to) {
    if (!CopyFileW(wide(from).c_str(), wide(to).c_str(), FALSE))
        fail(code::kIoError, "Cannot copy " + from + " to " + to + ": " + sysText(GetLastError()));
    File::open(to, Access::ReadWrite, Share::Shared).sync();
}

std::string programDirectory() {
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (n == 0) return ".";
        if (n < name.size()) {
            name.resize(n);
            break;
        }
        name.resize(name.size() * 2);
    }
    std::string path = narrow(name.c_str());
    for (char& c : path)
        if (c == '\\') c = '/';
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::int64_t modifiedTime(const std::string& path) {
    // The C runtime's stat keeps whole seconds only: a change within the second would not show.
    WIN32_FILE_ATTRIBUTE_DATA a{};
    if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &a)) return 0;
    return static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(a.ftLastWriteTime.dwHighDateTime) << 32) |
        a.ftLastWriteTime.dwLowDateTime);
}

bool fileExists(const std::string& path) {
    return attributes(path) != INVALID_FILE_ATTRIBUTES;
}

bool isRegularFile(const std::string& path) {
    const DWORD a = attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// Renames with MOVEFILE_WRITE_THROUGH are durable when they return; NTFS journals the names.
void syncDirectoryOf(const std::string&) {}

LocalTime localNow() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

char localDecimalSeparator() {
    wchar_t buf[8] = {};
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buf, 8) > 0 && buf[0] < 0x80)
        return static_cast<char>(buf[0]);
    return '.';
}

bool standardErrorIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

void useUtf8Console() {
    SetConsoleOutputCP(CP_UTF8);
}

}  // namespace xbase
