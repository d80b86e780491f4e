#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <locale>
#include <utility>
#include <vector>

#include "xbase/ascii.h"
#include "xbase/error.h"
#include "xbase/file.h"
#include "xbase/file_common.h"

namespace xbase {

namespace {

// A byte far past any table's data: opens lock it shared or exclusive. Advisory locks never
// stop I/O, so the range does not need to hold data.
constexpr off_t kLockOffset = 0x7FFFFFF0;

std::string sysText(int err) {
    return std::strerror(err);
}

bool exists(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0;
}

std::string joinPath(const std::string& dir, std::string_view name) {
    if (dir.empty()) return std::string(name);
    if (dir.back() == '/') return dir + std::string(name);
    return dir + "/" + std::string(name);
}

// The entry of `dir` whose name equals `name` in any letter case, or an empty string.
std::string findNoCase(const std::string& dir, std::string_view name) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return {};
    std::string found;
    while (dirent* e = ::readdir(d)) {
        if (ascii::equalNoCase(e->d_name, name)) {
            found = e->d_name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

}  // namespace

std::string resolvePath(std::string_view path) {
    if (path.empty()) return {};
    std::string p(path);
    for (char& c : p)
        if (c == '\\') c = '/';
    if (exists(p)) return p;
    std::string cur = p[0] == '/' ? "/" : "";
    std::size_t i = 0;
    while (i < p.size()) {
        std::size_t j = p.find('/', i);
        if (j == std::string::npos) j = p.size();
        std::string_view part(p.data() + i, j - i);
        i = j + 1;
        if (part.empty()) continue;
        std::string candidate = joinPath(cur, part);
        if (part == "." || part == ".." || exists(candidate)) {
            cur = std::move(candidate);
            continue;
        }
        std::string name = findNoCase(cur, part);
        if (name.empty()) return {};
        cur = joinPath(cur, name);
    }
    return cur;
}

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

File::~File() {
    close();
}

bool File::isOpen() const {
    return fd_ >= 0;
}

LocalTime localNow() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return {1900 + tm.tm_year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

char localDecimalSeparator() {
    try {
        return std::use_facet<std::numpunct<char>>(std::locale("")).decimal_point();
    } catch (const std::exception&) {
        return '.';  // a locale the system does not have
    }
}

bool standardErrorIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

void useUtf8Console() {}  // the terminal's own setting

int openErrorCode(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return code::kFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return code::kAccessDenied;
        default:
            return code::kIoError;
    }
}

namespace {
[[noreturn]] void failOpen(const std::string& path, int err, const std::string& why) {
    const int c = openErrorCode(err);
    if (c == code::kFileNotFound) fail(c, "File not found: " + path);
    fail(c, "Cannot open " + path + why + ": " + sysText(err));
}
}  // namespace

File File::open(const std::string& path, Access access, Share share) {
    // An exclusive open takes a write lock, and a write lock needs a descriptor open for
    // writing: such an open asks for write access even to read.
    const bool writable = access == Access::ReadWrite || share == Share::Exclusive;
    int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        failOpen(path, err,
                 access == Access::Read && writable
                     ? " exclusively (the exclusive lock needs permission to write it)"
                     : "");
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        fail(code::kFileNotFound, "Not a regular file: " + path);
    }
    // Open-file-description locks conflict between two opens of one process as well as
    // between processes, so a second handle of our own is held off like a foreign one.
    struct flock lk {};
    lk.l_type = share == Share::Exclusive ? F_WRLCK : F_RDLCK;
    lk.l_whence = SEEK_SET;
    lk.l_start = kLockOffset;
    lk.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &lk) != 0) {
        ::close(fd);
        fail(code::kFileInUse, "The table " + path + " is in use by another open");
    }
    File f;
    f.fd_ = fd;
    f.path_ = path;
    return f;
}

File File::create(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail(code::kIoError, "Cannot create " + path + ": " + sysText(errno));
    File f;
    f.fd_ = fd;
    f.path_ = path;
    return f;
}

std::uint64_t File::size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) fail(code::kIoError, "Cannot read the size of " + path_);
    return static_cast<std::uint64_t>(st.st_size);
}

std::size_t File::readAt(std::uint64_t offset, void* buffer, std::size_t n) const {
    std::size_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < n) {
        ssize_t r = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            fail(code::kIoError, "Cannot read " + path_ + ": " + sysText(errno));
        }
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    return done;
}

void File::writeAt(std::uint64_t offset, const void* buffer, std::size_t n) {
    if (auto& hook = platform::writeHook()) hook(path_, offset);
    std::size_t done = 0;
    const auto* in = static_cast<const char*>(buffer);
    while (done < n) {
        ssize_t r = ::pwrite(fd_, in + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            fail(code::kIoError, "Cannot write " + path_ + ": " + sysText(errno));
        }
        done += static_cast<std::size_t>(r);
    }
}

void File::truncate(std::uint64_t size) {
    if (auto& hook = platform::writeHook()) hook(path_, size);
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
        fail(code::kIoError, "Cannot resize " + path_ + ": " + sysText(errno));
}

void File::sync() {
    if (::fsync(fd_) != 0) fail(code::kIoError, "Cannot flush " + path_ + ": " + sysText(errno));
}

void File::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void atomicReplace(const std::string& replacement, const std::string& target) {
    if (auto& hook = platform::writeHook()) hook(target, 0);
    if (::rename(replacement.c_str(), target.c_str()) != 0)
        fail(code::kIoError, "Cannot replace " + target + ": " + sysText(errno));
}

void removeFile(const std::string& path) {
    ::unlink(path.c_str());
}

void keepFile(const std::string& from, const std::string& to) {
    if (auto& hook = platform::writeHook()) hook(to, 0);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(to).parent_path(), ec);
    if (ec) fail(code::kIoError, "Cannot create the folder of " + to + ": " + ec.message());
    if (::rename(from.c_str(), to.c_str()) != 0) {
        if (errno != EXDEV)
            fail(code::kIoError, "Cannot move " + from + " to " + to + ": " + sysText(errno));
        copyFile(from, to);
    }
    // A kept file is read again only by a restore: its cached pages are let go, as they would
    // be had it been removed, so that they do not push out the tables still to be read.
    const int fd = ::open(to.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

void copyFile(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) fail(code::kIoError, "Cannot copy " + from + " to " + to + ": " + ec.message());
    File::open(to, Access::ReadWrite, Share::Shared).sync();
}

std::string programDirectory() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : exe.parent_path().string();
}

std::int64_t modifiedTime(const std::string& path) {
    std::error_code ec;
    const auto t = std::filesystem::last_write_time(path, ec);
    return ec ? 0 : static_cast<std::int64_t>(t.time_since_epoch().count());
}

bool fileExists(const std::string& path) {
    return exists(path);
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void syncDirectoryOf(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace xbase
