// Children of the test that act as another user, the way that user's own process would:
// forked, each leads a session of its own (unless told otherwise), takes the user's groups,
// group and uid, runs a body and hands its text back through a pipe. Among the bodies: one
// message and reply as a client of a pipe that the test serves. Host-only; needs root.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "caller/request_context.h"
#include "platform/pipe.h"

// Skips the test when it does not run as root.
#define REQUIRE_ROOT_FOR_OTHER_USERS() \
  if (geteuid() != 0)                  \
  GTEST_SKIP() << "single-user mode: acting as another user needs root"

namespace vovu::testing {

inline constexpr uid_t kNobody = 65534;
// The SID the host gives uid 65534.
inline constexpr char16_t kNobodySid[] = u"S-1-5-21-1000-1000-1000-65534";

struct OtherUser {
  uid_t uid = kNobody;
  gid_t gid = kNobody;
  std::vector<gid_t> groups;  // the supplementary groups
  bool newSession = true;     // lead a new session; else stay in the test's
};

// Forks a child that becomes `user` and exits with `body()`, or with 100 when it could not
// become the user. The child's pid, or -1 when fork failed.
pid_t ForkAsUser(const OtherUser& user, const std::function<int()>& body);

// A child of ForkAsUser whose body's text comes back to the test.
class UserChild {
 public:
  UserChild(const OtherUser& user, const std::function<std::string()>& body);
  ~UserChild() { (void)Finish(); }
  UserChild(const UserChild&) = delete;
  UserChild& operator=(const UserChild&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  // Waits for the child and returns its body's text, or "child failed: <wait status>" when
  // it did not hand that back and exit 0 (or was already finished).
  std::string Finish();

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

// A process of uid 65534 leading a session of its own, alive until the object goes, as a
// user logged on to a desktop session. The host numbers a session by its leader's pid. With
// `program` (a host path), the process runs that program once it is the user.
class UserSession {
 public:
  explicit UserSession(const std::string& program = "");
  ~UserSession();  // ends the session's process and waits for it
  UserSession(const UserSession&) = delete;
  UserSession& operator=(const UserSession&) = delete;

  // Whether the process became the user and leads its session.
  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] std::uint32_t id() const { return static_cast<std::uint32_t>(child_->pid()); }

  // The caller context the service builds for a pipe client of this session.
  [[nodiscard]] RequestContext Context() const;

 private:
  bool runsProgram_ = false;
  int end_ = -1;
  bool ok_ = false;
  std::optional<UserChild> child_;
};

// A process of uid 65534 that holds a write lease on a file (the host's opportunistic lock)
// and never acknowledges its break: every open by someone else waits for it, as on Windows
// for an oplock, until the object goes and lets it go.
class LeaseHolder {
 public:
  explicit LeaseHolder(const std::string& nativePath);
  ~LeaseHolder();
  LeaseHolder(const LeaseHolder&) = delete;
  LeaseHolder& operator=(const LeaseHolder&) = delete;

  // Whether the lease was taken.
  [[nodiscard]] bool held() const { return held_; }

 private:
  int ready_[2] = {-1, -1};
  int release_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool held_ = false;
};

// A new instance of pipe `name` that every user may open when `open`, else with the default
// security. A failure is a test failure and gives an invalid handle.
platform::PipeHandle CreateTestPipeInstance(const std::u16string& name, bool open);

// As a client: sends a short message to `name` and reads the reply. "0" after the reply, else
// the Win32 error that stopped it, in decimal.
std::string ExchangeOnce(const std::u16string& name);

// As the server: takes a client on `instance`, reads its message, calls `withClient` while it
// is still connected, replies and disconnects. False when a step of the exchange failed.
bool ServeOne(const platform::PipeHandle& instance, const std::function<void()>& withClient);

}  // namespace vovu::testing
