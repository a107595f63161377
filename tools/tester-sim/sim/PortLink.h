#pragma once
// A symbolic link that names the simulator's pty under a fixed path, so that a program which can
// only be told a port name once (a Wine prefix maps COM5 to a path in its registry) reaches each
// new simulator without being reconfigured.

#include <string>

namespace korv::sim {

class PortLink {
  public:
    PortLink() = default;
    ~PortLink();
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    // Points link at target, replacing in one step whatever link was there, so an opener never
    // finds the path missing. Returns an error text, empty on success.
    std::string point(const std::string& link, const std::string& target);

  private:
    std::string link_;
    std::string target_;
};

}  // namespace korv::sim
