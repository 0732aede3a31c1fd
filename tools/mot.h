#pragma once
// MSC data groups (EN 300 401 clause 5.3.3), MOT objects and directories (EN 301 234),
// packet mode (EN 300 401 clause 5.3.2) and IP datagrams for IP over DAB.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace dabgen {

using bytes = std::vector<uint8_t>;

struct dg_params {
    int type = 0;         // data group type
    int continuity = 0;   // 4 bits
    int repetition = 0;   // 4 bits
    bool session = true;  // segment field and user access field present
    bool last = true;
    int segnum = 0;
    int transport_id = -1;  // -1: none
    bool crc = true;
    bool corrupt_crc = false;  // fault injection
};

// Data group header, session header, data field and CRC.
bytes msc_data_group(const dg_params &p, const uint8_t *data, size_t len);

// MOT header parameter with the smallest fitting length indicator form.
bytes mot_param(int id, const bytes &data);
bytes mot_param_int(int id, uint32_t value, int width);  // width 0 (flag), 1 or 4 bytes
bytes mot_content_name(const std::string &name);
bytes mot_content_label(const std::string &label);
bytes mot_trigger_now();

// Header core (body size 28, header size 13, content type 6, subtype 9) and extension.
bytes mot_header(uint32_t body_size, int ct_type, int ct_subtype, const bytes &extension);

// Splits data into MOT segments (2-byte segmentation header each) and wraps each segment in a
// data group of the given type. continuity is the running index of that data group type.
// corrupt: called once per data group; true breaks its CRC.
template <class F>
std::vector<bytes> mot_data_groups(int dgtype, int transport_id, const bytes &data, int segment_size,
                                   int &continuity, F corrupt);

struct mot_dir_entry {
    int transport_id;
    bytes header;  // header core and extension
};
// Directory object: head, extension (e.g. DirectoryIndex) and entries.
bytes mot_directory(const std::vector<mot_dir_entry> &entries, int carousel_period, int segment_size,
                    const bytes &extension);

// Packet of plen bytes (24, 48, 72, 96): header, udl bytes of data, padding, CRC.
void make_packet(uint8_t *out, int plen, int address, int ci, int first_last, const uint8_t *data, int udl);

// Cuts queued data groups of one packet address into packets.
class packet_encoder {
  public:
    packet_encoder(int address, int packet_size) : address_(address), size_(packet_size) {}
    void push(bytes dg) { queue_.push_back(std::move(dg)); }
    bool idle() const { return queue_.empty(); }
    int address() const { return address_; }
    int packet_size() const { return size_; }
    // Writes the next packet, at most max_len bytes long; false when nothing is queued.
    // Returns the packet length in len.
    bool next(uint8_t *out, int max_len, int &len);

  private:
    int address_, size_;
    int ci_ = 0;
    size_t offset_ = 0;
    std::deque<bytes> queue_;
};

// IPv4 + UDP datagram with valid checksums.
bytes ipv4_udp(uint32_t src, uint32_t dst, int sport, int dport, int ttl, int ident, const bytes &payload);

template <class F>
std::vector<bytes> mot_data_groups(int dgtype, int transport_id, const bytes &data, int segment_size,
                                   int &continuity, F corrupt) {
    std::vector<bytes> out;
    size_t nseg = data.empty() ? 1 : (data.size() + segment_size - 1) / segment_size;
    for (size_t i = 0; i < nseg; i++) {
        size_t off = i * static_cast<size_t>(segment_size);
        size_t len = data.size() - off < static_cast<size_t>(segment_size) ? data.size() - off : segment_size;
        bytes seg;
        // repetition count(3) segment size(13)
        seg.push_back(static_cast<uint8_t>(len >> 8 & 0x1F));
        seg.push_back(static_cast<uint8_t>(len));
        seg.insert(seg.end(), data.begin() + static_cast<long>(off), data.begin() + static_cast<long>(off + len));
        dg_params p;
        p.type = dgtype;
        p.continuity = continuity;
        p.last = i + 1 == nseg;
        p.segnum = static_cast<int>(i);
        p.transport_id = transport_id;
        p.corrupt_crc = corrupt();
        continuity = (continuity + 1) & 0x0F;
        out.push_back(msc_data_group(p, seg.data(), seg.size()));
    }
    return out;
}

}  // namespace dabgen
