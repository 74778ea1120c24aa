#include "service/service_state.h"

#include <memory>

namespace vovu {
namespace {

constexpr std::uint32_t kJobQueueSpinCount = 1024;

struct State {
  std::unique_ptr<platform::CriticalSection> queueLock;
  std::unique_ptr<platform::ConditionVariable> queueSignal;
  std::deque<Job> queue;
};

State& TheState() {
  static State state;
  return state;
}

}  // namespace

platform::CriticalSection* JobQueueLock() {
  return TheState().queueLock.get();
}
platform::ConditionVariable* JobQueueSignal() {
  return TheState().queueSignal.get();
}
std::deque<Job>& JobQueue() {
  return TheState().queue;
}

ServiceObjects::~ServiceObjects() {
  DeleteQueue();
  CloseStopEvent();
}

bool ServiceObjects::CreateStopEvent() {
  auto event = std::make_unique<platform::Event>();
  if (!platform::Event::Create(/*manualReset=*/true, /*initiallySet=*/false, event.get())) {
    return false;
  }
  ReplaceServiceStopEvent(std::move(event));
  return true;
}

void ServiceObjects::CreateQueue() {
  TheState().queueLock = std::make_unique<platform::CriticalSection>(kJobQueueSpinCount);
  TheState().queueSignal = std::make_unique<platform::ConditionVariable>();
}

void ServiceObjects::DeleteQueue() {
  TheState().queue.clear();
  TheState().queueSignal.reset();
  TheState().queueLock.reset();
}

void ServiceObjects::CloseStopEvent() {
  ReplaceServiceStopEvent(nullptr);
}

}  // namespace vovu
