// The emulated machine's trusted root certificates ("the machine's root store").
//
// The store is the directory <root>/certs/root of the machine root: every file in it whose
// name ends in ".pem" or ".crt" holds one or more PEM certificates, each of them a trust
// anchor. A missing directory is an empty store. Host-only.
#pragma once

#include <string>

#include "platform/host/core/openssl_ptr.h"

namespace vovu::platform::host {

inline constexpr char kRootStoreDirectory[] = "certs/root";

// The host path of the root store directory of the current machine root.
[[nodiscard]] std::string RootStorePath();

// A new X509_STORE holding every certificate of the root store, read now. Files that cannot
// be read or parsed are skipped. Null only when OpenSSL cannot allocate the store.
[[nodiscard]] X509StorePtr LoadRootStore();

}  // namespace vovu::platform::host
