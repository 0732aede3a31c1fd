#pragma once
// FIG encoders (EN 300 401 clauses 5.2, 6 and 8) and the FIB carousel of the generator.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace dabgen {

using bytes = std::vector<uint8_t>;

// Type 0 FIGs: entries are packed into as few FIGs of at most 30 bytes as possible.
std::vector<bytes> pack_fig0(int ext, bool pd, const std::vector<bytes> &entries);

bytes fig0_0(uint16_t eid, int cif_count);
bytes fig0_1_short(int subchid, int start_address, int table_index);
bytes fig0_1_long(int subchid, int start_address, int option, int level, int size);

struct component_desc {
    int tmid;      // 0 stream audio, 3 packet data
    int type;      // ASCTy (tmid 0) or SCId (tmid 3)
    int subchid;   // tmid 0 only
    bool primary;
};
bytes fig0_2_entry(uint32_t sid, bool long_sid, const std::vector<component_desc> &components);
bytes fig0_3_entry(int scid, int dscty, int subchid, int packet_address);
bytes fig0_8_entry_short(uint32_t sid, bool long_sid, int scids, int subchid);
bytes fig0_8_entry_long(uint32_t sid, bool long_sid, int scids, int scid);
bytes fig0_9(int lto_half_hours, uint8_t ecc, uint8_t inter_table_id);
// Date and time, long form (UTC with seconds and milliseconds).
bytes fig0_10(time_t utc, int milliseconds);

struct user_app {
    int type;    // user application type (11 bits)
    bytes data;  // user application data (at most 23 bytes)
};
bytes fig0_13_entry(uint32_t sid, bool long_sid, int scids, const std::vector<user_app> &apps);
bytes fig0_17_entry(uint32_t sid, bool static_pty, int int_code);

// Labels in the EBU Latin repertoire; text is UTF-8 or ASCII, cut or padded to 16.
bytes fig1_0(uint16_t eid, const std::string &label, uint16_t char_flags);
bytes fig1_1(uint16_t sid, const std::string &label, uint16_t char_flags);
bytes fig1_4(uint32_t sid, bool long_sid, int scids, const std::string &label, uint16_t char_flags);
bytes fig1_5(uint32_t sid, const std::string &label, uint16_t char_flags);

// UTF-8 (or Latin-1) text to 16 EBU Latin characters, space padded.
void ebu_label(const std::string &text, uint8_t out[16]);

// Builds the three FIBs of one 24 ms frame from a repeating list of FIGs.
class fic_carousel {
  public:
    void set_figs(std::vector<bytes> figs);
    // lead: FIGs that go first into FIB 0 of this frame (FIG 0/0, date and time).
    // corrupt_fib: index of a FIB whose CRC is broken on purpose, or -1.
    void build(const std::vector<bytes> &lead, uint8_t out[96], int corrupt_fib);

  private:
    void fill_fib(uint8_t *fib, const std::vector<bytes> &lead);
    std::vector<bytes> figs_;
    size_t next_ = 0;
};

}  // namespace dabgen
