// The real server executable on the virtual module.

#include <gtest/gtest.h>

#include <string>

#include "support/eti_maker.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

bool contains(const std::string &s, const std::string &t) { return s.find(t) != std::string::npos; }

class sim_server_test : public ::testing::Test {
protected:
    void SetUp() override {
        etimaker::write(ens.file("12c.eti"), etimaker::stream(10, {{1, 0, 24}, {2, 24, 12}}));
    }
    temp_dir run_dir, ens;
};

TEST_F(sim_server_test, quit_after_set_up_brings_the_module_up) {
    for (const char *variant : {"", ",pci"}) {
        auto r = run({dabserver_path(), "-d", "sim:" + ens.path() + variant, "-t", "12c", "-q"}, run_dir.path(), 60);
        SCOPED_TRACE(variant);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_TRUE(contains(r.out + r.err, "DAB module version: 4.40")) << r.out << r.err;
        EXPECT_FALSE(contains(r.out + r.err, "no velkor driver found"));
    }
}

TEST_F(sim_server_test, memory_dump_shows_the_dual_port_window) {
    auto r = run({dabserver_path(), "-d", "sim:" + ens.path(), "-b"}, run_dir.path(), 60);
    EXPECT_EQ(r.status, 0) << r.err;
    // 1024 bytes, 16 per row: the last row starts at offset 1008.
    EXPECT_TRUE(contains(r.err, "\n    0: ")) << r.err;
    EXPECT_TRUE(contains(r.err, "\n 1008: ")) << r.err;
    EXPECT_FALSE(contains(r.err, "\n 1024: "));
}

TEST_F(sim_server_test, a_device_name_that_is_no_virtual_module_fails_the_start) {
    auto r = run({dabserver_path(), "-d", "sim:" + ens.path() + ",speed=fast", "-q"}, run_dir.path(), 60);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(contains(r.out + r.err, "open_driver: can't open sim:")) << r.out << r.err;
}

}  // namespace
