// Commit's downtime: from the moment the application's processes are gone to its relaunch,
// commit swaps the three installed files (each moved to its ".bak", the staged copy copied
// in, the staged copy deleted) and pauses a fixed 500 ms. This measures that swap with
// ReplaceFileWithBackup over a package whose app.asar is 200 MB, in commit's order, against
// `cp` of the same three staged files over the same three targets in the same run. Three
// runs each, best counts; the staged files are warm in the page cache for both.
//
// Usage: commit_swap_bench [app.asar size in MiB]   (default 200)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "foundation/text.h"
#include "platform/host/core/machine_root.h"
#include "system/file_replacement.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using vovu::bench::MakeFile;

constexpr double kRelaunchPauseSeconds = 0.5;

struct File {
  const char* installed;  // below the installation directory
  const char* staged;     // in the payload directory
  std::size_t mib;
};

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t asarMib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  const std::vector<File> files = {
      {"korvaCF.exe", "korvaCF.exe", 2},
      {"resources/app.asar.unpacked/Release/addon.node", "addon.node", 4},
      {"resources/app.asar", "app.asar", asarMib},
  };
  const fs::path top = fs::temp_directory_path() / "vovu-commit-swap-bench";
  const fs::path install = top / "install";
  const fs::path payload = top / "payload";
  const fs::path source = top / "release";
  fs::remove_all(top);
  for (const File& file : files) {
    fs::create_directories((install / file.installed).parent_path());
    MakeFile(install / file.installed, file.mib, 1);
    fs::create_directories((source / file.staged).parent_path());
    MakeFile(source / file.staged, file.mib, 2);
  }

  // The staged copies, as prepare leaves them (both sides consume or overwrite them).
  const auto stage = [&] {
    for (const File& file : files)
      fs::copy_file(source / file.staged, payload / file.staged,
                    fs::copy_options::overwrite_existing);
  };
  std::string cp;
  for (const File& file : files) {
    cp += std::string(cp.empty() ? "" : " && ") + "cp '" + (payload / file.staged).string() +
          "' '" + (install / file.installed).string() + "'";
  }
  fs::create_directories(payload);
  double best = 1e9;
  double bestCp = 1e9;
  for (int run = 0; run < 3; ++run) {
    stage();
    auto start = Clock::now();
    for (const File& file : files) {
      std::u16string error;
      if (!vovu::ReplaceFileWithBackup(
              vovu::platform::host::ToWindowsPath((payload / file.staged).string()),
              vovu::platform::host::ToWindowsPath((install / file.installed).string()), &error)) {
        std::fprintf(stderr, "%s\n", vovu::WideToUtf8(error).c_str());
        return 1;
      }
    }
    best = std::min(best, Seconds(start));

    stage();
    start = Clock::now();
    if (std::system(cp.c_str()) != 0)
      return 1;
    bestCp = std::min(bestCp, Seconds(start));
  }
  fs::remove_all(top);

  std::printf("app.asar              %zu MiB (+ %zu MiB addon.node, %zu MiB korvaCF.exe)\n",
              asarMib, files[1].mib, files[0].mib);
  std::printf("swap (3 files)        %.3f s (goal <= 0.5 s)\n", best);
  std::printf("cp of the same files  %.3f s\n", bestCp);
  std::printf("ratio swap / cp       %.2f\n", best / bestCp);
  std::printf("downtime              %.3f s (swap + the fixed %.1f s pause)\n",
              best + kRelaunchPauseSeconds, kRelaunchPauseSeconds);
  return 0;
}
