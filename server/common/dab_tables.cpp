#include "common/dab_tables.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

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

int channel_frequency_khz(const char *name) {
    if (!name) return -1;
    const size_t len = strlen(name);
    auto letter = [](char c) { return std::toupper(static_cast<unsigned char>(c)) - 'A'; };
    if (len == 2 && (name[0] == 'L' || name[0] == 'l')) {
        const int i = letter(name[1]);
        return i >= 0 && i <= LBAND_INDEX_LAST ? dabfreq[static_cast<size_t>(LBAND_INDEX_FIRST + i)] : -1;
    }
    if (len < 2 || len > 3 || !std::isdigit(static_cast<unsigned char>(name[0])) ||
        (len == 3 && !std::isdigit(static_cast<unsigned char>(name[1]))))
        return -1;
    const int block = atoi(std::string(name, len - 1).c_str());
    const int i = letter(name[len - 1]);
    if (block < 5 || block > 13 || i < 0) return -1;
    // The three N channels of blocks 10 to 12 lie 160 kHz above their A channel.
    if (i == 'N' - 'A') return block >= 10 && block <= 12 ? dabfreq[static_cast<size_t>(BAND3_INDEX_FIRST + 4 * (block - 5))] + 160 : -1;
    if (i > (block == 13 ? 5 : 3)) return -1;
    return dabfreq[static_cast<size_t>(BAND3_INDEX_FIRST + 4 * (block - 5) + i)];
}

}  // namespace dabcommon
