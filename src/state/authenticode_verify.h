// Verifying a file's embedded Authenticode signature and naming its signer.
#pragma once

#include <string>

namespace vovu {

// Verifies `path` with the system's generic Authenticode policy and, when trusted, reads the
// SHA-1 thumbprint (40 lower-case hex digits) of the first signer's certificate. `trusted`
// is set false first; `thumbprint` and `error` are only ever assigned. A usable result is
// trusted with a non-empty thumbprint. Errors: "signature invalid, rc=<unsigned result>",
// or "signer extract failed: " + one of "CryptQueryObject failed: ...", "no signer in
// embedded signature", "signer cert info read failed", "signer cert not found in store",
// "thumbprint read failed".
void VerifyAuthenticode(const std::u16string& path, bool* trusted, std::u16string* thumbprint,
                        std::u16string* error);

}  // namespace vovu
