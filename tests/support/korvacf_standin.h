// Copies of the stand-in cloud-files helper (tools/korvacf_standin) for process tests.
#pragma once

#include <string>

namespace vovu::testing {

// Places a copy of the stand-in helper at `windowsPath` (its folders made as needed), where
// every user may run it. Started without arguments the copy runs until it is stopped.
void PlaceHelperCopy(const std::u16string& windowsPath);

}  // namespace vovu::testing
