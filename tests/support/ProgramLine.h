#pragma once
// The line as the program configures it, for tests that drive a serial port directly: 57600 baud,
// 8N1, XON/XOFF both ways, DTR and RTS on; reads end 10 ms after the last byte and a write of
// n bytes may take n + 1000 ms.

#include "platform/SerialPort.h"

namespace korv::test {

inline constexpr CommTimeouts kProgramTimeouts{10, 0, 0, 1, 1000};

// The port's current settings with the program's line settings applied.
inline Dcb ProgramDcb(ISerialPort& port) {
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

}  // namespace korv::test
