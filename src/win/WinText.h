#pragma once
// Text between the core and the wide Win32 API: the core's strings are UTF-8 (port names, file
// paths, messages); windows and dialogs take UTF-16.

#include <string>

namespace korv::win {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);
// The control's text, however long.
std::string WindowText(void* hwnd);

}  // namespace korv::win
