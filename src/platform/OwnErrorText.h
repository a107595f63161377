#pragma once
// Internal to the platform layer: the texts of the program's own error codes, the same on every
// system.

#include "platform/SysError.h"

namespace korv::sys {

// The text that ServerTextError gave err for; nullptr for a code it has not given.
const char* ServerText(int err);

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
            return "The server has taken no data for 10 s (it has stopped reading)";
        case ERR_SERVER_CLOSED:
            return "The server closed the connection (the port was taken over by another client, "
                   "or the server stopped)";
        case ERR_SERVER_IDLE_CLOSED:
            return "The server closed the connection while nothing was being sent to it (server "
                   "idle time-out)";
        case ERR_SERVER_RESET:
            // A server that drops a client while that client's data is still unread resets the
            // connection instead of closing it: the same causes as an orderly close.
            return "The server reset the connection (the port was taken over by another client, "
                   "or the server stopped)";
        case ERR_SERVER_NO_ANSWER:
            return "No answer from the server for 10 s (the network or the server is down)";
        case ERR_SERVER_KEEPS_XONXOFF:
            return "The server keeps XON/XOFF flow control on its serial port and will not turn "
                   "it off";
        case ERR_SERVER_KEEPS_HARDWARE_FLOW:
            return "The server keeps hardware (RTS/CTS) flow control on its serial port and will "
                   "not turn it off";
        case ERR_SERVER_OTHER_FLOW:
            return "The server will not turn off flow control on its serial port";
        case ERR_DELIVERY_UNKNOWN:
            return "This system cannot tell whether the server has taken the data, so it is not "
                   "reported as sent (use an rfc2217:// port)";
        case ERR_SERVER_OTHER_STOP_SIZE:
            return "The server keeps another number of stop bits on its serial port than the one "
                   "asked for";
        case ERR_SERVER_OTHER_SETTINGS:
            return "The server keeps another speed, data size or parity on its serial port than "
                   "the one asked for";
        default:
            return err >= ERR_TEXT_BASE && err < ERR_TEXT_BASE + kMaxServerTexts ? ServerText(err)
                                                                                 : nullptr;
    }
}

}  // namespace korv::sys
