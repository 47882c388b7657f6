#include "host/common/host_address.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>

std::string host_name() {
    char name[256] = "";
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

std::string address_share(std::string address) {
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') address = address.substr(1, address.size() - 2);
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) != 1) return address;
    char text[INET6_ADDRSTRLEN] = "";
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
        return text;
    }
    std::memset(&v6.s6_addr[8], 0, 8);
    inet_ntop(AF_INET6, &v6, text, sizeof text);
    return std::string(text) + "/64";
}
