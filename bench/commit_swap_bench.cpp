// Commit's downtime: from the moment the application's processes are gone to its relaunch.
// Commit writes the new files beside the installed ones as ".new" copies while the
// application still runs; once it has exited, each file is swapped by recording its row and
// two renames (the installed file to its ".bak", the ".new" copy to its name), then commit
// pauses a fixed 500 ms and relaunches. This measures that interval (the launch itself
// excepted: it is the same both ways) with the product's SwapInNewCopy, against the
// replacement commit made before, kept here as the reference: the installed file moved to
// its ".bak", the staged file copied over its name (CopyFile), the staged file deleted.
// Both in the same run, over the same files, at each app.asar size asked for; three runs
// each, best counts. The staged files are warm in the page cache for both.
//
// Usage: commit_swap_bench [app.asar size in MiB ...]   (default: 200 2048)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench_support.h"
#include "foundation/file_io.h"
#include "foundation/text.h"
#include "hotupdate/commit.h"
#include "platform/files.h"
#include "platform/host/core/machine_root.h"
#include "platform/sync.h"
#include "system/file_replacement.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using vovu::bench::MakeFile;

struct File {
  const char* installed;  // below the installation directory
  const char* staged;     // in the payload directory
  std::size_t mib;
};

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::u16string Windows(const fs::path& path) {
  return vovu::platform::host::ToWindowsPath(path.string());
}

bool Report(const std::u16string& error) {
  std::fprintf(stderr, "%s\n", vovu::WideToUtf8(error).c_str());
  return false;
}

// The replacement before the ".new" copies: everything after the application's exit. Its
// copy was the kernel's copy of the file's range, not flushed (fs::copy_file does the same).
bool CopyOver(const fs::path& staged, const fs::path& target) {
  const std::u16string backup = vovu::BackupPathOf(Windows(target));
  if (!vovu::platform::MoveFileReplacing(Windows(target), backup))
    return Report(u"backup failed");
  std::error_code error;
  if (!fs::copy_file(staged, target, fs::copy_options::overwrite_existing, error))
    return Report(u"copy failed");
  (void)vovu::platform::DeleteFileAt(Windows(staged));
  return true;
}

// The swap of today after the application's exit: the row recorded (an atomic write, as the
// job directory's record is), then the two renames.
bool RenameIn(const fs::path& rowFile, const fs::path& target) {
  if (!vovu::WriteFileAtomic(Windows(rowFile), std::string("row")))
    return Report(u"cannot record the row");
  std::u16string error;
  return vovu::SwapInNewCopy(Windows(target), &error) || Report(error);
}

struct Figures {
  double swap = 1e9;      // best of the runs
  double downtime = 1e9;  // the same run's swap and pause
};

// One size: the three files made, then three runs of each replacement.
bool Measure(std::size_t asarMib, Figures* before, Figures* after) {
  const std::vector<File> files = {
      {"korvaCF.exe", "korvaCF.exe", 2},
      {"resources/app.asar.unpacked/Release/addon.node", "addon.node", 4},
      {"resources/app.asar", "app.asar", asarMib},
  };
  const fs::path top = fs::temp_directory_path() / "vovu-commit-swap-bench";
  const fs::path install = top / "install";
  const fs::path payload = top / "payload";
  const fs::path source = top / "release";
  const fs::path job = top / "job";
  fs::remove_all(top);
  fs::create_directories(payload);
  fs::create_directories(job);
  for (const File& file : files) {
    fs::create_directories((install / file.installed).parent_path());
    MakeFile(install / file.installed, file.mib, 1);
    fs::create_directories((source / file.staged).parent_path());
    MakeFile(source / file.staged, file.mib, 2);
  }
  // The staged copies, as prepare leaves them (both sides consume them).
  const auto stage = [&] {
    for (const File& file : files)
      fs::copy_file(source / file.staged, payload / file.staged,
                    fs::copy_options::overwrite_existing);
  };
  // What commit meets after the application's exit: installed files long on disk and no
  // ".bak" (confirm and rollback remove them), so each timed part starts from that.
  const auto settle = [&] {
    for (const File& file : files)
      fs::remove(install / (std::string(file.installed) + ".bak"));
    sync();
  };
  bool ok = true;
  for (int run = 0; run < 3 && ok; ++run) {
    stage();
    settle();
    auto start = Clock::now();
    for (const File& file : files)
      ok = ok && CopyOver(payload / file.staged, install / file.installed);
    double swap = Seconds(start);
    vovu::platform::SleepMilliseconds(vovu::kRelaunchPauseMs);
    if (swap < before->swap)
      *before = {swap, Seconds(start)};

    // Written (and flushed) while the application still runs: not part of the downtime.
    stage();
    for (const File& file : files) {
      const std::u16string copy = vovu::NewCopyPathOf(Windows(install / file.installed));
      ok = ok && vovu::platform::CopyFileTo(Windows(payload / file.staged), copy, true);
      (void)vovu::platform::DeleteFileAt(Windows(payload / file.staged));
    }
    settle();
    start = Clock::now();
    for (std::size_t row = 0; row < files.size(); ++row) {
      ok = ok && RenameIn(job / ("swapped-" + std::to_string(row)), install / files[row].installed);
    }
    swap = Seconds(start);
    vovu::platform::SleepMilliseconds(vovu::kRelaunchPauseMs);
    if (swap < after->swap)
      *after = {swap, Seconds(start)};
  }
  fs::remove_all(top);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> sizes;
  for (int i = 1; i < argc; ++i)
    sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  if (sizes.empty())
    sizes = {200, 2048};
  std::printf("app.asar   | copy over: swap  downtime | renames: swap  downtime | swap ratio\n");
  for (const std::size_t mib : sizes) {
    Figures before;
    Figures after;
    if (!Measure(mib, &before, &after))
      return 1;
    std::printf("%5zu MiB  |  %9.1f ms %9.1f ms | %9.1f ms %9.1f ms | %8.0fx\n", mib,
                before.swap * 1000, before.downtime * 1000, after.swap * 1000,
                after.downtime * 1000, before.swap / after.swap);
  }
  std::printf(
      "(+ 6 MiB of addon.node and korvaCF.exe; downtime = swap + the fixed %u ms pause; "
      "goal for the renames' swap: <= 20 ms)\n",
      vovu::kRelaunchPauseMs);
  return 0;
}
