#pragma once
// The string table and message formatting.

#include <string>
#include <vector>

namespace korv {

enum : unsigned {
    AFX_IDS_APP_TITLE = 57344,
    IDS_RETRY_OPEN_PORT = 61204,
    IDS_SEND_ANOTHER = 61205,
    IDS_ABORT_UPDATE = 61206,
    IDS_PORT_NOT_OPEN = 61207,
    IDS_UPDATE_INSTRUCTIONS = 61208,
    IDS_SENDING_FILE = 61209,
    IDS_PORT_OPENED = 61210,
    IDS_PORT_SETUP_FAILED = 61211,
    IDS_PORT_OPEN_FAILED = 61212,
    IDS_THREADS_FAILED = 61213,
    IDS_FILE_OPEN_FAILED = 61214,
    IDS_NOT_UPDATE_FILE = 61215,
    IDS_TRANSFER_FAILED = 61216,
    IDS_PORT_LOST = 61217,
};

// The string with that id, or nullptr when the table has none.
const char* LoadString(unsigned id);

// Formats a message taken from a string with the insertion rules of the system's message
// formatter: %1 to %99 insert the numbered string (an optional !printf-format! after the number is
// accepted and the string inserted as is), %0 ends the message, %n is CR LF, %r CR, %t a tab,
// %% a percent sign and % followed by any other character that character. An insertion that was
// not supplied stays in the text as written; inserted strings are never scanned again.
std::string FormatMessageString(const std::string& format, const std::vector<std::string>& inserts);

}  // namespace korv
