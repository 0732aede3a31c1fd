// Platform layer: threads, device routing by prefix, bounded copies.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "core/plattform.h"

namespace {

std::atomic<int> ran{0};
void *body(void *arg) {
    ran += *static_cast<int *>(arg);
    return nullptr;
}

int opened = 0, requests = 0, closed = 0;
unsigned long last_request = 0;
int fake_open(const char *, int) {
    opened++;
    return open("/dev/null", O_RDONLY);
}
int fake_ioctl(int, unsigned long req, void *arg) {
    requests++;
    last_request = req;
    *static_cast<int *>(arg) = 4096;
    return 0;
}
int fake_close(int fd) {
    closed++;
    return close(fd);
}
const device_provider fake = {"fake:", fake_open, fake_ioctl, fake_close};

}  // namespace

TEST(plattform, JoinableThreadIsJoinedByCancel) {
    pthread_t t;
    int v = 3;
    ran = 0;
    ASSERT_EQ(thread_create(&t, body, &v, 0), 0);
    usleep(20000);
    EXPECT_EQ(thread_cancel(t), 0);
    EXPECT_EQ(ran.load(), 3);
}

TEST(plattform, DevicesWithARegisteredPrefixGoToTheirProvider) {
    ASSERT_EQ(device_register_provider(&fake), 1);
    int fd = device_open("fake:anything", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(opened, 1);
    int version = 0;
    EXPECT_EQ(ioctrl(fd, static_cast<int>(0x8004643F), &version, 4, &version, 4, nullptr), 0);
    EXPECT_EQ(version, 4096);
    EXPECT_EQ(last_request, 0x8004643Fu);  // the request number survives the int parameter
    EXPECT_EQ(device_close(fd), 0);
    EXPECT_EQ(closed, 1);
    device_unregister_provider("fake:");

    // Other names are real device nodes; requests on them reach the kernel.
    int real = device_open("/dev/null", O_RDWR);
    ASSERT_GE(real, 0);
    EXPECT_EQ(ioctrl(real, static_cast<int>(0x8004643F), &version, 4, &version, 4, nullptr), -1);
    EXPECT_EQ(requests, 1);
    device_close(real);
    EXPECT_EQ(ioctrl(real, static_cast<int>(0x8004643F), &version, 4, &version, 4, nullptr), -1);
    EXPECT_EQ(device_open("/nonexistent/device", O_RDWR), -1);
}

TEST(plattform, CopyFieldAlwaysTerminatesAndCuts) {
    char small[5];
    copy_field(small, "abcdefgh");
    EXPECT_STREQ(small, "abcd");
    copy_field(small, nullptr);
    EXPECT_STREQ(small, "");
    char exact[4];
    copy_field(exact, "abc");
    EXPECT_STREQ(exact, "abc");
}
