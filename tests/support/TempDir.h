#pragma once
// A temporary folder for test files, removed with everything in it, and whole-file helpers.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace korv::test {

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "korv-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) != nullptr) {
            m_path = tmpl;
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

// Deterministic bytes that make a reordering or a lost chunk visible.
inline std::string UpdateBytes(size_t n) {
    std::string s = "* ";
    for (size_t i = 2; i < n; ++i) {
        s += static_cast<char>('A' + (i * 7 + i / 512) % 26);
    }
    return s.substr(0, n);
}

}  // namespace korv::test
