// The named-pipe contract, the same on Windows and on the host: message boundaries, the
// buffer limit, time limits, the stop event and the codes a client meets.
#include "platform/pipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "platform/fault_injection.h"
#include "platform/identity.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::TestMachine;

constexpr char16_t kPipeSddl[] = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)(A;;GRGW;;;BU)";

// Pipe names are machine-wide under Windows; every test takes a name of its own.
std::u16string UniquePipeName() {
  static std::atomic<int> counter{0};
  std::random_device random;
  const std::string name =
      "\\\\.\\pipe\\vovu-test-" + std::to_string(random()) + "-" + std::to_string(counter++);
  return std::u16string(name.begin(), name.end());
}

PipeHandle CreateInstance(const std::u16string& name) {
  SecurityDescriptor descriptor;
  EXPECT_TRUE(ConvertSddlToSecurityDescriptor(kPipeSddl, &descriptor));
  PipeInstanceSettings settings;
  settings.outBufferSize = 8192;
  settings.inBufferSize = 8192;
  PipeHandle instance = CreatePipeInstance(name, settings, &descriptor);
  EXPECT_TRUE(instance.valid()) << "error=" << LastError();
  return instance;
}

Event MakeEvent() {
  Event event;
  EXPECT_TRUE(Event::Create(true, false, &event));
  return event;
}

// Serves one instance on a thread of its own: connects a client (or is stopped), then runs
// `body`. The instance exists before the constructor returns, so a client may open it at
// once. `connected` and `connectError` tell how the connect ended once Join() returned.
struct ServerThread {
  using Body = std::function<void(const PipeHandle& instance, const Event& stop)>;

  ServerThread(const std::u16string& name, Body body)
      : instance(CreateInstance(name)), stop(MakeEvent()) {
    thread = std::thread([this, body = std::move(body)] {
      connected = ConnectPipeClient(instance, stop);
      connectError = LastError();
      if (connected)
        body(instance, stop);
    });
  }
  ~ServerThread() { Join(); }
  void Join() {
    if (thread.joinable())
      thread.join();
  }

  PipeHandle instance;
  Event stop;
  std::thread thread;
  bool connected = false;
  Win32Error connectError = 0;
};

PipeHandle OpenClient(const std::u16string& name) {
  EXPECT_TRUE(WaitForPipeInstance(name, 3000)) << "error=" << LastError();
  PipeHandle client = OpenPipe(name);
  EXPECT_TRUE(client.valid()) << "error=" << LastError();
  EXPECT_TRUE(SetPipeMessageReadMode(client));
  return client;
}

// What one server-side read saw.
struct Received {
  bool ok = false;
  Win32Error error = 0;
  std::uint32_t size = 12345;
  std::string bytes;
};

// A server body that reads one message of at most `limit` bytes into `*got`.
ServerThread::Body ReadOne(Received* got, std::uint32_t limit, std::uint32_t timeoutMs = 30000) {
  return [=](const PipeHandle& instance, const Event& stop) {
    std::string buffer(limit, '\0');
    got->ok = ReadPipeMessageWithin(instance, buffer.data(), limit, &got->size, timeoutMs, stop);
    got->error = LastError();
    got->bytes = buffer.substr(0, got->size);
  };
}

// A server body that reads a request, answers `reply` and disconnects.
ServerThread::Body Answer(const std::string& reply, Received* request, bool* flushed) {
  return [=](const PipeHandle& instance, const Event& stop) {
    ReadOne(request, 8190)(instance, stop);
    EXPECT_TRUE(WritePipeMessageWithin(instance, reply.data(),
                                       static_cast<std::uint32_t>(reply.size()), 30000, stop));
    *flushed = FlushPipeWithin(instance, 30000, stop);
    DisconnectPipeClient(instance);
  };
}

TEST(PipeChannel, OneRequestAndOneReplyThenTheClientSeesTheDisconnect) {
  TestMachine machine;
  const std::u16string name = UniquePipeName();
  Received request;
  bool flushed = false;
  ServerThread server(name, Answer(std::string("O\0K\0", 4), &request, &flushed));
  PipeHandle client = OpenClient(name);
  const std::string ping("p\0i\0n\0g\0", 8);
  ASSERT_TRUE(WritePipeMessage(client, ping.data(), 8));
  char reply[4096] = {};
  std::uint32_t read = 0;
  ASSERT_TRUE(ReadPipeMessage(client, reply, 4094, &read)) << "error=" << LastError();
  EXPECT_EQ(std::string(reply, read), std::string("O\0K\0", 4));
  server.Join();
  EXPECT_EQ(request.bytes, ping);
  EXPECT_TRUE(flushed);

  // The server has disconnected: the next read fails, and so does a write.
  EXPECT_FALSE(ReadPipeMessage(client, reply, 4094, &read));
  EXPECT_EQ(LastError(), kErrorPipeNotConnected);
  EXPECT_FALSE(WritePipeMessage(client, "x", 1));
  EXPECT_EQ(LastError(), kErrorPipeNotConnected);
}

TEST(PipeChannel, MessagesLongerThanTheBufferGiveMoreDataOnBothSides) {
  TestMachine machine;
  for (const std::uint32_t size : {0u, 1u, 8190u, 8192u}) {
    SCOPED_TRACE(size);
    const std::u16string name = UniquePipeName();
    Received got;
    ServerThread server(name, ReadOne(&got, 8190));
    PipeHandle client = OpenClient(name);
    std::string message(size, '\0');
    for (std::uint32_t i = 0; i < size; ++i)
      message[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(WritePipeMessage(client, message.data(), size)) << "error=" << LastError();
    server.Join();
    EXPECT_EQ(got.ok, size <= 8190);
    EXPECT_EQ(got.size, std::min(size, 8190u));
    EXPECT_EQ(got.bytes, message.substr(0, 8190));
    EXPECT_EQ(got.ok ? kErrorMoreData : got.error, kErrorMoreData);
  }

  // The client's reply buffer is too small.
  const std::u16string name = UniquePipeName();
  Received request;
  bool flushed = false;
  ServerThread server(name, Answer(std::string(4096, 'r'), &request, &flushed));
  PipeHandle client = OpenClient(name);
  ASSERT_TRUE(WritePipeMessage(client, "q\0", 2));
  std::string reply(4096, '\0');
  std::uint32_t read = 0;
  EXPECT_FALSE(ReadPipeMessage(client, reply.data(), 4094, &read));
  EXPECT_EQ(LastError(), kErrorMoreData);
  EXPECT_EQ(read, 4094u);
}

TEST(PipeChannel, ServerWaitsEndAtTheTimeLimitTheStopEventOrWhenTheClientLeaves) {
  TestMachine machine;
  {
    const std::u16string name = UniquePipeName();
    Received got;
    ServerThread server(name, ReadOne(&got, 64, 100));
    PipeHandle silent = OpenClient(name);
    server.Join();
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(got.error, kErrorWaitTimeout);
  }
  {
    // The client connects and leaves without a word. If it is gone before the connect,
    // the connect fails with 232; after it, the read fails with 109 (wine completes it as
    // an empty message instead). Either way no request arrives.
    const std::u16string name = UniquePipeName();
    Received got;
    ServerThread server(name, ReadOne(&got, 64));
    OpenClient(name).reset();
    server.Join();
    if (!server.connected) {
      EXPECT_EQ(server.connectError, kErrorNoData);
    } else if (got.ok) {
      EXPECT_EQ(got.size, 0u);
    } else {
      EXPECT_EQ(got.error, kErrorBrokenPipe);
    }
  }
  {
    // Nobody connects: the wait has no limit and only the stop event ends it.
    ServerThread server(UniquePipeName(), [](const PipeHandle&, const Event&) {});
    ASSERT_TRUE(server.stop.Set());
    server.Join();
    EXPECT_FALSE(server.connected);
    EXPECT_EQ(server.connectError, kErrorOperationAborted);
  }
  const std::u16string name = UniquePipeName();
  Event clientIn = MakeEvent();
  Received got;
  ServerThread server(name, [&](const PipeHandle& instance, const Event& stop) {
    ASSERT_TRUE(clientIn.Set());
    ReadOne(&got, 64)(instance, stop);
  });
  PipeHandle silent = OpenClient(name);
  ASSERT_EQ(clientIn.Wait(30000), WaitResult::kSignalled);
  ASSERT_TRUE(server.stop.Set());
  server.Join();
  EXPECT_FALSE(got.ok);
  EXPECT_EQ(got.error, kErrorOperationAborted);
}

TEST(PipeChannel, ClientCodesWithoutAServerAndWhileTheOnlyInstanceIsBusy) {
  TestMachine machine;
  const std::u16string name = UniquePipeName();
  EXPECT_FALSE(WaitForPipeInstance(name, 3000));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_FALSE(OpenPipe(name).valid());
  EXPECT_EQ(LastError(), kErrorFileNotFound);

  Event release = MakeEvent();
  ServerThread server(name,
                      [&](const PipeHandle&, const Event&) { (void)release.Wait(kInfiniteWait); });
  PipeHandle first = OpenClient(name);
  // A client that has the instance makes the pipe busy for everybody else.
  EXPECT_FALSE(OpenPipe(name).valid());
  EXPECT_EQ(LastError(), kErrorPipeBusy);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitForPipeInstance(name, 3000));
  EXPECT_EQ(LastError(), kErrorSemTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2900));

  // A waiting client gets the next instance as soon as it listens.
  bool available = false;
  std::thread waiter([&] { available = WaitForPipeInstance(name, 30000); });
  PipeHandle next = CreateInstance(name);
  waiter.join();
  EXPECT_TRUE(available);
  release.Set();
}

TEST(PipeIdentity, ImpersonationLastsUntilRevertAndShowsTheClientsUser) {
  TestMachine machine;
  const std::u16string name = UniquePipeName();
  std::u16string clientSid;
  bool hasSession = false;
  Win32Error afterRevert = 0;
  ServerThread server(name, [&](const PipeHandle& instance, const Event& stop) {
    Received request;
    ReadOne(&request, 16)(instance, stop);
    ASSERT_TRUE(request.ok);
    ASSERT_TRUE(ImpersonatePipeClient(instance)) << "error=" << LastError();
    TokenHandle token = OpenCurrentThreadToken();
    EXPECT_TRUE(RevertToSelfIdentity());
    ASSERT_TRUE(token.valid()) << "error=" << LastError();
    EXPECT_TRUE(GetTokenUserSidString(token, &clientSid));
    std::uint32_t session = 0xFFFFFFFFu;
    hasSession = GetTokenSessionId(token, &session);
    EXPECT_FALSE(OpenCurrentThreadToken().valid());
    afterRevert = LastError();
    DisconnectPipeClient(instance);
  });
  PipeHandle client = OpenClient(name);
  ASSERT_TRUE(WritePipeMessage(client, "i\0", 2));
  server.Join();

  EXPECT_EQ(afterRevert, kErrorNoToken);
  EXPECT_TRUE(hasSession);
  // Client and server run as the same user here.
  TokenHandle self = OpenCurrentProcessToken();
  ASSERT_TRUE(self.valid());
  std::u16string selfSid;
  ASSERT_TRUE(GetTokenUserSidString(self, &selfSid));
  EXPECT_EQ(clientSid, selfSid);
  EXPECT_EQ(selfSid.rfind(u"S-1-5-", 0), 0u);
  std::uint32_t needed = 0;
  EXPECT_FALSE(QueryTokenUser(self, nullptr, 0, &needed));
  EXPECT_EQ(LastError(), kErrorInsufficientBuffer);
  EXPECT_GT(needed, 0u);
}

}  // namespace
}  // namespace vovu::platform
