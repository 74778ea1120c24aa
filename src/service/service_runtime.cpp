#include "service/service_runtime.h"

#include "foundation/service_stop.h"

namespace vovu {

ServiceRuntime::ServiceRuntime(CommandDispatcher dispatch) : dispatch_(dispatch), queue_(stop_) {}

ServiceRuntime::~ServiceRuntime() {
  if (stop_.valid())
    Stop();
  JoinThreads();
  PublishServiceStopEvent(nullptr);
}

bool ServiceRuntime::CreateStopEvent() {
  if (!platform::Event::Create(/*manualReset=*/true, /*initiallySet=*/false, &stop_))
    return false;
  PublishServiceStopEvent(&stop_);
  return true;
}

bool ServiceRuntime::Start(Job startupJob) {
  if (!worker_.Start(u"worker", [this] { queue_.RunWorker(); }))
    return false;
  if (startupJob)
    queue_.Enqueue(std::move(startupJob));
  if (!pipe_.Start(u"pipe", [this] { RunPipeServer(stop_, dispatch_); })) {
    const platform::Win32Error error = platform::LastError();
    Stop();
    JoinThreads();
    platform::SetLastErrorCode(error);
    return false;
  }
  return true;
}

void ServiceRuntime::WaitForStop() const {
  (void)stop_.Wait(platform::kInfiniteWait);
}

void ServiceRuntime::Stop() const {
  (void)stop_.Set();
}

void ServiceRuntime::JoinThreads() {
  pipe_.Join();
  queue_.WakeWorker();
  worker_.Join();
}

}  // namespace vovu
