#include "common/dab_tables.h"

#include <strings.h>

namespace dabcommon {

int uep_index(int bitrate, int level) {
    for (size_t i = 0; i < uep_table.size(); i++)
        if (uep_table[i].bitrate == bitrate && uep_table[i].level == level) return static_cast<int>(i);
    return -1;
}

int eep_size(int option, int level, int bitrate) {
    if (level < 1 || level > 4 || bitrate <= 0) return -1;
    if (option == 0) {
        if (bitrate % 8) return -1;
        // 8 kbit/s at 1A and 2A fall outside the set's range
        if (bitrate == 8 && level <= 2) return -1;
        return bitrate / 8 * eep_a_cu_per_8k[level - 1];
    }
    if (option == 1) {
        if (bitrate % 32) return -1;
        return bitrate / 32 * eep_b_cu_per_32k[level - 1];
    }
    return -1;
}

int eep_bitrate(int option, int level, int size) {
    if (level < 1 || level > 4 || size < 0) return 0;
    if (option == 0) return size * 8 / eep_a_cu_per_8k[level - 1];
    return size * 32 / eep_b_cu_per_32k[level - 1];
}

int layer2_bitrate_index(int bitrate, bool lsf) {
    const auto &t = lsf ? mpeg2_lsf_bitrates : mpeg1_layer2_bitrates;
    for (size_t i = 1; i < t.size(); i++)
        if (t[i] == bitrate) return static_cast<int>(i);
    return -1;
}

namespace {
struct channel_entry {
    const char *name;
    int khz;
};
// EN 50248 / EN 300 401 annex: Band III and L-band channel raster.
constexpr std::array<channel_entry, 61> channels = {{
    {"5A", 174928},  {"5B", 176640},  {"5C", 178352},  {"5D", 180064},  {"6A", 181936},  {"6B", 183648},
    {"6C", 185360},  {"6D", 187072},  {"7A", 188928},  {"7B", 190640},  {"7C", 192352},  {"7D", 194064},
    {"8A", 195936},  {"8B", 197648},  {"8C", 199360},  {"8D", 201072},  {"9A", 202928},  {"9B", 204640},
    {"9C", 206352},  {"9D", 208064},  {"10A", 209936}, {"10N", 210096}, {"10B", 211648}, {"10C", 213360},
    {"10D", 215072}, {"11A", 216928}, {"11N", 217088}, {"11B", 218640}, {"11C", 220352}, {"11D", 222064},
    {"12A", 223936}, {"12N", 224096}, {"12B", 225648}, {"12C", 227360}, {"12D", 229072}, {"13A", 230784},
    {"13B", 232496}, {"13C", 234208}, {"13D", 235776}, {"13E", 237488}, {"13F", 239200}, {"LA", 1452960},
    {"LB", 1454672}, {"LC", 1456384}, {"LD", 1458096}, {"LE", 1459808}, {"LF", 1461520}, {"LG", 1463232},
    {"LH", 1464944}, {"LI", 1466656}, {"LJ", 1468368}, {"LK", 1470080}, {"LL", 1471792}, {"LM", 1473504},
    {"LN", 1475216}, {"LO", 1476928}, {"LP", 1478640}, {"LQ", 1480352}, {"LR", 1482064}, {"LS", 1483776},
    {"LT", 1485488},
}};
static_assert(channels.size() == 61);
}  // namespace

int channel_frequency_khz(const char *name) {
    if (!name) return -1;
    for (const auto &c : channels)
        if (strcasecmp(c.name, name) == 0) return c.khz;
    return -1;
}

}  // namespace dabcommon
