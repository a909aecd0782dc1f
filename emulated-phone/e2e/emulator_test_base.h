// The fixture both end-to-end suites share: a served folder, the emulator on
// it, and a client opened up to AFC.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e/e2e_util.h"
#include "e2e/phone_client.h"
#include "testing/emulator_process.h"

namespace emulated_phone::testing {

class EmulatorTest : public ::testing::Test {
 protected:
  // Starts the emulator on tree_ with `args` and points the library at it.
  std::unique_ptr<EmulatorProcess> start(std::vector<std::string> args = {}) {
    auto emulator = std::make_unique<EmulatorProcess>(EMULATED_PHONE_BIN, tree_.path(), args);
    EXPECT_TRUE(emulator->ok()) << emulator->error();
    useUsbmuxdAddress(emulator->usbmuxd_address());
    return emulator;
  }
  // Opens a client up to an AFC connection; fails the test on the way.
  void openAfc(PhoneClient& client) {
    ASSERT_EQ(client.open(), IDEVICE_E_SUCCESS);
    ASSERT_EQ(client.connectLockdown(), LOCKDOWN_E_SUCCESS);
    ASSERT_EQ(client.validatePairing(), LOCKDOWN_E_SUCCESS);
    ASSERT_EQ(client.startSession(), LOCKDOWN_E_SUCCESS);
    ASSERT_EQ(client.startService("com.apple.afc", nullptr), LOCKDOWN_E_SUCCESS);
    ASSERT_EQ(client.openAfc(), AFC_E_SUCCESS);
  }

  TempTree tree_;
};

}  // namespace emulated_phone::testing
