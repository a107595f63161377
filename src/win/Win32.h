#pragma once
// <windows.h> for this front end. The core has functions and interface members named like some
// of the API's A/W switching macros (MessageBox, TextOut, LoadString,
// GetProfileString, WriteProfileString); those macros go, and this
// front end calls the wide functions by their full names.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef MessageBox
#undef TextOut
#undef LoadString
#undef GetProfileString
#undef WriteProfileString
