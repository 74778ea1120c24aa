#include "service/pipe_turns.h"

namespace vovu {

bool PipeTurns::Admit(const std::u16string& user, std::uint64_t id) {
  Counts& counts = users_[user];
  if (counts.held >= limits_.heldPerUser) {
    if (counts.held == 0)
      users_.erase(user);
    return false;
  }
  ++counts.held;
  waiting_.push_back(Waiting{user, id});
  return true;
}

bool PipeTurns::Take(std::uint64_t* id, std::u16string* user) {
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
    Counts& counts = users_[it->user];
    if (counts.served >= limits_.servedPerUser)
      continue;
    ++counts.served;
    *id = it->id;
    *user = std::move(it->user);
    waiting_.erase(it);
    return true;
  }
  return false;
}

void PipeTurns::Finish(const std::u16string& user) {
  const auto counts = users_.find(user);
  if (counts == users_.end() || counts->second.served == 0)
    return;
  --counts->second.served;
  Release(counts);
}

std::deque<std::uint64_t> PipeTurns::DropWaiting() {
  std::deque<std::uint64_t> ids;
  for (const Waiting& waiting : waiting_) {
    ids.push_back(waiting.id);
    const auto counts = users_.find(waiting.user);
    if (counts != users_.end())
      Release(counts);
  }
  waiting_.clear();
  return ids;
}

std::size_t PipeTurns::Held(const std::u16string& user) const {
  const auto counts = users_.find(user);
  return counts == users_.end() ? 0 : counts->second.held;
}

void PipeTurns::Release(std::map<std::u16string, Counts>::iterator counts) {
  if (counts->second.held > 0)
    --counts->second.held;
  if (counts->second.held == 0 && counts->second.served == 0)
    users_.erase(counts);
}

}  // namespace vovu
