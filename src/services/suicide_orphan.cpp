// Implementation details: the thread waits on the parent in slices of 500 ms and looks
// at its stop flag between slices, so a release returns within one slice. A wait that
// fails never ends the process: the thread sleeps out the slice instead of spinning.
#include "services/suicide_orphan.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <system_error>
#include <thread>

#include "platform/process.h"
#include "support/exception.h"
#include "support/format.h"

namespace qb {
namespace {

constexpr int kSliceMilliseconds = 500;

class TSuicideThread {
 public:
  TSuicideThread(std::unique_ptr<platform::ProcessWaiter> process, std::int32_t exitCode)
      : exitCode_(exitCode), process_(std::move(process)) {
    try {
      thread_ = std::thread([this] { Execute(); });
    } catch (const std::system_error& error) {
      throw EThread(Format("Thread creation error: %s", error.code().message()));
    }
  }

  ~TSuicideThread() {
    terminated_.store(true);
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Execute() {
    while (!terminated_.load()) {
      switch (process_->Wait(kSliceMilliseconds)) {
        case platform::ProcessWaiter::WaitResult::Ended: platform::ExitProcessNow(exitCode_);
        case platform::ProcessWaiter::WaitResult::TimedOut: break;
        case platform::ProcessWaiter::WaitResult::Failed:
          std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMilliseconds));
          break;
      }
    }
  }

  std::int32_t exitCode_;
  std::unique_ptr<platform::ProcessWaiter> process_;
  std::atomic<bool> terminated_{false};
  std::thread thread_;
};

class TSuicideOrphan final : public ISuicideOrphan {
 public:
  explicit TSuicideOrphan(std::int32_t exitCode) : exitCode_(exitCode) {}

  Ref<ISuicideOrphan> WatchParent(std::int32_t processId) override {
    Ref<ISuicideOrphan> self(this);
    if (processId == 0 || thread_) return self;
    auto process = platform::OpenProcessForWait(processId);
    if (!process) return self;
    thread_ = std::make_unique<TSuicideThread>(std::move(process), exitCode_);
    return self;
  }

 private:
  std::unique_ptr<TSuicideThread> thread_;
  std::int32_t exitCode_;
};

}  // namespace

Ref<ISuicideOrphan> CreateSuicideOrphan(std::int32_t exitCode) { return MakeRef<TSuicideOrphan>(exitCode); }

}  // namespace qb
