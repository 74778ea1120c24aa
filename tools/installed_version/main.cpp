// installed-version: drives the protected installed-version record the way the service does,
// for demonstrations and by hand. Placed beside Korvadesk.exe, it reads that executable's
// product version exactly as the service would from its own installation directory.
//
//   installed-version load            LoadInstalledVersion without a reset
//   installed-version reset           LoadInstalledVersion with a reset (as install does)
//   installed-version record VERSION  RecordConfirmedVersion
//
// Prints the resulting version, or the service's failure message, and exits 0 or 1 (2 for a
// usage error). Unlike the service it writes to the console: it is a tool for people.
#include <cstdio>
#include <string>

#include "foundation/text.h"
#include "state/installed_version.h"
#include "tool_common.h"

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

constexpr char kUsage[] =
    "usage: installed-version load | reset | record VERSION\n"
    "Drives the protected installed-version record as the service does, for the\n"
    "Korvadesk.exe beside this program. Exit code 0; 1 with the service's message; 2 for a\n"
    "usage error.\n";

int main(int argc, char** argv) {
  const std::string verb = argc > 1 ? argv[1] : "";
  if (vovu::tools::IsHelpArgument(verb))
    return vovu::tools::ShowUsage(kUsage);
  if (verb == "load" || verb == "reset" || verb == "record")
    vovu::tools::NoteMachineRoot("installed-version");
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
  return vovu::tools::UsageError("installed-version", "expected load, reset or record VERSION",
                                 kUsage);
}
