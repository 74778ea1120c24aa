#include "support/host/other_user.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/security.h"
#include "platform/session_user.h"
#include "platform/sync.h"

namespace vovu::testing {

pid_t ForkAsUser(const OtherUser& user, const std::function<int()>& body) {
  const pid_t child = fork();
  if (child != 0)
    return child;
  if ((user.newSession && setsid() < 0) || setgroups(user.groups.size(), user.groups.data()) != 0 ||
      setgid(user.gid) != 0 || setuid(user.uid) != 0) {
    _exit(100);
  }
  _exit(body());
}

UserChild::UserChild(const OtherUser& user, const std::function<std::string()>& body) {
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0)
    return;
  pid_ = ForkAsUser(user, [&] {
    const std::string text = body();
    return write(channel[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 3;
  });
  close(channel[1]);
  fd_ = channel[0];
}

std::string UserChild::Finish() {
  std::string text;
  char buffer[4096];
  for (ssize_t n; fd_ >= 0 && (n = read(fd_, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  close(fd_);
  fd_ = -1;
  int status = -1;
  const bool exited = pid_ > 0 && waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status) &&
                      WEXITSTATUS(status) == 0;
  pid_ = -1;
  return exited ? text : "child failed: " + std::to_string(status);
}

// The child reports once it is the user, then waits for this end of their socket pair to
// close.
UserSession::UserSession(const std::string& program) : runsProgram_(!program.empty()) {
  int link[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) != 0)
    return;
  child_.emplace(OtherUser{}, [&] {
    close(link[0]);
    char byte = 'r';  // it is the user now
    if (write(link[1], &byte, 1) != 1)
      return std::string();
    if (program.empty()) {
      (void)!read(link[1], &byte, 1);
      return std::string();
    }
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    (void)!write(link[1], &byte, 1);  // a second mark: the program did not start
    return std::string();
  });
  close(link[1]);
  end_ = link[0];
  char byte = 0;
  // The mark, and for a program the end of the link at its exec.
  ok_ = read(end_, &byte, 1) == 1 && (!runsProgram_ || read(end_, &byte, 1) == 0);
}

UserSession::~UserSession() {
  if (runsProgram_ && child_)
    kill(child_->pid(), SIGKILL);
  close(end_);  // before the child is waited for
}

RequestContext UserSession::Context() const {
  RequestContext context;
  context.sessionId = id();
  context.token = platform::QuerySessionUserToken(id());
  context.hasToken = context.token.valid();
  (void)GetTokenUserSid(context.token, &context.userSid);
  return context;
}

platform::PipeHandle CreateTestPipeInstance(const std::u16string& name, bool open) {
  platform::SecurityDescriptor descriptor;
  EXPECT_TRUE(platform::ConvertSddlToSecurityDescriptor(
      u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;IU)(A;;0x12019b;;;BU)", &descriptor));
  platform::PipeHandle instance = platform::CreatePipeInstance(
      name, platform::PipeInstanceSettings{}, open ? &descriptor : nullptr);
  EXPECT_TRUE(instance.valid()) << "error=" << platform::LastError();
  return instance;
}

std::string ExchangeOnce(const std::u16string& name) {
  platform::PipeHandle client = platform::OpenPipe(name);
  char reply[64];
  std::uint32_t read = 0;
  const bool replied = client.valid() && platform::WritePipeMessage(client, "w\0", 2) &&
                       platform::ReadPipeMessage(client, reply, sizeof reply, &read);
  return replied ? "0" : std::to_string(platform::LastError());
}

bool ServeOne(const platform::PipeHandle& instance, const std::function<void()>& withClient) {
  platform::Event stop;
  char buffer[64];
  std::uint32_t read = 0;
  if (!platform::Event::Create(true, false, &stop) ||
      !platform::ConnectPipeClient(instance, stop) ||
      !platform::ReadPipeMessageWithin(instance, buffer, sizeof buffer, &read, 30000, stop)) {
    return false;
  }
  withClient();
  const bool replied = platform::WritePipeMessageWithin(instance, "O\0K\0", 4, 30000, stop);
  platform::FlushPipeWithin(instance, 30000, stop);
  platform::DisconnectPipeClient(instance);
  return replied;
}

LeaseHolder::LeaseHolder(const std::string& nativePath) {
  if (pipe(ready_) != 0 || pipe(release_) != 0)
    return;
  pid_ = ForkAsUser(OtherUser{}, [&] {
    signal(SIGIO, SIG_IGN);  // the break is never acknowledged
    const int fd = open(nativePath.c_str(), O_RDWR);
    const bool leased = fd >= 0 && fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
    char c = leased ? '1' : '0';
    (void)!write(ready_[1], &c, 1);
    (void)!read(release_[0], &c, 1);
    return leased ? 0 : 1;
  });
  char c = 0;
  held_ = pid_ > 0 && read(ready_[0], &c, 1) == 1 && c == '1';
}

LeaseHolder::~LeaseHolder() {
  (void)!write(release_[1], "x", 1);
  int status = 0;
  if (pid_ > 0)
    (void)waitpid(pid_, &status, 0);
  for (int fd : {ready_[0], ready_[1], release_[0], release_[1]}) {
    if (fd >= 0)
      close(fd);
  }
}

}  // namespace vovu::testing
