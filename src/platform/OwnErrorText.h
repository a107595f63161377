#pragma once
// Internal to the platform layer: the texts of the program's own error codes, the same on every
// system.

#include "platform/SysError.h"

namespace korv::sys {

// The text for one of the program's own codes; nullptr for a system code.
inline const char* OwnErrorText(int err) {
    switch (err) {
        case ERR_NOT_REGULAR_FILE:
            return "Not a regular file (a directory, pipe or device cannot be an update file)";
        case ERR_FILE_SHRANK:
            return "The file became shorter while it was being sent";
        case ERR_PROFILE_READ_ONLY:
            return "The settings file is kept by the desktop program";
        default:
            return nullptr;
    }
}

}  // namespace korv::sys
