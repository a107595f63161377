#pragma once
// The persisted settings in the INI file the desktop program's settings store also uses on
// Linux ($XDG_CONFIG_HOME/QUENDAL/KORVALIN.conf, else ~/.config/QUENDAL/KORVALIN.conf), so
// both front ends remember the same port. Values are escaped and quoted the way that store
// writes them; lines and keys this program does not know are kept as they are.

#include <string>

#include "view/Host.h"

namespace korv {

class CIniProfile : public IProfile {
  public:
    explicit CIniProfile(std::string path) : m_path(std::move(path)) {}

    // The settings file for an environment: xdgConfigHome when it is an absolute path, else
    // home + "/.config". Empty when neither is usable.
    static std::string DefaultPath(const char* xdgConfigHome, const char* home);

    std::string GetProfileString(const std::string& section, const std::string& entry,
                                 const std::string& defaultValue) override;
    // Writes through at once (a temporary file renamed over the old one); a failure leaves the
    // old file untouched and is reported by LastWriteError.
    void WriteProfileString(const std::string& section, const std::string& entry,
                            const std::string& value) override;

    int LastWriteError() const { return m_lastWriteError; }
    const std::string& Path() const { return m_path; }

    // The value as it is written after "key=", and its reading back.
    static std::string EscapeValue(const std::string& value);
    static std::string UnescapeValue(const std::string& text);

  private:
    std::string m_path;
    int m_lastWriteError = 0;
};

}  // namespace korv
