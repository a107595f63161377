#pragma once
// The controller's profile over the system's store of the user's settings.

#include <string>
#include <utility>

#include "platform/Profile.h"
#include "view/Host.h"

namespace korv {

class CProfileAdapter : public IProfile {
  public:
    explicit CProfileAdapter(CUserProfile profile) : m_profile(std::move(profile)) {}

    std::string GetProfileString(const std::string& section, const std::string& entry,
                                 const std::string& defaultValue) override {
        return m_profile.GetString(section, entry, defaultValue);
    }
    // A setting that cannot be stored is only not remembered; the run goes on.
    void WriteProfileString(const std::string& section, const std::string& entry,
                            const std::string& value) override {
        m_profile.WriteString(section, entry, value);
    }

  private:
    CUserProfile m_profile;
};

}  // namespace korv
