// Listing and extraction with the system's tar. The listing's output and errors go into one
// file, so whatever tar complains about is checked like an entry name and fails the rules.
#include "acquisition/package_archive.h"

#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/file_io.h"
#include "foundation/service_stop.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/process.h"

namespace vovu {
namespace {

bool Fail(std::u16string* error, const std::u16string& message) {
  *error = message;
  return false;
}

// How a bounded run of tar ended.
enum class RunEnd { kExited, kCancelled, kTimedOut };

// Waits for the process or the stop event, up to `timeoutMs`. When the process did not end
// first it is terminated with 1223 and waited for up to 5 s; the result then says whether
// the stop event or anything else (the time limit, a failed wait) ended the run.
RunEnd WaitForTar(const platform::ProcessHandle& process, std::uint32_t timeoutMs) {
  bool processEnded = false;
  const platform::WaitResult result =
      platform::WaitForProcessOrEvent(process, ServiceStopEvent(), timeoutMs, &processEnded);
  if (result == platform::WaitResult::kSignalled && processEnded)
    return RunEnd::kExited;
  const bool stopped = result == platform::WaitResult::kSignalled;
  (void)platform::TerminateProcessWithCode(process, kTarTerminateExitCode);
  (void)platform::WaitForProcessExit(process, kTarTerminateWaitMs);
  return stopped ? RunEnd::kCancelled : RunEnd::kTimedOut;
}

std::uint32_t ExitCodeOf(const platform::ProcessHandle& process) {
  std::uint32_t code = 1;
  if (!platform::GetProcessExitCode(process, &code))
    code = 1;
  return code;
}

// The listing file's text, within the size limit. The file is deleted here on every path.
bool ReadListing(const std::u16string& listingPath, std::u16string* text, std::u16string* error) {
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;
  if (!platform::GetAttributesAndSize(listingPath, &attributes, &size) ||
      size > kMaxTarListingBytes) {
    (void)platform::DeleteFileAt(listingPath);
    return Fail(error, u"tar entry list is too large");
  }
  std::vector<char> bytes;
  const bool read = ReadFileBytes(listingPath, &bytes);
  (void)platform::DeleteFileAt(listingPath);
  if (!read)
    return Fail(error, u"cannot read tar entry list");
  *text = Utf8ToWide(bytes.data(), bytes.size());
  return true;
}

}  // namespace

std::u16string SystemTarPath() {
  std::u16string systemRoot;
  if (platform::GetEnvironmentValue(u"SystemRoot", &systemRoot, 260) >= 260)
    systemRoot.clear();
  return systemRoot + u"\\System32\\tar.exe";
}

bool CheckPackageEntryList(const std::u16string& listing, std::u16string* error) {
  std::array<bool, RequiredPackageEntries.size()> seen{};
  for (const std::u16string& line : SplitLines(listing)) {
    std::u16string name = line;
    while (name.compare(0, 2, u"./") == 0)
      name.erase(0, 2);
    if (name.empty())
      continue;
    if (name.find_first_of(u"/\\") != std::u16string::npos || name == u"." || name == u"..")
      return Fail(error, u"package contains unsafe path");
    const std::u16string lowered = ToLower(name);
    bool matched = false;
    for (std::size_t i = 0; i < RequiredPackageEntries.size(); ++i) {
      if (!seen[i] && lowered == RequiredPackageEntries[i]) {
        seen[i] = true;
        matched = true;
        break;
      }
    }
    if (!matched)
      return Fail(error, u"package contains unexpected or duplicate entry");
  }
  for (bool mark : seen) {
    if (!mark)
      return Fail(error, u"package is missing a required entry");
  }
  return true;
}

bool ListAndCheckPackageEntries(const std::u16string& tarExe, const std::u16string& archivePath,
                                std::u16string* error) {
  const std::u16string listingPath = archivePath + u".entries";
  platform::FileHandle listing = platform::CreateInheritableOutputFile(listingPath);
  platform::FileHandle nullDevice = platform::OpenInheritableNullDevice();
  if (!listing.valid() || !nullDevice.valid()) {
    listing.reset();
    (void)platform::DeleteFileAt(listingPath);
    return Fail(error, u"cannot create tar listing output");
  }

  platform::ProcessStart start;
  start.commandLine = QuoteIfNeeded(tarExe) + u" -tf " + QuoteIfNeeded(archivePath);
  start.creationFlags = platform::kCreateNoWindow;
  const platform::StandardHandles handles{&nullDevice, &listing, &listing};
  platform::ProcessHandle process;
  if (!platform::StartProgram(start, &handles, &process)) {
    const std::u16string reason = FormatWin32Error(platform::LastError());
    listing.reset();
    (void)platform::DeleteFileAt(listingPath);
    return Fail(error, u"CreateProcess(tar list) failed: " + reason);
  }

  const RunEnd end = WaitForTar(process, kTarListTimeoutMs);
  if (end != RunEnd::kExited) {
    process.reset();
    listing.reset();
    (void)platform::DeleteFileAt(listingPath);
    return Fail(error, end == RunEnd::kCancelled ? u"tar list cancelled" : u"tar list timed out");
  }
  const std::uint32_t exitCode = ExitCodeOf(process);
  process.reset();
  listing.reset();
  nullDevice.reset();
  if (exitCode != 0) {
    (void)platform::DeleteFileAt(listingPath);
    return Fail(error,
                u"tar list failed, exit=" + ToDecimal(static_cast<unsigned long long>(exitCode)));
  }

  return CheckListingFile(listingPath, error);
}

bool CheckListingFile(const std::u16string& listingPath, std::u16string* error) {
  std::u16string text;
  if (!ReadListing(listingPath, &text, error))
    return false;
  return CheckPackageEntryList(text, error);
}

bool ExtractPackage(const std::u16string& archivePath, const std::u16string& destinationDir,
                    std::u16string* error) {
  const std::u16string tarPath = SystemTarPath();
  const std::uint32_t attributes = platform::GetAttributes(tarPath);
  if (attributes == platform::kInvalidFileAttributes ||
      (attributes & platform::kFileAttributeDirectory) != 0) {
    return Fail(error, u"tar.exe not found");
  }
  if (!ListAndCheckPackageEntries(tarPath, archivePath, error))
    return false;

  platform::ProcessStart start;
  start.commandLine = QuoteIfNeeded(tarPath) + u" -xf " + QuoteIfNeeded(archivePath) + u" -C " +
                      QuoteIfNeeded(destinationDir);
  start.creationFlags = platform::kCreateNoWindow;
  platform::ProcessHandle process;
  if (!platform::StartProgram(start, nullptr, &process))
    return Fail(error, u"CreateProcess(tar) failed: " + FormatWin32Error(platform::LastError()));
  const RunEnd end = WaitForTar(process, kTarExtractTimeoutMs);
  if (end != RunEnd::kExited)
    return Fail(error,
                end == RunEnd::kCancelled ? u"tar extract cancelled" : u"tar extract timed out");
  const std::uint32_t exitCode = ExitCodeOf(process);
  if (exitCode != 0)
    return Fail(
        error, u"tar extract failed, exit=" + ToDecimal(static_cast<unsigned long long>(exitCode)));
  return true;
}

}  // namespace vovu
