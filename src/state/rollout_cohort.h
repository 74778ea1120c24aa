// The machine's identity and its rollout cohort: a number in [0, 100) drawn the same way on
// every attempt for the same machine and target version.
#pragma once

#include <string>

namespace vovu {

// MachineGuid (HKLM\SOFTWARE\Microsoft\Cryptography, 64-bit view), up to its first NUL,
// ASCII-lowered and stripped of white space at both ends. Failures: "cannot open
// MachineGuid registry key, error=N", "cannot query MachineGuid, error=N" (also for a value
// that is not a string or whose size is not 2 to 4096 bytes, with N 0), "cannot read
// MachineGuid, error=N", "MachineGuid is empty".
[[nodiscard]] bool ReadMachineGuid(std::u16string* guid, std::u16string* error);

// The bucket of MachineGuid + "|" + version: the first 32 bits of the SHA-256 of its UTF-8
// bytes, times 2^-32, times 100. The machine takes part when bucket < rolloutPercent.
[[nodiscard]] bool ComputeRolloutBucket(const std::u16string& version, double* bucket,
                                        std::u16string* error);

// The bucket of a given digest's hex text (its first 8 digits), as ComputeRolloutBucket
// derives it. Failure: "invalid rollout digest".
[[nodiscard]] bool BucketFromDigest(const std::u16string& hex, double* bucket,
                                    std::u16string* error);

}  // namespace vovu
