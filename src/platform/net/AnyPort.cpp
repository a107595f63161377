// The port the controller opens by name: a network port for rfc2217:// and socket:// names, the
// system's serial port for every other name. The kind is chosen when the name is known, at Open;
// every call before that (a Shutdown included) is kept or answered as by a closed port.

#include <atomic>

#include "platform/SysError.h"
#include "platform/net/NetPortName.h"
#include "platform/net/NetPorts.h"

namespace korv {

namespace {

class PortByName final : public ISerialPort {
  public:
    int Open(const std::string& devicePath) override {
        if (m_port)
            return ERR_BUSY;
        m_port = IsNetworkPortName(devicePath) ? MakeNetPort() : MakeLocalPort();
        if (m_shutdown.load(std::memory_order_acquire))
            m_port->Shutdown();
        return m_port->Open(devicePath);
    }
    void SetupComm(uint32_t in, uint32_t out) override {
        if (m_port)
            m_port->SetupComm(in, out);
    }
    void Purge() override {
        if (m_port)
            m_port->Purge();
    }
    void SetCommTimeouts(const CommTimeouts& t) override {
        if (m_port)
            m_port->SetCommTimeouts(t);
    }
    void GetCommState(Dcb& dcb) override {
        if (m_port)
            m_port->GetCommState(dcb);
    }
    int SetCommState(const Dcb& dcb) override {
        return m_port ? m_port->SetCommState(dcb) : ERR_INVALID;
    }
    void SetCommMask(uint32_t mask) override {
        if (m_port)
            m_port->SetCommMask(mask);
    }
    void Shutdown() override {
        m_shutdown.store(true, std::memory_order_release);
        if (m_port)
            m_port->Shutdown();
    }
    int Read(uint8_t* buf, uint32_t count, uint32_t* got) override {
        *got = 0;
        return m_port ? m_port->Read(buf, count, got) : ERR_INVALID;
    }
    int Write(const uint8_t* buf, uint32_t n, const Event& abort, uint32_t* written) override {
        *written = 0;
        return m_port ? m_port->Write(buf, n, abort, written) : ERR_INVALID;
    }
    int DrainOutput(const Event& abort) override {
        return m_port ? m_port->DrainOutput(abort) : ERR_INVALID;
    }
    void FlushOutput() override {
        if (m_port)
            m_port->FlushOutput();
    }
    bool HungUp() const override { return m_port && m_port->HungUp(); }
    int LostReason() const override { return m_port ? m_port->LostReason() : ERR_PORT_LOST; }

  private:
    // Set by Open on the owner's thread before any worker starts; the workers only read it.
    std::unique_ptr<ISerialPort> m_port;
    std::atomic<bool> m_shutdown{false};
};

}  // namespace

std::unique_ptr<ISerialPort> MakeSerialPort() {
    return std::make_unique<PortByName>();
}

std::string DevicePathForPort(const std::string& name) {
    return IsNetworkPortName(name) ? name : LocalDevicePath(name);
}

bool DevicePresent(const std::string& devicePath) {
    return IsNetworkPortName(devicePath) || LocalDevicePresent(devicePath);
}

}  // namespace korv
