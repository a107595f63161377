#pragma once
// A temporary folder for test files, removed with everything in it, and whole-file helpers.

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace korv::test {

class TempDir {
  public:
    TempDir() {
        // A fresh name that no other test process can have taken: create_directory fails on an
        // existing one, and the next random name is tried (a folder that cannot be made at all
        // ends the attempts).
        std::random_device seed;
        std::mt19937_64 rng(
            seed() ^
            static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
        const auto base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            const auto candidate = base / ("korv-" + std::to_string(rng() % 100000000000ull));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) {
                m_path = candidate.generic_string();
                break;
            }
        }
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) {
            std::filesystem::remove_all(m_path, ec);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Empty when the folder could not be made.
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    // Writes a file in the folder; its full path.
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string file = *this / name;
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }

  private:
    std::string m_path;
};

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A file that is not a regular file and that opening must not block on: a FIFO in dir on Linux,
// the null device on Windows. Empty when it cannot be made.
#ifdef _WIN32
inline std::string MakeSpecialFile(const TempDir&) {
    return "\\\\.\\NUL";
}
#else
inline std::string MakeSpecialFile(const TempDir& dir) {
    const std::string fifo = dir.path() + "/fifo";
    return ::mkfifo(fifo.c_str(), 0600) == 0 ? fifo : std::string();
}
#endif

// Deterministic bytes that make a reordering or a lost chunk visible.
inline std::string UpdateBytes(size_t n) {
    std::string s = "* ";
    for (size_t i = 2; i < n; ++i) {
        s += static_cast<char>('A' + (i * 7 + i / 512) % 26);
    }
    return s.substr(0, n);
}

}  // namespace korv::test
