#pragma once
// gzip as an encoder on the air writes it, for feeding the decoder compressed objects.

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace testsupport {

inline std::string gzip(const std::string &in) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, in.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef *>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

}  // namespace testsupport
