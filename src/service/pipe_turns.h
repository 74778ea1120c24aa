// Whose connection the pipe's serving threads take next. Every connected client waits its
// turn here, counted against its user (the SID of the process that opened the pipe): a user
// has at most `servedPerUser` connections served at once and holds at most `heldPerUser`
// (served and waiting), so that one user's connections, however many and however slow, take
// no more than their own share of the serving threads and never the others' turns. Among the
// connections whose users have room, the one that connected first goes first.
//
// Plain bookkeeping without threads or pipes: the serving pool (pipe_serving.h) keeps it
// under its lock, and the connections themselves by `id`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace vovu {

struct PipeTurnLimits {
  std::size_t servedPerUser = 1;
  std::size_t heldPerUser = 1;
};

class PipeTurns {
 public:
  explicit PipeTurns(PipeTurnLimits limits) : limits_(limits) {}

  // A new connection `id` of `user` (an empty text is one more user: those who could not be
  // told apart). False, and nothing recorded, when the user already holds `heldPerUser`.
  [[nodiscard]] bool Admit(const std::u16string& user, std::uint64_t id);

  // The waiting connection to serve now: the first admitted whose user has fewer than
  // `servedPerUser` served. False when there is none. The connection counts as served
  // until Finish.
  [[nodiscard]] bool Take(std::uint64_t* id, std::u16string* user);

  // A served connection of `user` has ended.
  void Finish(const std::u16string& user);

  // Forgets every waiting connection and returns their ids (a stop).
  [[nodiscard]] std::deque<std::uint64_t> DropWaiting();

  // How many connections of `user` are held (served and waiting).
  [[nodiscard]] std::size_t Held(const std::u16string& user) const;

 private:
  struct Waiting {
    std::u16string user;
    std::uint64_t id = 0;
  };
  struct Counts {
    std::size_t served = 0;
    std::size_t held = 0;
  };

  void Release(std::map<std::u16string, Counts>::iterator counts);

  PipeTurnLimits limits_;
  std::deque<Waiting> waiting_;
  std::map<std::u16string, Counts> users_;
};

}  // namespace vovu
