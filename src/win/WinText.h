#pragma once
// Text between the core and the wide Win32 API: the core's strings are UTF-8 (port names, file
// paths, messages); windows and dialogs take UTF-16.

#include <string>

namespace korv::win {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);
// The control's text, however long.
std::string WindowText(void* hwnd);
// Text the operator typed (or pasted) into a field, as a name or a path: without the blanks
// around it, and with any control character (a pasted tab) made a space.
std::string TypedText(const std::string& text);
// Text for a label control, whose '&' would otherwise underline the next letter.
std::string LabelText(const std::string& text);

}  // namespace korv::win
