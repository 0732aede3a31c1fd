#pragma once
// The receiver module's message protocol, shared by the server's command layer and the
// virtual module: record groups, command codes, channel table indices, frequency fields.

#include "common/dab_tables.h"
#include <cstdint>

namespace dabcommon {

// First byte of every record.
constexpr uint8_t MOD_GROUP_CMD = 0x01;
constexpr uint8_t MOD_GROUP_CMD2 = 0x10;
constexpr uint8_t MOD_GROUP_RESPONSE = 0x02;
constexpr uint8_t MOD_GROUP_NOTIFY = 0x04;
constexpr uint8_t MOD_GROUP_NOTIFY2 = 0x40;  // accepted like MOD_GROUP_NOTIFY

// Command codes of group MOD_GROUP_CMD; a notification answering one carries the same code.
enum : uint8_t {
    CMD_TUNE = 0x02,
    CMD_GET_FIGS = 0x05,
    CMD_SELECT_SUBCHANNEL = 0x06,
    CMD_SEARCH_FOR_ENSEMBLE = 0x07,
    CMD_GET_FREQUENCY = 0x08,
    CMD_SET_DRC = 0x09,
    CMD_GET_DAB_STATUS = 0x0A,
    CMD_SET_STATUS_NOTIFICATIONS = 0x0B,
    CMD_GET_VERSION = 0x0D,
};

// Command codes of group MOD_GROUP_CMD2.
enum : uint8_t {
    CMD2_NO_OPERATION = 0x00,
    CMD2_WRITE_MEMBLOCK = 0x0A,
    CMD2_READ_MEMBLOCK = 0x0B,
    CMD2_SET_RDI_CONFIG = 0x11,
    CMD2_GET_RDI_SUBCH_LIST = 0x12,
    CMD2_SET_TUNE_WAIT_LOOPS = 0x17,
    CMD2_GET_SUBCH_PARAMS_3 = 0x19,
    CMD2_GET_MS_AUDIO_INFO = 0x1B,
};

// Notification codes that answer no command of the same code.
constexpr uint8_t NOTIFY_DAB_STATUS = 0x0A;
constexpr uint8_t NOTIFY_MEM_BLOCK = 0x0B;

// The module numbers channels by their index in dabfreq (common/dab_tables.h).

// A 4-bit mode and a 19-bit frequency in 16 kHz units in three bytes.
constexpr int FREQ_UNIT_KHZ = 16;
inline void put_freq_field(uint8_t *p, int mode, unsigned long units) {
    p[0] = static_cast<uint8_t>((mode & 0x0F) << 4 | ((units >> 16) & 0x07));
    p[1] = static_cast<uint8_t>((units >> 8) & 0xFF);
    p[2] = static_cast<uint8_t>(units & 0xFF);
}
inline int freq_field_units(const uint8_t *p) { return (p[0] & 0x07) << 16 | p[1] << 8 | p[2]; }

}  // namespace dabcommon
