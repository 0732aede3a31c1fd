#include "datapath/isoconv.h"

// The table and the conversion are constexpr; this unit pins them at build time.
static_assert(transiso646('A') == 'A', "ASCII passes unchanged");
static_assert(transiso646(0x82) == 0xE9, "e acute");
static_assert(transiso646(0xFF) == 0xA0, "last entry");
