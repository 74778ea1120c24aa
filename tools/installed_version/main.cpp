// installed-version: drives the protected installed-version record the way the service does,
// for demonstrations and by hand. Placed beside Korvadesk.exe, it reads that executable's
// product version exactly as the service would from its own installation directory.
//
//   installed-version load            LoadInstalledVersion without a reset
//   installed-version reset           LoadInstalledVersion with a reset (as install does)
//   installed-version record VERSION  RecordConfirmedVersion
//
// Prints the resulting version, or the service's failure message, and exits 0 or 1. Unlike
// the service it writes to the console: it is a tool for people.
#include <cstdio>
#include <string>

#include "foundation/text.h"
#include "state/installed_version.h"

namespace {

int Report(bool ok, const std::u16string& version, const std::u16string& error) {
  if (!ok) {
    std::fprintf(stderr, "failed: %s\n", vovu::WideToUtf8(error).c_str());
    return 1;
  }
  std::printf("installed version %s (%s)\n", vovu::WideToUtf8(version).c_str(),
              vovu::WideToUtf8(vovu::InstalledVersionStatePath()).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string verb = argc > 1 ? argv[1] : "";
  std::u16string version;
  std::u16string error;
  if ((verb == "load" || verb == "reset") && argc == 2) {
    const bool ok = vovu::LoadInstalledVersion(&version, &error, verb == "reset");
    return Report(ok, version, error);
  }
  if (verb == "record" && argc == 3) {
    version = vovu::Utf8ToWide(argv[2]);
    return Report(vovu::RecordConfirmedVersion(version, &error), version, error);
  }
  std::fprintf(stderr, "usage: installed-version load | reset | record VERSION\n");
  return 2;
}
