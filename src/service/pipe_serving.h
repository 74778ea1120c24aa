// The pipe's serving threads. The pipe thread only keeps an instance listening and takes
// clients; each connected client is handed over here and served, one exchange per
// connection, on one of a few threads side by side, in the turns of pipe_turns.h: a user
// whose connections never send, or never read, holds at most its own share of the threads,
// and a connection over its user's bound is closed at once without a reply. Commands
// themselves still run one at a time (HandlePipeClient), so serving side by side adds no
// race between commands.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/pipe.h"
#include "platform/sync.h"
#include "service/pipe_server.h"
#include "service/pipe_turns.h"

namespace vovu {

class PipeServingPool {
 public:
  using Clock = std::chrono::steady_clock;

  // `stop` ends every wait of an exchange; `dispatch` carries out the requests.
  PipeServingPool(const platform::Event& stop, CommandDispatcher dispatch);
  // Stop().
  ~PipeServingPool();
  PipeServingPool(const PipeServingPool&) = delete;
  PipeServingPool& operator=(const PipeServingPool&) = delete;

  // Starts kPipeServingThreads threads. False when not even one could start (the caller
  // then serves its clients itself); with fewer, serving goes on with those.
  [[nodiscard]] bool Start();

  // Hands over the connected `instance`, opened by a process of `user`, whose request must
  // have arrived by `deadline`. Closed at once, without a reply, when that user holds
  // kPipeConnectionsHeldPerUser already (logged once until the user holds none) or the pool
  // is stopping.
  void Hand(platform::PipeHandle instance, const std::u16string& user, Clock::time_point deadline);

  // Ends serving once `stop` is set: the threads end their exchanges (every wait watches the
  // stop event) and are joined, and the connections still waiting are closed.
  void Stop();

 private:
  struct Pending {
    platform::PipeHandle instance;
    Clock::time_point deadline;
  };

  void Serve();

  const platform::Event& stop_;
  CommandDispatcher dispatch_;
  platform::CriticalSection lock_{4000};
  platform::ConditionVariable wake_;
  PipeTurns turns_;
  std::map<std::uint64_t, Pending> pending_;
  std::set<std::u16string> overBound_;  // users whose refusal was logged
  std::uint64_t nextId_ = 1;
  bool stopping_ = false;
  std::vector<platform::Thread> threads_;
};

}  // namespace vovu
