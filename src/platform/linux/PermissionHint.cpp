// The advice for a device the user may not open on Linux: the group that owns it.

#include <grp.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/PermissionHint.h"

namespace korv {

std::string PermissionHint(const std::string& devicePath) {
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0) {
        return {};
    }
    std::string group;
    std::vector<char> buf(4096);
    struct group grp {};
    struct group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &grp, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
        group = found->gr_name;
    } else {
        group = std::to_string(st.st_gid);
    }
    return devicePath + " belongs to the group '" + group +
           "'; to use it, join that group with `sudo usermod -aG " + group +
           " $USER` and log in again.";
}

}  // namespace korv
