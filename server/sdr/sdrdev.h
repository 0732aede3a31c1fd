#pragma once
#include "core/plattform.h"

// The software receiver, offered to the platform layer under the prefix "sdr:": the virtual
// module's protocol over a receiver's decoded signal.
const device_provider *sdr_device_provider();
