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
    // A setting that cannot be stored is only not remembered; the run goes on. The result is
    // kept for front ends that want to say so.
    void WriteProfileString(const std::string& section, const std::string& entry,
                            const std::string& value) override {
        m_lastWriteError = m_profile.WriteString(section, entry, value);
    }
    int LastWriteError() const { return m_lastWriteError; }
    const CUserProfile& Profile() const { return m_profile; }

  private:
    CUserProfile m_profile;
    int m_lastWriteError = 0;
};

}  // namespace korv
