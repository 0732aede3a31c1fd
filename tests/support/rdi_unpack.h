#pragma once
// Takes an RDI word stream apart the way the server's reader does (header words,
// lrev fields, crunch20/crunch22), so tests can compare what comes out with the ETI.
// Kept independent of the server's RDI unpacking on purpose: a fault there must not hide here.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace rdiunpack {

struct fic_frame {
    std::vector<uint8_t> data;  // 30 bytes
    bool crc_error = false;
};

struct msc_frame {
    int subchid = 0;
    int len = 0;  // header length field
    bool bits22 = false;
    size_t fic_before = 0;  // FIC frames that came before this one
    std::vector<uint8_t> data;
};

struct result {
    std::vector<fic_frame> fic;
    std::vector<msc_frame> msc;
    size_t zero_words = 0;
    std::vector<std::string> faults;  // words that break the format
};

uint32_t lrev(uint32_t w);

// frame_bytes gives the frame size in bytes of a sub-channel (as the service table
// would); the unpacker reads exactly the words that size needs.
result unpack(const std::vector<uint32_t> &words, const std::function<size_t(int)> &frame_bytes);

std::vector<uint32_t> from_bytes(const std::string &bytes);

}  // namespace rdiunpack
