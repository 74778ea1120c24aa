// The stand-in for the desktop application, Korvadesk.exe.
//
// It carries the product version that the service reads (a version resource on Windows, a
// stamped section on the host). Without arguments it exits with 0. As the application's
// hot-update side, for tests and the demo:
//
//   Korvadesk.exe --hot-update-request VERSION PACKAGE_URL SHA256 SIZE CURRENT [SUBFOLDER]
//       writes job.json in the user's hot-update folder (or SUBFOLDER below it), sends
//       "hot-update-prepare" with its path and follows the job (below)
//   Korvadesk.exe --hot-update-prepare JOBFILE   sends "hot-update-prepare" for an existing
//       job file and follows the job
//   Korvadesk.exe --hot-update-follow JOBFILE    follows the job
//   Korvadesk.exe --hot-update-cancel JOBFILE    sends "hot-update-cancel"
//   Korvadesk.exe --hot-update-commit JOBFILE    sends "hot-update-commit" and exits, as the
//       application ends its processes for the swap
//   Korvadesk.exe --hot-update-pending JOBFILE   (how the service relaunches it) sends
//       "hot-update-confirm", notes the reply in the events file and exits; with a
//       "hold-confirmation" file beside the job file it notes "confirm=held" and keeps
//       running until it is ended
//   Korvadesk.exe --hot-update-rolledback        (how the service starts it after a rollback)
//       notes "rolledback" in the events file and exits
// Started with either of the last two, it first notes its whole command line in a file
// beside the events file (kCommandsFileName).
//
// Following prints a line per change of the service's mirror of the job ("downloading",
// "verifying: package sha256", ...) until the job is staged, failed or otherwise at rest.
// Replies are printed as "<word>: <reply>". Exit code 0 when the request was answered "OK"
// and, where the job is followed, it ended "staged" (or "done"); 1 otherwise; 2 for a usage
// error.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "hot_update_client.h"
#include "own_command_line.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/sync.h"

namespace {

using vovu::HotUpdateJob;
using vovu::standin::JobFollower;

// How long a follow waits for the next change before it gives up.
constexpr std::uint32_t kFollowLimitMs = 600000;

constexpr char kUsage[] =
    "usage: Korvadesk.exe [--hot-update-request VERSION PACKAGE_URL SHA256 SIZE CURRENT "
    "[SUBFOLDER]\n"
    "                     | --hot-update-prepare JOBFILE | --hot-update-follow JOBFILE\n"
    "                     | --hot-update-cancel JOBFILE | --hot-update-commit JOBFILE\n"
    "                     | --hot-update-pending JOBFILE | --hot-update-rolledback]\n";

int Usage() {
  std::fprintf(stderr, "%s", kUsage);
  return 2;
}

std::u16string Wide(const char* text) {
  return vovu::Utf8ToWide(text, std::strlen(text));
}

int PrepareAndFollow(const std::u16string& jobFile) {
  JobFollower follower(jobFile);
  if (!vovu::standin::SendJobCommand(u"hot-update-prepare", jobFile))
    return 1;
  return follower.Follow(kFollowLimitMs) ? 0 : 1;
}

int Request(const std::vector<std::u16string>& args) {
  HotUpdateJob request;
  request.version = args[0];
  request.packageUrl = args[1];
  request.packageSha256 = args[2];
  const std::string size = vovu::WideToUtf8(args[3]);
  char* end = nullptr;
  request.packageSize = std::strtod(size.c_str(), &end);
  if (size.empty() || *end != '\0')
    return Usage();
  request.currentVersion = args[4];
  request.createdAt =
      static_cast<std::int64_t>(vovu::platform::GetSystemTimeAsFileTimeTicks() / 10000);
  const std::u16string folder = vovu::standin::HotUpdateFolder(args.size() > 5 ? args[5] : u"");
  if (folder.empty() || !vovu::standin::MakeFolders(folder)) {
    std::fprintf(stderr, "cannot make the hot-update folder\n");
    return 1;
  }
  const std::u16string jobFile = folder + u"\\job.json";
  if (!vovu::standin::WriteRequest(request, jobFile)) {
    std::fprintf(stderr, "cannot write %s\n", vovu::WideToUtf8(jobFile).c_str());
    return 1;
  }
  std::printf("job file: %s\n", vovu::WideToUtf8(jobFile).c_str());
  return PrepareAndFollow(jobFile);
}

// The relaunch after a commit: confirm, unless the test holds the confirmation back.
int Pending(const std::u16string& jobFile) {
  const std::string path = vovu::WideToUtf8(jobFile);
  const std::u16string hold =
      vovu::JoinPath(vovu::DirectoryOf(jobFile), vovu::standin::kHoldConfirmationFileName);
  if (vovu::platform::GetAttributes(hold) != vovu::platform::kInvalidFileAttributes) {
    (void)vovu::standin::NoteEvent("pending " + path + " confirm=held");
    for (;;)  // a new version that never comes up; the service ends it
      vovu::platform::SleepMilliseconds(kFollowLimitMs);
  }
  const std::u16string reply =
      vovu::standin::SendJobCommandForReply(u"hot-update-confirm", jobFile);
  (void)vovu::standin::NoteEvent("pending " + path + " confirm=" + vovu::WideToUtf8(reply));
  return reply == u"OK" ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    return 0;
  const std::string verb = argv[1];
  std::vector<std::u16string> args;
  for (int i = 2; i < argc; ++i)
    args.push_back(Wide(argv[i]));
  if (verb == "--hot-update-pending" || verb == "--hot-update-rolledback")
    (void)vovu::standin::NoteEvent(vovu::standin::OwnCommandLine(),
                                   vovu::standin::kCommandsFileName);
  if (verb == "--hot-update-rolledback" && args.empty())
    return vovu::standin::NoteEvent("rolledback") ? 0 : 1;
  if (verb == "--help") {
    std::printf("%s", kUsage);
    return 0;
  }
  if (verb == "--hot-update-request" && (args.size() == 5 || args.size() == 6))
    return Request(args);
  if (args.size() != 1)
    return Usage();
  if (verb == "--hot-update-prepare")
    return PrepareAndFollow(args[0]);
  if (verb == "--hot-update-follow")
    return JobFollower(args[0]).Follow(kFollowLimitMs) ? 0 : 1;
  if (verb == "--hot-update-cancel")
    return vovu::standin::SendJobCommand(u"hot-update-cancel", args[0]) ? 0 : 1;
  if (verb == "--hot-update-commit")
    return vovu::standin::SendJobCommand(u"hot-update-commit", args[0]) ? 0 : 1;
  if (verb == "--hot-update-pending")
    return Pending(args[0]);
  return Usage();
}
