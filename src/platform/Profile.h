#pragma once
// The user's remembered settings, kept where each system keeps a program's profile:
// Linux: the INI file that the desktop program's settings store writes,
//        $XDG_CONFIG_HOME/<company>/<application>.conf (else ~/.config/...);
// Windows: the registry key HKEY_CURRENT_USER\Software\<company>\<application>, one subkey per
//        section holding string values.
// Text is UTF-8 on both.

#include <string>
#include <utility>

namespace korv {

class CUserProfile {
  public:
    // The profile of company/application in the current user's store.
    CUserProfile(const std::string& company, const std::string& application);
    // A profile at an explicit place (tests): a file path on Linux, a key path below
    // HKEY_CURRENT_USER on Windows.
    static CUserProfile At(std::string location);

    // Where the profile is kept (the file path, or the key path below HKEY_CURRENT_USER);
    // empty when the system has no place for it (no home folder).
    const std::string& Location() const { return m_location; }

    // The string stored for section/entry, or defaultValue when there is none or the store
    // cannot be read.
    std::string GetString(const std::string& section, const std::string& entry,
                          const std::string& defaultValue) const;
    // Stores value at once. 0, or an error code; on Linux the file belongs to the desktop
    // program's settings store, which alone writes it (ERR_PROFILE_READ_ONLY).
    int WriteString(const std::string& section, const std::string& entry, const std::string& value);

  private:
    explicit CUserProfile(std::string location) : m_location(std::move(location)) {}
    std::string m_location;
};

}  // namespace korv
