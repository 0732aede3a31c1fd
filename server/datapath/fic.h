#pragma once
// FIC decoder: splits every FIB of the Fast Information Channel into FIGs and hands each
// entry to its FIG decoder; what they decode goes into the store this decoder is.

#include <ctime>

#include "datapath/figdec.h"
#include "datapath/figstore.h"

class ensemble;

class fic : public fig_store {
public:
    explicit fic(ensemble *p);
    fic(const fic &) = delete;
    fic &operator=(const fic &) = delete;

    // One FIB of FIB_BYTES as the reader unpacked it, with the receiver's status word.
    int decode_fic(const unsigned char *fib, unsigned int status);
    // Decodes the 30 data bytes of one good FIB.
    int decode_fib(const unsigned char *fib);

    time_t last_garbled;
    int garbled_counter;

private:
    // The FIG whose header byte is at p; the position of the next FIG, or -1 when the FIB ends.
    int decode_fig_at(fig_s &f, int p, bool debug);
    // Reads the FIG header into f.hdr; false for a type without decoders.
    bool read_fig_header(fig_s &f, int p);
    // The entries of the FIG f.start..f.end, each one record.
    void decode_entries(fig_s &f, bool debug);
    // The entry at p; the position of the next entry.
    int decode_entry(fig_s &f, int p, bool debug);
};
