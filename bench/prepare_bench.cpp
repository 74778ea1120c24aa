// Prepare end to end against the reference tools on the same files, in the same run.
//
// A package made by make-package (a PE korvaCF.exe and addon.node signed by osslsigncode, and
// an app.asar of the given size) is served by update-host on 127.0.0.1:443 of a private
// network namespace (root is needed). The service's side is HotUpdatePrepare in a fresh
// process of its own (this program re-executed): official manifest, download, package
// digest, tar listing and extraction, file digests and signatures, up to "staged". The
// reference is the sum of the same work done by the usual tools, each timed on its own:
// curl downloading the package, `openssl dgst -sha256` of the package, bsdtar extracting it,
// `openssl dgst -sha256` of the three files, and `osslsigncode verify` of the two signed
// ones. Three alternating rounds; the best of each side counts. Prints both times, their
// ratio, and the peak resident memory of the prepare process (its tar runs included).
//
// Usage: prepare_bench [app.asar size in MiB]   (default 200; 2047 makes a 2 GiB package)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "acquisition/update_host.h"
#include "bench_support.h"
#include "foundation/text.h"
#include "hotupdate/prepare.h"
#include "platform/environment.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/image/root_store.h"
#include "platform/identity.h"
#include "state/hot_update_job.h"
#include "support/host/pe_image.h"

namespace {

namespace fs = std::filesystem;
using namespace vovu::bench;

constexpr char kSid[] = "S-1-5-21-1-2-3-1001";
constexpr char kJobFile[] = "C:\\Users\\bench\\.zodezevadororuza\\updates\\hotupdate\\job.json";

std::string Quote(const fs::path& path) {
  return "'" + path.string() + "'";
}

bool Shell(const std::string& command) {
  return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// The child side: one HotUpdatePrepare of the job file; exit 0 when the job is staged.
int PrepareChild() {
  vovu::platform::SetModulePathForTesting(u"C:\\Korva\\vovudidavuda.exe");
  vovu::platform::CriticalSection lock(1024);
  vovu::HotUpdatePrepare(vovu::Utf8ToWide(kJobFile), vovu::Utf8ToWide(kSid),
                         vovu::platform::kNoSession,
                         std::make_shared<const vovu::platform::TokenHandle>(
                             vovu::platform::OpenCurrentProcessToken()),
                         lock);
  std::u16string jobDir;
  std::u16string serviceJobFile;
  std::u16string error;
  vovu::HotUpdateJob job;
  if (!vovu::DeriveJobPaths(vovu::Utf8ToWide(kJobFile), vovu::Utf8ToWide(kSid), &jobDir,
                            &serviceJobFile, &error) ||
      !vovu::ReadJobFile(serviceJobFile, &job)) {
    return 1;
  }
  if (job.status != u"staged") {
    std::fprintf(stderr, "prepare ended %s: %s\n", vovu::WideToUtf8(job.status).c_str(),
                 vovu::WideToUtf8(job.statusMessage).c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--prepare")
    return PrepareChild();
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  if (!EnterPrivateNetwork())
    return 1;
  const fs::path top =
      fs::temp_directory_path() / ("vovu-prepare-bench-" + std::to_string(getpid()));
  const fs::path root = top / "machine";
  const fs::path drive = root / "drive_c";
  fs::create_directories(top / "www/pkg");
  fs::create_directories(top / "files");
  fs::create_directories(drive / "Windows/System32/drivers/etc");
  fs::create_directories(drive / "Korva");
  fs::create_directories(drive / "ProgramData");
  fs::create_directories(drive / "Users/bench/.zodezevadororuza/updates/hotupdate");
  setenv(vovu::platform::host::kMachineRootVariable, root.c_str(), 1);
  setenv("ProgramData", "C:\\ProgramData", 1);
  setenv("SystemRoot", "C:\\Windows", 1);
  fs::create_symlink("/usr/bin/bsdtar", drive / "Windows/System32/tar.exe");
  const std::string host = vovu::WideToUtf8(vovu::UpdateHostName());
  std::ofstream(drive / "Windows/System32/drivers/etc/hosts") << "127.0.0.1 " << host << "\n";

  // A CA for the server and the code signer, the server's certificate, the signer's.
  if (!MakeCertificates(top, host, /*signer=*/true))
    return 1;
  fs::create_directories(vovu::platform::host::RootStorePath());
  fs::copy_file(top / "ca.pem", fs::path(vovu::platform::host::RootStorePath()) / "ca.pem");

  // The release: signed PE files, the application archive, the package and its manifest.
  const fs::path files = top / "files";
  WriteBytes(files / "korvaCF-unsigned.exe", vovu::testing::BuildPeImage({}, true));
  WriteBytes(files / "addon-unsigned.node", vovu::testing::BuildPeImage({}, false));
  MakeFile(files / "app.asar", mib);
  const std::string sign =
      "cd " + Quote(top) + " && osslsigncode sign -certs signer.pem -key " + "signer.key -in ";
  if (!Shell(sign + Quote(files / "korvaCF-unsigned.exe") + " -out " +
             Quote(files / "korvaCF.exe")) ||
      !Shell(sign + Quote(files / "addon-unsigned.node") + " -out " +
             Quote(files / "addon.node")) ||
      !Shell("cp " + Quote(files / "korvaCF.exe") + " " + Quote(drive / "Korva/korvaCF.exe"))) {
    std::fprintf(stderr, "osslsigncode could not sign (is it installed?)\n");
    return 1;
  }
  const std::string url = "https://" + host + "/pkg/package.zip";
  if (!Shell(std::string(VOVU_MAKE_PACKAGE_PATH) + " --version 2.11.0 --url " + url + " --out " +
             Quote(top / "www/pkg") + " " + Quote(files / "korvaCF.exe") + " " +
             Quote(files / "addon.node") + " " + Quote(files / "app.asar") + " > " +
             Quote(top / "www/official.json"))) {
    std::fprintf(stderr, "make-package failed\n");
    return 1;
  }
  fs::create_directories(top / "www/client/new");
  fs::rename(top / "www/official.json", top / "www/client/new/clientHotUpdateInfo.json");
  const fs::path package = top / "www/pkg/package.zip";
  const std::string packageSha = [&] {
    std::string sha;
    FILE* pipe = popen(("sha256sum " + Quote(package)).c_str(), "r");
    char buffer[65] = {};
    if (pipe != nullptr && std::fread(buffer, 1, 64, pipe) == 64)
      sha = buffer;
    if (pipe != nullptr)
      pclose(pipe);
    return sha;
  }();
  const std::uintmax_t packageSize = fs::file_size(package);

  // The installed application: its version record says 2.10.0, and the job asks for 2.11.0.
  fs::create_directories(drive / "ProgramData/VovudIdavUda/hotupdate");
  std::ofstream(drive / "ProgramData/VovudIdavUda/hotupdate/installed-version.json")
      << "{\n  \"schemaVersion\": 1,\n  \"baselineVersion\": \"2.10.0\",\n  \"currentVersion\": "
         "\"2.10.0\",\n  \"updatedAt\": 0\n}\n";
  fs::copy_file(VOVU_KORVADESK_STANDIN_PATH, drive / "Korva/Korvadesk.exe");
  if (!Shell(std::string(VOVU_STAMP_VERSION_PATH) + " " + Quote(drive / "Korva/Korvadesk.exe") +
             " 2.10.0.1 2.10.0.1")) {
    std::fprintf(stderr, "stamp-version failed\n");
    return 1;
  }
  std::ofstream(drive / "Users/bench/.zodezevadororuza/updates/hotupdate/job.json")
      << "{\"version\": \"2.11.0\", \"request\": {\"packageUrl\": \"" << url
      << "\", \"packageSha256\": \"" << packageSha << "\", \"packageSize\": " << packageSize
      << ", \"currentVersion\": \"2.10.0\"}}";

  const pid_t server = StartUpdateHost(VOVU_UPDATE_HOST_TOOL_PATH, top, host, url);

  const fs::path reference = top / "reference";
  const std::vector<std::vector<std::string>> steps = {
      {"curl", "-sS", "--cacert", (top / "ca.pem").string(), "--resolve", host + ":443:127.0.0.1",
       "-o", (reference / "package.zip").string(), url},
      {"openssl", "dgst", "-sha256", (reference / "package.zip").string()},
      {"bsdtar", "-xf", (reference / "package.zip").string(), "-C",
       (reference / "payload").string()},
      {"openssl", "dgst", "-sha256", (reference / "payload/korvaCF.exe").string(),
       (reference / "payload/addon.node").string(), (reference / "payload/app.asar").string()},
      {"osslsigncode", "verify", "-CAfile", (top / "ca.pem").string(), "-in",
       (reference / "payload/korvaCF.exe").string()},
      {"osslsigncode", "verify", "-CAfile", (top / "ca.pem").string(), "-in",
       (reference / "payload/addon.node").string()},
  };
  double seconds = 0;
  long rss = 0;
  double bestOurs = 1e9;
  double bestTools = 1e9;
  long rssOurs = 0;
  bool ok = true;
  for (int round = 0; round < 3 && ok; ++round) {
    ok = Run({argv[0], "--prepare"}, &seconds, &rss) == 0;
    bestOurs = std::min(bestOurs, seconds);
    rssOurs = std::max(rssOurs, rss);
    fs::remove_all(reference);
    fs::create_directories(reference / "payload");
    double sum = 0;
    for (const auto& step : steps) {
      ok = ok && Run(step, &seconds, &rss) == 0;
      sum += seconds;
    }
    bestTools = std::min(bestTools, sum);
  }
  StopUpdateHost(server);
  std::error_code ignored;
  fs::remove_all(top, ignored);
  if (!ok) {
    std::fprintf(stderr, "a run failed\n");
    return 1;
  }
  std::printf("package %.1f MiB (app.asar %zu MiB)\n", static_cast<double>(packageSize) / (1 << 20),
              mib);
  std::printf("prepare (HotUpdatePrepare, to staged): %.3f s\n", bestOurs);
  std::printf("reference tools, summed:               %.3f s\n", bestTools);
  std::printf("ratio prepare / tools:                 %.3f (goal <= 1.15)\n", bestOurs / bestTools);
  std::printf("prepare peak resident memory:          %.1f MiB (goal <= 16 for 2 GiB)\n",
              static_cast<double>(rssOurs) / 1024);
  return 0;
}
