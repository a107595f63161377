#pragma once
// A temporary folder for test files, removed with everything in it.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace korv::test {

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "korv-XXXXXX").string();
        m_path = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string file = m_path + "/" + name;
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }

  private:
    std::string m_path;
};

// Deterministic bytes that make a reordering or a lost chunk visible.
inline std::string UpdateBytes(size_t n) {
    std::string s = "* ";
    for (size_t i = 2; i < n; ++i) {
        s += static_cast<char>('A' + (i * 7 + i / 512) % 26);
    }
    return s.substr(0, n);
}

}  // namespace korv::test
