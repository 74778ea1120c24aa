// Code-signing certificates made by openssl for the test process, and files signed with them
// the way a vendor signs its releases: PE files by osslsigncode, the host's ELF stand-ins by
// sign-elf. Host-only.
#pragma once

#include <filesystem>
#include <string>

namespace vovu::testing {

// The certificates, all issued by one root "ca": "signer" (the publisher of the installed
// application) and "other" (a valid code-signing certificate of someone else).
enum class Signer { kPublisher, kOther };

// True when the tools for signing PE files are installed (osslsigncode).
[[nodiscard]] bool CanSignPeFiles();

// Makes the root of both certificates a trust anchor of the current test machine.
void TrustSigningRoot();

// The SHA-1 thumbprint of the signer's certificate, 40 lower-case hex digits.
[[nodiscard]] std::u16string SignerThumbprint(Signer signer);

// Signs the PE file `in` into `out` with osslsigncode; false when that failed.
[[nodiscard]] bool SignPeFile(const std::filesystem::path& in, const std::filesystem::path& out,
                              Signer signer);

// PE images signed once for the test process: korvaCF.exe (64-bit) and addon.node (32-bit)
// by the publisher, the same addon.node by the other signer, and the unsigned originals.
// `ok` is false when building or signing them failed.
struct SignedPeFiles {
  bool ok = false;
  std::filesystem::path korvaCf;
  std::filesystem::path addon;
  std::filesystem::path addonByOther;
  std::filesystem::path unsignedKorvaCf;
  std::filesystem::path unsignedAddon;
};
[[nodiscard]] const SignedPeFiles& SignedRelease();

// Signs the ELF file in place with sign-elf; false when that failed.
[[nodiscard]] bool SignElfFile(const std::filesystem::path& file, Signer signer);

}  // namespace vovu::testing
