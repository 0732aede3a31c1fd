#pragma once
#include "core/plattform.h"

// The virtual receiver module, offered to the platform layer under the prefix "sim:".
const device_provider *sim_device_provider();
