#pragma once
#include "core/plattform.h"
#include "sim/simsource.h"

// The virtual receiver module, offered to the platform layer under the prefix "sim:".
const device_provider *sim_device_provider();

// Starts a virtual module on o's source; its descriptor, served by the provider above, or -1
// (errno set). Other providers that speak the module's protocol start theirs here.
int sim_device_open(const sim_options &o);
