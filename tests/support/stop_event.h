// The service's stop event for tests that run hot-update steps without the service's runtime:
// installed fresh by the test, signalled by the test (SignalServiceStop) when it plays the
// stop, and withdrawn again with ReplaceServiceStopEvent(nullptr).
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "foundation/service_stop.h"
#include "platform/sync.h"

namespace vovu::testing {

// Installs a new manual-reset stop event, already signalled when `set`. A failure to make it
// is a test failure.
inline void InstallStopEvent(bool set = false) {
  auto event = std::make_unique<platform::Event>();
  ASSERT_TRUE(platform::Event::Create(/*manualReset=*/true, set, event.get()));
  ReplaceServiceStopEvent(std::move(event));
}

}  // namespace vovu::testing
