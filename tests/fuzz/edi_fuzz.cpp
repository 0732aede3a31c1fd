// EDI bytes through every entry of the input: as a stream in uneven pieces or as datagrams cut
// at each "PF"/"AF", as one AF packet and as one TAG packet. Every rebuilt frame must parse.

#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/edi_af.h"
#include "common/edi_decoder.h"
#include "common/edi_pft.h"
#include "common/eti_reader.h"

namespace {

void check_frame(const uint8_t *eti) {
    static dabcommon::eti_frame f;
    if (dabcommon::parse_eti_frame(eti, dabcommon::ETI_FRAME_SIZE, f) <= 0 || !f.header_crc_ok || !f.mst_crc_ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint64_t now = 0;
    // The last byte (a CRC's, mostly) picks the stream or the datagrams.
    const bool stream = size && (data[size - 1] & 1);
    if (stream) {
        dabcommon::edi_decoder d(check_frame, 4, 50);
        size_t off = 0, piece = size ? data[0] % 61 + 1 : 1;
        while (off < size) {
            const size_t n = std::min(size - off, piece);
            d.push_stream(data + off, n, now += 7);
            off += n;
            piece = piece * 5 % 1409 + 1;
        }
        d.tick(now += 1000);
    } else {
        dabcommon::edi_decoder d(check_frame, 4, 50);
        size_t start = 0;
        for (size_t i = 1; i <= size; i++) {
            const bool sync = i + 1 < size && (data[i] == 'P' || data[i] == 'A') && data[i + 1] == 'F';
            if (i == size || sync) {
                d.push_datagram(data + start, i - start, now += 3);
                start = i;
            }
        }
        d.tick(now += 1000);
    }
    dabcommon::af_packet a;
    static std::vector<uint8_t> eti(dabcommon::ETI_FRAME_SIZE);
    if (dabcommon::af_parse(data, size, a) > 0 && dabcommon::edi_tags_to_eti(a.payload, a.payload_len, eti.data()) == 1)
        check_frame(eti.data());
    if (dabcommon::edi_tags_to_eti(data, size, eti.data()) == 1) check_frame(eti.data());
    dabcommon::pft_fragment f;
    const int n = dabcommon::pft_parse(data, size, f);
    if (n > 0 && (static_cast<size_t>(n) > size || f.payload + f.plen > data + size)) abort();
    return 0;
}
