#pragma once
// The persisted settings in the user's configuration, under the company "QUENDAL" and the
// application "KORVALIN"; a section is a settings group.

#include "view/Host.h"

namespace korv {

class QtProfile : public IProfile {
  public:
    std::string GetProfileString(const std::string& section, const std::string& entry,
                                 const std::string& defaultValue) override;
    void WriteProfileString(const std::string& section, const std::string& entry,
                            const std::string& value) override;
};

}  // namespace korv
