#pragma once
// The line as the program runs it: 57600 baud, 8N1, XON/XOFF both ways, DTR and RTS on. Reads end
// after 10 ms of line silence; a write of n bytes gets n + 1000 ms.

#include "platform/SerialPort.h"

namespace korv {

inline constexpr CommTimeouts kLineTimeouts{10, 0, 0, 1, 1000};

// The port's current settings with the program's line settings applied.
inline Dcb LineSettings(ISerialPort& port) {
    Dcb dcb;
    dcb.DCBlength = sizeof(Dcb);
    port.GetCommState(dcb);
    dcb.BaudRate = 57600;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EvtChar = 0;
    return dcb;
}

}  // namespace korv
