// Package download throughput and memory: DownloadPackage of a 1 GiB package from the update
// host on loopback, against `curl` fetching the same address to a file, in the same run.
//
// Everything happens in a private network namespace (root is needed), where update-host
// serves the package on 127.0.0.1:443 with a certificate of a CA made for the run; the
// service's side trusts it through the machine's root store, curl through --cacert. Each
// side runs in a fresh process of its own (this program re-executed, or curl), so its peak
// resident memory (ru_maxrss of the ended child) is the download's alone. Each side gets
// three alternating runs; the best throughput counts. Prints both throughputs, their ratio,
// both peak memories, and whether the downloaded bytes agree.
//
// Usage: package_download_bench [size-in-MiB]   (default 1024)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "acquisition/package_download.h"
#include "acquisition/update_host.h"
#include "bench_support.h"
#include "foundation/text.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/image/root_store.h"

namespace {

namespace fs = std::filesystem;
using namespace vovu::bench;

constexpr char kPath[] = "/pkg/bench.zip";

bool SameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary);
  std::ifstream y(b, std::ios::binary);
  std::vector<char> bx(1 << 20);
  std::vector<char> by(1 << 20);
  while (x && y) {
    x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
    y.read(by.data(), static_cast<std::streamsize>(by.size()));
    if (x.gcount() != y.gcount() || !std::equal(bx.begin(), bx.begin() + x.gcount(), by.begin()))
      return false;
  }
  return x.eof() && y.eof();
}

// The child side: one DownloadPackage, exit 0 on success.
int DownloadChild(const char* url, const char* dest, const char* size) {
  std::u16string error;
  if (!vovu::DownloadPackage(vovu::Utf8ToWide(url), vovu::Utf8ToWide(dest),
                             std::strtoull(size, nullptr, 10), &error)) {
    std::fprintf(stderr, "download failed: %s\n", vovu::WideToUtf8(error).c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--download")
    return DownloadChild(argv[2], argv[3], argv[4]);
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  if (!EnterPrivateNetwork())
    return 1;
  const fs::path top =
      fs::temp_directory_path() / ("vovu-download-bench-" + std::to_string(getpid()));
  const fs::path root = top / "machine";
  fs::create_directories(top / "www/pkg");
  fs::create_directories(root / "drive_c/Windows/System32/drivers/etc");
  setenv(vovu::platform::host::kMachineRootVariable, root.c_str(), 1);
  const std::string host = vovu::WideToUtf8(vovu::UpdateHostName());
  std::ofstream(root / "drive_c/Windows/System32/drivers/etc/hosts")
      << "127.0.0.1 " << host << "\n";
  if (!MakeCertificates(top, host, /*signer=*/false))
    return 1;
  fs::create_directories(vovu::platform::host::RootStorePath());
  fs::copy_file(top / "ca.pem", fs::path(vovu::platform::host::RootStorePath()) / "ca.pem");
  MakeFile(top / "www/pkg/bench.zip", mib);

  const std::string url = "https://" + host + kPath;
  const std::uint64_t bytes = static_cast<std::uint64_t>(mib) << 20;
  const pid_t server = StartUpdateHost(VOVU_UPDATE_HOST_TOOL_PATH, top, host, url);

  const fs::path ours = root / "drive_c/package.zip";
  const fs::path theirs = top / "curl.zip";
  double bestOurs = 1e9;
  double bestCurl = 1e9;
  long rssOurs = 0;
  long rssCurl = 0;
  double seconds = 0;
  long rss = 0;
  bool ok = true;
  for (int round = 0; round < 3 && ok; ++round) {
    fs::remove(ours);
    fs::remove(theirs);
    ok = Run({argv[0], "--download", url, "C:\\package.zip", std::to_string(bytes)}, &seconds,
             &rss) == 0;
    bestOurs = std::min(bestOurs, seconds);
    rssOurs = std::max(rssOurs, rss);
    ok = ok && Run({"/usr/bin/curl", "-sS", "--cacert", (top / "ca.pem").string(), "--resolve",
                    host + ":443:127.0.0.1", "-o", theirs.string(), url},
                   &seconds, &rss) == 0;
    bestCurl = std::min(bestCurl, seconds);
    rssCurl = std::max(rssCurl, rss);
  }
  const bool same = ok && SameBytes(ours, theirs) && SameBytes(ours, top / "www/pkg/bench.zip");
  StopUpdateHost(server);
  std::error_code ignored;
  fs::remove_all(top, ignored);
  if (!ok) {
    std::fprintf(stderr, "a download failed\n");
    return 1;
  }
  const double mb = static_cast<double>(bytes) / (1 << 20);
  std::printf("package of %zu MiB over HTTPS on loopback, best of 3\n", mib);
  std::printf("DownloadPackage: %8.1f MiB/s, peak RSS %6.1f MiB\n", mb / bestOurs,
              rssOurs / 1024.0);
  std::printf("curl           : %8.1f MiB/s, peak RSS %6.1f MiB\n", mb / bestCurl,
              rssCurl / 1024.0);
  std::printf("ratio (DownloadPackage / curl): %.2f\n", bestCurl / bestOurs);
  std::printf("bytes agree: %s\n", same ? "yes" : "NO");
  return same ? 0 : 1;
}
