#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

// A directory of its own for each test, removed afterwards.
class TempDir {
  public:
    TempDir() {
        // A name nobody has: created, not merely looked up (create_directory says which).
        static std::mt19937_64 rng(std::random_device{}());
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const std::filesystem::path p =
                base / ("lorf-test-" + std::to_string(rng() % 1000000000));
            std::error_code ec;
            if (std::filesystem::create_directory(p, ec)) path_ = p.generic_string();
        }
        if (path_.empty()) std::abort();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};
