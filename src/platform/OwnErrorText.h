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
        case ERR_BAD_NET_PORT_NAME:
            return "Not a network port name (rfc2217://HOST:PORT or socket://HOST:PORT)";
        case ERR_HOST_NOT_FOUND:
            return "Unknown host";
        case ERR_HOST_LOOKUP_FAILED:
            return "The host name could not be looked up";
        case ERR_NEGOTIATION_TIMEOUT:
            return "The server did not answer the serial port negotiation in time";
        case ERR_NO_PORT_CONTROL:
            return "The server does not offer serial port control (RFC 2217)";
        case ERR_SERVER_STALLED:
            return "The server has stopped taking data";
        default:
            return nullptr;
    }
}

}  // namespace korv::sys
