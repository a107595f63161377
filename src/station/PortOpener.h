#pragma once
// Opens one port on a thread of its own, so that a port that takes long to open (a network
// server's name lookup, connection and negotiation; a wireless COM port) holds up nothing else.
// When the open has come to an end, the session's queue gets a notice; the session then takes the
// prepared port.

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "platform/SerialPort.h"
#include "view/Host.h"
#include "view/ProgView.h"

namespace korv {

// The notice an opener posts when its open has come to an end (COMM_NOTIFY_TAG is the wParam).
inline constexpr uint32_t NOTIFY_PORT_PREPARED = 0x5555;

class CPortOpener {
  public:
    using Factory = std::unique_ptr<ISerialPort> (*)();

    CPortOpener() = default;
    // An open still under way is not waited for: its thread keeps the port until the open has
    // come to an end and then closes it. Nothing of the session is touched after this.
    ~CPortOpener();
    CPortOpener(const CPortOpener&) = delete;
    CPortOpener& operator=(const CPortOpener&) = delete;

    // Starts opening devicePath with a port made by factory; sink gets NOTIFY_PORT_PREPARED once.
    // False when no thread could be started.
    bool Start(Factory factory, const std::string& devicePath, INotifySink& sink);
    // The port once the open has come to an end (nullptr before, and after it was taken).
    std::unique_ptr<ISerialPort> Take(PortPrepared* prepared);

  private:
    struct Job;
    std::shared_ptr<Job> m_job;
    std::thread m_thread;
};

}  // namespace korv
