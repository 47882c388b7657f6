// This machine's name, and the share of a limit a client's address counts
// against: what several rooms need of names and addresses, said once.
#pragma once

#include <string>

// gethostname's, or "" when it has none.
std::string host_name();

// An IPv4 address (one mapped into IPv6 too), or an IPv6 /64, which one
// host may hold whole: "192.0.2.7", "2001:db8::/64". Takes "[2001:db8::7]"
// or "2001:db8::7"; anything else comes back as it is.
std::string address_share(std::string address);
