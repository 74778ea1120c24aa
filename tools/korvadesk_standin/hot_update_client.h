// The stand-in desktop application's side of a hot update: the job file in its user's
// hot-update folder, the requests it sends, and following the service's mirror of the job.
#pragma once

#include <string>

#include "state/hot_update_job.h"

namespace vovu::standin {

// The current user's hot-update folder, without a trailing separator: the profile directory
// joined with ".zodezevadororuza\updates\hotupdate" and, when one is given, the subfolder.
// Empty when the profile cannot be read.
[[nodiscard]] std::u16string HotUpdateFolder(const std::u16string& subfolder);

// Creates the folder and every missing folder above it; false when one cannot be made.
[[nodiscard]] bool MakeFolders(const std::u16string& folder);

// Writes the request as a fresh job file in the service's own layout.
[[nodiscard]] bool WriteRequest(const HotUpdateJob& request, const std::u16string& jobFile);

// Sends one request (the word and the job-file path) to the service and prints its reply.
// True when the reply is "OK".
[[nodiscard]] bool SendJobCommand(const std::u16string& word, const std::u16string& jobFile);

// The file in the user's hot-update folder where the relaunched application notes what it
// was started for and what the service answered, one line per event:
//   pending <job file> confirm=<reply>       (or "confirm=held" when told not to confirm)
//   rolledback
inline constexpr char16_t kEventsFileName[] = u"standin-events.txt";

// When a file of this name lies beside the job file, the application started with
// "--hot-update-pending" does not confirm and keeps running until it is ended: a new
// version that fails to come up.
inline constexpr char16_t kHoldConfirmationFileName[] = u"hold-confirmation";

// Beside the events file: the whole command line of each start by the service (with
// "--hot-update-pending" or "--hot-update-rolledback"), one line each.
inline constexpr char16_t kCommandsFileName[] = u"standin-commands.txt";

// Appends one line to the events file (or to `fileName` in the same folder); false when it
// cannot be written.
bool NoteEvent(const std::string& line, const char16_t* fileName = kEventsFileName);

// Sends one request and returns the reply text ("no exchange" when there was none).
[[nodiscard]] std::u16string SendJobCommandForReply(const std::u16string& word,
                                                    const std::u16string& jobFile);

// Follows the service's mirror of a job. Made before the request is sent: what the file
// holds then is the starting point and is not printed, so a record left from an earlier job
// does not end the following at once.
class JobFollower {
 public:
  explicit JobFollower(std::u16string jobFile);

  // Reads the job file again and again and prints a line per change of the record (status,
  // statusMessage or updatedAt), "<status>" or "<status>: <statusMessage>", until it shows
  // a status in which the service leaves the job waiting or finished ("staged", "failed",
  // "cancelled", "rolledback", "done"), or `limitMs` pass. True when it ended "staged" or
  // "done".
  [[nodiscard]] bool Follow(std::uint32_t limitMs);

  struct Seen {
    bool read = false;
    std::u16string status;
    std::u16string message;
    std::int64_t updatedAt = 0;
    bool operator==(const Seen&) const = default;
  };

 private:
  std::u16string jobFile_;
  Seen last_;
};

}  // namespace vovu::standin
