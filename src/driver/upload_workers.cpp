// Implementation details: every layer below blocks (a wait on one socket, blocking sends,
// nested calls that raise), so an upload keeps its thread, and a worker is a thread with
// a client of its own: workers share nothing but the TLS session cache, which locks
// itself. One lock guards what the coordinator and the workers hand each other (a job,
// an outcome, the stop). A worker holds its own share of that state and of its client,
// so that one left blocked when the workers are destroyed touches nothing freed. An upload
// is cut off by ending its socket's connection from the coordinator, which the socket
// handle does without closing the socket, so that no worker can meet its number reused.
#include "driver/upload_workers.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "http/http_client.h"
#include "net/net_io_handler.h"

namespace qb {

struct UploadWorkers::Shared {
  std::mutex lock;
  std::condition_variable ended;  // an upload or a worker ended
  std::vector<Outcome> outcomes;  // ended uploads not yet handed back, in order
};

struct UploadWorkers::Worker {
  std::shared_ptr<Shared> shared;
  std::unique_ptr<TNetHTTP> client;
  Send send;
  std::thread thread;
  std::condition_variable wake;
  // Guarded by shared->lock.
  std::optional<std::string> job;  // the file being sent
  bool stop = false;
  bool finished = false;

  // Cuts the connection of the upload in flight; with shared->lock held.
  void Abort() const {
    if (!job) return;
    if (auto* socket = dynamic_cast<TNetIOHandlerSocket*>(client->IOHandler())) socket->Binding().Abort();
  }

  static void Run(const std::shared_ptr<Worker>& self) {
    Worker& w = *self;
    std::unique_lock lock(w.shared->lock);
    for (;;) {
      w.wake.wait(lock, [&w] { return w.stop || w.job; });
      if (!w.job) break;
      const std::string path = *w.job;
      lock.unlock();
      std::exception_ptr error;
      try {
        w.send(*w.client, path);
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      w.job.reset();
      w.shared->outcomes.push_back({path, error});
      w.shared->ended.notify_all();
    }
    w.finished = true;
    w.shared->ended.notify_all();
  }
};

UploadWorkers::UploadWorkers(int count, MakeClient makeClient, Send send)
    : count_(count), makeClient_(std::move(makeClient)), send_(std::move(send)), shared_(std::make_shared<Shared>()) {}

UploadWorkers::~UploadWorkers() {
  std::unique_lock lock(shared_->lock);
  for (const auto& worker : workers_) {
    worker->stop = true;
    worker->Abort();
    worker->wake.notify_one();
  }
  const auto allFinished = [this] {
    for (const auto& worker : workers_) {
      if (!worker->finished) return false;
    }
    return true;
  };
  shared_->ended.wait_for(lock, kStopWait, allFinished);
  lock.unlock();
  for (const auto& worker : workers_) {
    lock.lock();
    const bool finished = worker->finished;
    lock.unlock();
    // One that is still blocked holds its own share of what it touches.
    if (finished) {
      worker->thread.join();
    } else {
      worker->thread.detach();
    }
  }
}

void UploadWorkers::Start(const std::string& path) {
  std::unique_lock lock(shared_->lock);
  for (const auto& worker : workers_) {
    if (!worker->job) {
      worker->job = path;
      ++running_;
      worker->wake.notify_one();
      return;
    }
  }
  lock.unlock();
  auto worker = std::make_shared<Worker>();
  worker->shared = shared_;
  worker->client = makeClient_();
  worker->send = send_;
  worker->job = path;
  worker->thread = std::thread(&Worker::Run, worker);
  workers_.push_back(std::move(worker));
  ++running_;
}

std::vector<UploadWorkers::Outcome> UploadWorkers::WaitForEnded(std::optional<TimePoint> until) {
  std::unique_lock lock(shared_->lock);
  const auto any = [this] { return !shared_->outcomes.empty(); };
  if (until) {
    shared_->ended.wait_until(lock, *until, any);
  } else {
    shared_->ended.wait(lock, any);
  }
  std::vector<Outcome> ended;
  ended.swap(shared_->outcomes);
  running_ -= static_cast<int>(ended.size());
  return ended;
}

}  // namespace qb
