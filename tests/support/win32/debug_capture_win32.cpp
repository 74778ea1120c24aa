#include "support/debug_capture.h"

namespace vovu::testing {

struct DebugCapture::Impl {};

DebugCapture::DebugCapture() = default;
DebugCapture::~DebugCapture() = default;
bool DebugCapture::Supported() {
  return false;
}
bool DebugCapture::Available() const {
  return false;
}
std::vector<std::string> DebugCapture::Lines() {
  return {};
}

}  // namespace vovu::testing
