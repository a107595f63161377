// The string table and the message formatter used by every status line and error report.

#include "view/Strings.h"

#include <cctype>
#include <cstddef>

namespace korv {

namespace {

struct StringEntry {
    unsigned id;
    const char* text;
};

// Of the framework's own strings only the caption is kept: the window has no status bar and no
// tool bar, so their prompts and tips would never be shown.
constexpr StringEntry kStrings[] = {
    {AFX_IDS_APP_TITLE, "KORVALIN"},
    {IDS_RETRY_OPEN_PORT, "Retry Opening COMM Port"},
    {IDS_SEND_ANOTHER, "Send Another Software Update File"},
    {IDS_ABORT_UPDATE, "Abort Software Update"},
    {IDS_PORT_NOT_OPEN, "Cannot perform software update - COMM port is not open."},
    {IDS_UPDATE_INSTRUCTIONS,
     "Ready to perform a tester software update:\n"
     "  1. Turn the tester off for at least 5 seconds\n"
     "  2. Hold down one of the following key combinations:\n"
     "       * QWERTY keypad  : 'J'     and '9'\n"
     "       * Numeric keypad : 'LEFT'  and '6'\n"
     "       * ZEM/K7 keypad  : 'BLACK' and 'F9'\n"
     "  3. Turn on the tester while holding down the key combination\n"
     "  4. At the prompt, specify the correct software update file\n"
     "  5. Wait for the software update process to complete"},
    {IDS_SENDING_FILE, "Sending file '%1'."},
    {IDS_PORT_OPENED, "Successfully opened %1."},
    {IDS_PORT_SETUP_FAILED, "Error setting RS232 parameters for %1"},
    {IDS_PORT_OPEN_FAILED, "Failed to open %1"},
    {IDS_THREADS_FAILED, "Failed to create worker threads!"},
    {IDS_FILE_OPEN_FAILED, "Error opening file '%1'"},
    {IDS_NOT_UPDATE_FILE, "The file '%1' does not appear to be a software update file"},
    {IDS_TRANSFER_FAILED, "The transfer of '%1' did not complete; the tester may not be updated"},
    {IDS_PORT_LOST, "Lost the connection on %1; reconnect it, then retry opening the port"},
};

}  // namespace

const char* LoadString(unsigned id) {
    for (const StringEntry& e : kStrings) {
        if (e.id == id) {
            return e.text;
        }
    }
    return nullptr;
}

std::string FormatMessageString(const std::string& format,
                                const std::vector<std::string>& inserts) {
    std::string out;
    out.reserve(format.size() + 64);
    const size_t n = format.size();
    size_t i = 0;
    while (i < n) {
        const char c = format[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 >= n) {
            break;  // a lone '%' at the end contributes nothing
        }
        const char d = format[i + 1];
        if (d == '0') {
            return out;  // %0 ends the message
        }
        if (d >= '1' && d <= '9') {
            size_t j = i + 1;
            unsigned number = static_cast<unsigned>(format[j++] - '0');
            if (j < n && std::isdigit(static_cast<unsigned char>(format[j]))) {
                number = number * 10 + static_cast<unsigned>(format[j++] - '0');
            }
            // An optional !printf-format!; the insertion is a string whatever it says.
            size_t afterSpec = j;
            if (j < n && format[j] == '!') {
                const size_t close = format.find('!', j + 1);
                if (close != std::string::npos) {
                    afterSpec = close + 1;
                }
            }
            if (number <= inserts.size()) {
                out += inserts[number - 1];
            } else {
                out.append(format, i, afterSpec - i);
            }
            i = afterSpec;
            continue;
        }
        switch (d) {
            case 'n':
                out += "\r\n";
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            default:
                out += d;  // %%, "%.", "% ", "%!" and any other escaped character
                break;
        }
        i += 2;
    }
    return out;
}

}  // namespace korv
