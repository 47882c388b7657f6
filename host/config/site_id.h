// The site id: what names this box to Home Assistant (every entity's id
// carries it) and to a central history (every row carries it). Given with
// `site`, or made up from the machine, so that it outlives a renamed host.
#pragma once

#include <string>

#include "host/config/settings.h"

// The machine's id (/etc/machine-id's line), or "" when it has none.
std::string machine_id(const std::string& path = "/etc/machine-id");

// A site id as it may stand in a topic, an entity id and a database key:
// lower case, what is neither a letter, a digit, - nor _ made _.
std::string site_text(const std::string& text);

// The site id made up for a machine and an MQTT prefix: 8 hex digits of a
// digest of both, stable across restarts, apart for two prefixes of one
// machine. A cloned system keeps its machine id: there `site` tells the
// two apart.
std::string made_up_site(const std::string& machine, const std::string& prefix);

// The run's site id: the one given, or the one made up for this machine.
std::string run_site(const HostSettings& settings, const std::string& machine);
