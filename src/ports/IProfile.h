#pragma once
// The persisted settings as the core reads and writes them: the remembered port, and the network
// ports the port list offers.

#include <string>

namespace korv {

// The persisted settings.
class IProfile {
  public:
    virtual ~IProfile() = default;
    virtual std::string GetProfileString(const std::string& section, const std::string& entry,
                                         const std::string& defaultValue) = 0;
    virtual void WriteProfileString(const std::string& section, const std::string& entry,
                                    const std::string& value) = 0;
};

}  // namespace korv
