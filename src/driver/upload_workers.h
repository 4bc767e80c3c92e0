// Uploads on several connections at once: each worker is a thread with a blocking client
// of its own, handed one file at a time by the thread that owns the workers (the
// queue's coordinator), which collects the outcomes in the order the uploads ended.
// Workers neither list, record nor log.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qb {

class TNetHTTP;

class UploadWorkers {
 public:
  using MakeClient = std::function<std::unique_ptr<TNetHTTP>()>;
  // Sends one file on the worker's client; returns when the server took it, raises
  // otherwise. Runs on the worker's thread.
  using Send = std::function<void(TNetHTTP& client, const std::string& path)>;
  struct Outcome {
    std::string path;
    std::exception_ptr error;  // none: the server took the file
  };
  using TimePoint = std::chrono::steady_clock::time_point;

  // Up to `count` workers; each is made (with a client from `makeClient`, on this
  // thread) when an upload first needs it.
  UploadWorkers(int count, MakeClient makeClient, Send send);
  // Cuts the uploads still in flight (their connections end at once, failing, and connect
  // no more) and waits for every worker to end, for kStopWait at the most; a worker still
  // blocked then is left to end with the process.
  ~UploadWorkers();
  UploadWorkers(const UploadWorkers&) = delete;
  UploadWorkers& operator=(const UploadWorkers&) = delete;

  // Uploads started and not yet handed back by WaitForEnded.
  int Running() const { return running_; }
  int Count() const { return count_; }
  // Starts the upload of `path` on a free worker; Running() must be below Count().
  void Start(const std::string& path);
  // The uploads that ended since the last call, in the order they ended: waits until at
  // least one has, or until `until` passes (then possibly none).
  std::vector<Outcome> WaitForEnded(std::optional<TimePoint> until);

  static constexpr std::chrono::seconds kStopWait{10};

 private:
  struct Shared;
  struct Worker;

  int count_;
  MakeClient makeClient_;
  Send send_;
  std::shared_ptr<Shared> shared_;
  std::vector<std::shared_ptr<Worker>> workers_;
  int running_ = 0;
};

}  // namespace qb
