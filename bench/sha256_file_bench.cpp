// File digest throughput: FileSha256Hex against `openssl dgst -sha256` on the same 1 GiB file
// in the same run. Both read a warm page cache; each side gets three runs and its best
// counts. Prints both throughputs, their ratio, and whether the digests agree.
//
// Usage: sha256_file_bench [size-in-MiB]   (default 1024)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "foundation/sha256.h"
#include "foundation/text.h"
#include "platform/host/core/machine_root.h"

namespace {

using Clock = std::chrono::steady_clock;
using vovu::bench::MakeFile;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string OpensslDigest(const std::filesystem::path& path, double* seconds) {
  const std::string command = "openssl dgst -sha256 -r '" + path.string() + "'";
  const auto start = Clock::now();
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr)
    return {};
  char line[256] = {};
  const bool got = std::fgets(line, sizeof(line), pipe) != nullptr;
  pclose(pipe);
  *seconds = Seconds(start);
  return got ? std::string(line, 64) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / "vovu-sha256-bench.bin";
  MakeFile(path, mib);
  const std::u16string windowsPath = vovu::platform::host::ToWindowsPath(path.string());

  double best = 1e9;
  double bestReference = 1e9;
  std::u16string hex;
  std::string reference;
  for (int run = 0; run < 3; ++run) {
    std::u16string error;
    const auto start = Clock::now();
    if (!vovu::FileSha256Hex(windowsPath, &hex, &error)) {
      std::fprintf(stderr, "FileSha256Hex failed: %s\n", vovu::WideToUtf8(error).c_str());
      return 1;
    }
    best = std::min(best, Seconds(start));
    double seconds = 0;
    reference = OpensslDigest(path, &seconds);
    bestReference = std::min(bestReference, seconds);
  }
  std::filesystem::remove(path);

  const double ours = static_cast<double>(mib) / best;
  const double theirs = static_cast<double>(mib) / bestReference;
  std::printf("file size            %zu MiB\n", mib);
  std::printf("FileSha256Hex        %.1f MiB/s\n", ours);
  std::printf("openssl dgst -sha256 %.1f MiB/s\n", theirs);
  std::printf("ratio                %.3f (goal >= 0.9)\n", ours / theirs);
  std::printf("digests agree        %s\n", vovu::WideToUtf8(hex) == reference ? "yes" : "NO");
  return vovu::WideToUtf8(hex) == reference ? 0 : 1;
}
