#pragma once
// What the fuzz targets share: a folder of their own for the files an input becomes, and the
// split of one input into several files.
//
// An input of several files is their bytes one after another, every file but the last led by
// its length in 4 bytes, least significant first (a length past the end takes what is left).

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// A folder of this process's own, made on first use (in memory where the machine has it).
inline const std::string& workDir() {
    static const std::string dir = [] {
        const char* base = std::getenv("LORF_FUZZ_DIR");
        std::string d =
            std::string(base ? base : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp")) +
            "/lorf-fuzz-" + std::to_string(getpid());
        std::error_code ec;
        std::filesystem::create_directories(d, ec);
        if (ec) std::abort();
        return d;
    }();
    return dir;
}

inline void writeFile(const std::string& path, std::string_view bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        std::abort();
    std::fclose(f);
}

// `count` files out of one input.
inline std::vector<std::string_view> split(const std::uint8_t* data, std::size_t size,
                                           std::size_t count) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> parts;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        std::uint32_t n = 0;
        for (std::size_t b = 0; b < 4 && b < in.size(); ++b)
            n |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[b])) << (8 * b);
        in.remove_prefix(in.size() < 4 ? in.size() : 4);
        const std::size_t take = n < in.size() ? n : in.size();
        parts.push_back(in.substr(0, take));
        in.remove_prefix(take);
    }
    parts.push_back(in);
    return parts;
}

// The reverse of split, for the seeds.
inline std::string join(const std::vector<std::string>& files) {
    std::string out;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (i + 1 < files.size()) {
            const auto n = static_cast<std::uint32_t>(files[i].size());
            for (int b = 0; b < 4; ++b)
                out += static_cast<char>((n >> (8 * b)) & 0xFF);
        }
        out += files[i];
    }
    return out;
}

}  // namespace fuzz
