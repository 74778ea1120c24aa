// Whether this test process may change the machine's own registry keys (HKLM). On Windows
// (and under wine) the tests run as an administrator. On the host only root may change HKLM,
// as only an administrator may on Windows; a suite run by another user skips the tests that
// set up machine keys, with the reason, instead of failing them.
#pragma once

#include <gtest/gtest.h>

namespace vovu::testing {

[[nodiscard]] bool CanChangeMachineKeys();

}  // namespace vovu::testing

// Skips the test (from its body or its fixture's SetUp) when HKLM cannot be changed.
#define REQUIRE_MACHINE_KEY_RIGHTS()            \
  if (!::vovu::testing::CanChangeMachineKeys()) \
  GTEST_SKIP() << "changing HKLM needs root on the host: run the suite as root"
