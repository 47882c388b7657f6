#include "host/line/pseudo_terminal.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

bool is_pseudo_terminal(const std::string& port) {
    struct stat node {};
    if (stat(port.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return false;
    // Linux numbers the devices of /dev/pts from major 136 to 143.
    const unsigned int kind = major(node.st_rdev);
    return kind >= 136 && kind <= 143;
}
