#pragma once
// An update file opened for sending: an existing regular file, read from its first byte in
// order, which no other program may change while it is open (Windows: opened with read sharing
// only; Linux: a shared lock that a writer's lock conflicts with). Opened, checked and closed on
// the GUI thread; read by the sender thread while the GUI thread leaves it alone.

#include <cstdint>
#include <string>

namespace korv {

class CUpdateFile {
  public:
    CUpdateFile() = default;
    ~CUpdateFile() { Close(); }
    CUpdateFile(const CUpdateFile&) = delete;
    CUpdateFile& operator=(const CUpdateFile&) = delete;

    // Opens path (UTF-8). 0, or the error code: the system's (missing, no access, held by
    // another program), or ERR_NOT_REGULAR_FILE for a directory, pipe or device. Never blocks
    // on a FIFO. Closes a file that was open before. Others may open the file for reading
    // meanwhile (a viewer, several sessions sending the same file); writers are kept out.
    // (shareWithReaders is kept for callers; readers always share on both systems.)
    int Open(const std::string& path, bool shareWithReaders = false);
    bool IsOpen() const { return m_handle != kNone; }
    void Close();
    // Reads up to n bytes from the current position: 0 with *got (0 at the end of the file),
    // or an error code.
    int Read(void* buf, uint32_t n, uint32_t* got);
    // Back to the first byte. 0 or an error code.
    int Rewind();
    // The file's size when it was opened.
    uint64_t Size() const { return m_size; }

  private:
    // A descriptor on Linux, a HANDLE's value on Windows; -1 when none is open (the value both
    // systems use for "no file").
    static constexpr intptr_t kNone = -1;
    intptr_t m_handle = kNone;
    uint64_t m_size = 0;
};

}  // namespace korv
