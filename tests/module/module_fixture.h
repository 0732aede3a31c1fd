#pragma once
// An ensemble whose module is the fake driver, with the log captured.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/log.h"
#include "core/plattform.h"
#include "module/dabapi.h"
#include "module/dcsr.h"
#include "fake_driver.h"
#include "support/log_capture.h"

class module_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        fakedrv::reset();
        fakedrv::install();
        ens = new ensemble();
        captured.attach(ens->l);
        copy_field(ens->cfg->device, "fake:0");
    }
    void TearDown() override {
        if (ens->cfg->fd >= 0) ens->api->close_driver();
        delete ens;
        ens = nullptr;
        fakedrv::uninstall();
    }

    // Opens the fake module as the USB (version 4096) or the PCI variant; forgets the
    // requests of the opening.
    void open(bool usb) {
        fakedrv::st().version = usb ? 4096 : 1;
        ASSERT_EQ(ens->api->open_driver(), 1);
        ASSERT_EQ(ens->api->usb, usb ? 1 : 0);
        fakedrv::st().log.clear();
        fakedrv::st().bulk_count = 0;
    }

    bool logged(const std::string &text) const { return captured.has(text); }

    testsupport::log_capture captured;
    ensemble *ens = nullptr;
};
