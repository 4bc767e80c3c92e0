// Implementation details: every read goes through ReadFromSource, which appends one
// receive to the receive buffer and turns a close by the peer, a time-out or a socket
// error into the handler's state or an exception; the line, block and until-close reads
// only search and drain that buffer. A reset or abort during a receive becomes a close
// first, so bytes that arrived before it stay readable; the read that needs more than
// they hold raises the reset, also when part of a line is among them. The socket never
// blocks: every wait is one of the handler's, bounded by ReadTimeout and the read deadline
// for reads, and for a send by how long no byte has left the machine (SendTimeout). While
// a request's body goes out, a caller may have the receiving side watched, so that an
// answer that comes before the end is seen at once, not after the last write.
#include "net/net_io_handler.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <limits>
#include <memory>
#include <thread>

#include "platform/codepage.h"

namespace qb {
namespace {

constexpr std::int64_t kLargeStreamLimit = std::int64_t{1} << 31;  // 2 GB
// What a failed send keeps of the bytes that had arrived: enough for an answer's head
// and an error page.
constexpr std::size_t kArrivedBytesLimit = std::size_t{1} << 20;

[[noreturn]] void RaiseClosedGracefully() { throw ENetConnClosedGracefully("Connection Closed Gracefully."); }

// The resolver cannot be interrupted, so with a time-out it runs on a thread of its own,
// which is left to finish by itself when the time runs out first.
std::string ResolveWithin(const std::string& host, TNetIPVersion version, std::chrono::steady_clock::time_point end) {
  auto promise = std::make_shared<std::promise<std::string>>();
  std::future<std::string> result = promise->get_future();
  std::thread([promise, host, version] {
    try {
      promise->set_value(TNetStack::Instance().ResolveHost(host, version));
    } catch (...) {
      promise->set_exception(std::current_exception());
    }
  }).detach();
  if (result.wait_until(end) != std::future_status::ready) throw ENetConnectTimeout("Connect timed out.");
  return result.get();
}

// Pre-sizing and cutting a target stream save reallocations; a stream that cannot
// change its size is still written to.
void TrySetSize(TStream& stream, std::int64_t size) {
  try {
    stream.SetSize(size);
  } catch (const EStreamError&) {
  }
}

}  // namespace

// --- Wire text -------------------------------------------------------------------------

std::string TNetIOHandler::EncodeWireText(std::string_view text) {
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 128; })) {
    return std::string(text);
  }
  const std::u16string wide = platform::MultiByteToWide(platform::AnsiCodePage(), text);
  std::string out;
  out.reserve(wide.size());
  for (char16_t unit : wide) out += unit < 128 ? static_cast<char>(unit) : '?';
  return out;
}

std::string TNetIOHandler::DecodeWireText(std::string_view bytes) {
  std::string out(bytes);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) >= 128) c = '?';
  }
  return out;
}

// --- State -----------------------------------------------------------------------------

void TNetIOHandler::Open() {
  peerClosed_ = false;
  closeError_ = 0;
  batch_.reset();
  receiveBuffer_.Clear();
  receivedBytes_ = 0;
  opened_ = true;
}

void TNetIOHandler::Close() {
  opened_ = false;
  batch_.reset();
}

bool TNetIOHandler::Connected() {
  CheckPeerClosed(false);
  if (SourceIsAvailable() && Readable(0)) ReadFromSource(false, kNetTimeoutPoll, false);
  return (SourceIsAvailable() && !peerClosed_) || !receiveBuffer_.Empty();
}

void TNetIOHandler::CheckPeerClosed(bool raise, bool ignoreBuffer) {
  bool closed = !SourceIsAvailable();
  if (peerClosed_) {
    if (SourceIsAvailable()) CloseSource();
    closed = true;
  }
  if (!closed || !raise || (!ignoreBuffer && !receiveBuffer_.Empty())) return;
  if (closeError_ != 0) RaiseError(closeError_);
  RaiseClosedGracefully();
}

// --- Receiving -------------------------------------------------------------------------

void TNetIOHandler::CommitReceive(long received) {
  const std::size_t count = received > 0 ? static_cast<std::size_t>(received) : 0;
  receiveBuffer_.Commit(count);
  receivedBytes_ += static_cast<std::int64_t>(count);
}

int TNetIOHandler::ReadFromSource(bool raiseIfDisconnected, int timeout, bool raiseOnTimeout) {
  if (timeout == kNetTimeoutDefault) timeout = ReadTimeout;
  const int wait = timeout == kNetTimeoutPoll ? 0 : timeout <= 0 ? -1 : timeout;
  const auto start = std::chrono::steady_clock::now();
  CheckPeerClosed(raiseIfDisconnected);
  if (!SourceIsAvailable()) {
    if (raiseIfDisconnected) throw ENetNotConnected("Not Connected");
    return 0;
  }
  const std::size_t size = static_cast<std::size_t>(std::max(RecvBufferSize, 1));
  for (;;) {
    // A receive that brought no data waits again, for what is left of the time-out.
    int remaining = wait;
    if (wait > 0) {
      const auto elapsed =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
      remaining = static_cast<int>(std::max<std::int64_t>(0, wait - elapsed));
    }
    bool expired = false;
    if (readDeadline_) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(*readDeadline_ - std::chrono::steady_clock::now()).count();
      expired = left <= 0;
      if (remaining < 0 || left < remaining) remaining = static_cast<int>(std::max<std::int64_t>(0, left));
    }
    bool timedOut = expired || !Readable(remaining);
    long received = 0;
    if (!timedOut) {
      received = ReceiveSome(receiveBuffer_.Reserve(size), size);
      CommitReceive(received);
      if (received < 0 && received != kNetReceivedNoData) {
        const int error = CheckForError(received);
        if (error == platform::kSocketErrorTimedOut) {
          timedOut = true;
        } else if (error == platform::kSocketErrorWouldBlock) {
          // Readable, and then nothing to take after all: the wait goes on.
        } else {
          peerClosed_ = true;
          closeError_ = error;
          CloseSource();
          if (receiveBuffer_.Empty() && raiseIfDisconnected) RaiseError(error);
        }
      } else if (received == 0) {
        peerClosed_ = true;
      }
    }
    if (timedOut) {
      if (raiseOnTimeout) throw ENetReadTimeout("Read timed out.");
      return -1;
    }
    CheckPeerClosed(raiseIfDisconnected);
    if (received > 0) return static_cast<int>(received);
    if (!SourceIsAvailable() || peerClosed_) return 0;
  }
}

// How long a send has gone without a byte leaving the machine: bytes that the socket took,
// or fewer bytes waiting for the peer's acknowledgement than at the last look. Room in the
// socket comes back in large steps, so a peer that reads slowly but steadily is seen
// only in the queue.
class TNetIOHandler::SendProgress {
 public:
  explicit SendProgress(TNetIOHandler& io)
      : io_(io), limit_(io.SendStallLimit()), last_(std::chrono::steady_clock::now()) {}
  void Moved() {
    last_ = std::chrono::steady_clock::now();
    unsent_.reset();
  }
  // Looks at the queue; false where the system cannot tell.
  bool Look() {
    const std::optional<std::size_t> now = io_.UnsentBytes();
    if (!now) return false;
    if (unsent_ && *now < *unsent_) last_ = std::chrono::steady_clock::now();
    unsent_ = now;
    return true;
  }
  // The bytes waiting at the last look.
  std::size_t Unsent() const { return unsent_.value_or(0); }
  // The milliseconds left before the send counts as stalled (none without a limit);
  // raises the socket error 10060 once none are left.
  std::optional<std::int64_t> RaiseIfStalled() const {
    if (limit_ <= 0) return std::nullopt;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(last_ + std::chrono::milliseconds(limit_) -
                                                                   std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) io_.RaiseError(platform::kSocketErrorTimedOut);
    return left;
  }

 private:
  TNetIOHandler& io_;
  const int limit_;
  std::chrono::steady_clock::time_point last_;
  std::optional<std::size_t> unsent_;
};

TNetSendState TNetIOHandler::WaitUntilSent() {
  SendProgress progress(*this);
  if (!SourceIsAvailable() || !progress.Look()) return TNetSendState::Unknown;
  // An answer's first segment acknowledges all that its server had received, and the
  // acknowledgement is taken before its data is: bytes to read while some of ours are
  // still unacknowledged came from a peer that had not received them all.
  const auto answered = [this] {
    const std::optional<std::size_t> now = UnsentBytes();
    return now && *now > 0 ? TNetSendState::Answered : TNetSendState::Sent;
  };
  if (!receiveBuffer_.Empty()) return answered();
  // No event tells of an empty send queue, so it is asked in slices of a wait for bytes.
  constexpr int kSliceMs = 10;
  while (progress.Unsent() > 0) {
    // A receive, not a readiness wait: over TLS the socket is readable with records that
    // carry no data (session tickets), which are no answer. The slice is its deadline,
    // so that it cannot wait inside a record that trickles in.
    int received;
    {
      const TNetReadDeadlineScope slice(*this, std::chrono::steady_clock::now() + std::chrono::milliseconds(kSliceMs));
      received = ReadFromSource(false, kSliceMs, false);
    }
    if (!receiveBuffer_.Empty()) return answered();
    // A close: the reading of the answer finds it.
    if (received >= 0 || !SourceIsAvailable()) return TNetSendState::Sent;
    if (!progress.Look()) return TNetSendState::Unknown;
    progress.RaiseIfStalled();
  }
  return TNetSendState::Sent;
}

std::string TNetIOHandler::ReadLine(std::string_view terminator, int timeout, std::optional<int> maxLength) {
  if (terminator.empty()) terminator = "\n";
  if (timeout == kNetTimeoutDefault) timeout = ReadTimeout;
  const int maximum = maxLength.value_or(MaxLineLength);
  lineTimedOut_ = false;
  lineSplit_ = false;
  const auto start = std::chrono::steady_clock::now();
  std::size_t searchFrom = 0;
  std::size_t found;
  for (;;) {
    found = receiveBuffer_.IndexOf(terminator, searchFrom);
    const std::size_t size = receiveBuffer_.Size();
    if (maximum > 0) {
      const auto limit = static_cast<std::size_t>(maximum);
      if ((found != std::string::npos && found > limit) ||
          (found == std::string::npos && size > limit + terminator.size() - 1)) {
        if (MaxLineAction == TNetMaxLineAction::maException) {
          throw ENetReadLnMaxLineLengthExceeded("Max line length exceeded.");
        }
        lineSplit_ = true;
        return DecodeWireText(receiveBuffer_.Extract(limit));
      }
    }
    if (found != std::string::npos) break;
    // The next search starts where a terminator split across two receives could begin.
    searchFrom = size >= terminator.size() ? size - terminator.size() + 1 : 0;
    CheckPeerClosed(true, true);
    const int received = ReadFromSource(true, timeout, false);
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (received == -1 || (timeout >= 0 && elapsed >= timeout)) {
      lineTimedOut_ = true;
      return {};
    }
  }
  std::string line = receiveBuffer_.Extract(found);
  receiveBuffer_.Remove(terminator.size());
  if (terminator == "\n" && !line.empty() && line.back() == '\r') line.pop_back();
  return DecodeWireText(line);
}

void TNetIOHandler::WriteToStream(TStream* stream, std::size_t count) {
  if (stream && count > 0) stream->WriteBuffer(receiveBuffer_.Data(), count);
  receiveBuffer_.Remove(count);
}

void TNetIOHandler::ReadExact(std::size_t count) {
  while (receiveBuffer_.Size() < count) ReadFromSource(true, kNetTimeoutDefault, true);
}

void TNetIOHandler::ReadToStream(TStream* stream, std::int64_t byteCount, bool untilClose) {
  if (untilClose) byteCount = -1;
  if (byteCount == -1 && !untilClose) {
    const std::size_t width = LargeStream ? 8 : 4;
    ReadExact(width);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | static_cast<unsigned char>(receiveBuffer_.Data()[i]);
    receiveBuffer_.Remove(width);
    byteCount = LargeStream ? static_cast<std::int64_t>(value) : static_cast<std::int32_t>(value);
  }
  if (byteCount >= 0 && stream) {
    const std::int64_t position = stream->GetPosition();
    if (position > std::numeric_limits<std::int64_t>::max() - byteCount) {
      throw ENetIOHandlerStreamDataTooLarge("Data is too large for stream");
    }
    TrySetSize(*stream, position + byteCount);
  }
  if (byteCount < 0) untilClose = true;

  std::int64_t due = byteCount;
  try {
    for (;;) {
      std::size_t take = receiveBuffer_.Size();
      if (!untilClose) take = static_cast<std::size_t>(std::min<std::int64_t>(due, static_cast<std::int64_t>(take)));
      WriteToStream(stream, take);
      if (!untilClose) {
        due -= static_cast<std::int64_t>(take);
        if (due == 0) break;
      }
      if (ReadFromSource(!untilClose, kNetTimeoutDefault, true) <= 0) {
        CheckPeerClosed(false);
        break;
      }
    }
  } catch (...) {
    if (stream) TrySetSize(*stream, stream->GetPosition());
    throw;
  }
  if (stream) TrySetSize(*stream, stream->GetPosition());
}

void TNetIOHandler::ReadToStreamUntil(TStream* stream, std::string_view sequence) {
  for (;;) {
    const std::size_t found = receiveBuffer_.IndexOf(sequence);
    if (found != std::string::npos || sequence.empty()) {
      WriteToStream(stream, sequence.empty() ? 0 : found + sequence.size());
      return;
    }
    // Deliver all but a possible start of the sequence, so the buffer does not grow.
    const std::size_t keep = std::min(receiveBuffer_.Size(), sequence.size() - 1);
    WriteToStream(stream, receiveBuffer_.Size() - keep);
    if (ReadFromSource(false, kNetTimeoutDefault, true) <= 0) {
      WriteToStream(stream, receiveBuffer_.Size());
      return;
    }
  }
}

// --- Sending ---------------------------------------------------------------------------

int TNetIOHandler::SendStallLimit() const {
  if (SendTimeout > 0) return SendTimeout;
  if (ReadTimeout > 0) return ReadTimeout;
  return SendStallDefault();
}

bool TNetIOHandler::WriteDirect(const char* data, std::size_t count, const TNetArrivalCheck* whenArrived) {
  CheckPeerClosed(true, true);
  SendProgress progress(*this);
  // The bytes of the write under way: one that found no room goes again with the same
  // bytes (a TLS session requires it).
  std::size_t piece = 0;
  while (count > 0) {
    if (piece == 0) {
      piece = count;
      if (RateLimit) {
        piece = WaitForBudget(count, whenArrived);
        if (piece == 0) return false;
        progress.Moved();
      }
    }
    const std::uint64_t before = RateLimit ? WrittenToSource() : 0;
    const long sent = SendSome(data, piece);
    if (RateLimit) RateLimit->Charge(WrittenToSource() - before);
    if (sent > 0) {
      data += sent;
      count -= static_cast<std::size_t>(sent);
      piece = 0;
      progress.Moved();
      continue;
    }
    if (sent < 0) {
      const int error = CheckForError(sent);
      if (error == platform::kSocketErrorWouldBlock) {
        if (!WaitForRoom(progress, whenArrived)) return false;
        continue;
      }
      if (error != platform::kSocketErrorTimedOut) {
        KeepArrivedBytes();
        peerClosed_ = true;
        CloseSource();
      }
      RaiseError(error);
    }
    KeepArrivedBytes();
    peerClosed_ = true;
    CheckPeerClosed(true);
    // Bytes still due cannot go out: never report a partial send as done.
    RaiseClosedGracefully();
  }
  return true;
}

bool TNetIOHandler::WaitForRoom(SendProgress& progress, const TNetArrivalCheck* whenArrived) {
  // With a limit the queue is looked at in slices of the wait: no event tells that bytes
  // were acknowledged.
  constexpr int kSliceMs = 100;
  const bool canTell = progress.Look();
  // Asked before any receive below, which makes the session's last call a read.
  const int wanted = SendWaitsForRead() ? platform::kSocketReadable : platform::kSocketWritable;
  for (;;) {
    int wait = -1;
    if (const std::optional<std::int64_t> left = progress.RaiseIfStalled()) {
      wait = static_cast<int>(canTell ? std::min<std::int64_t>(*left, kSliceMs) : *left);
    }
    const bool watch = whenArrived && !peerClosed_;
    const int ready = WaitForSource(wanted | (watch ? platform::kSocketReadable : 0), wait);
    if (ready < 0) RaiseError(platform::LastSocketError());
    if (watch && (ready & platform::kSocketReadable) && TakeArrivedBytes() && !(*whenArrived)()) return false;
    if (ready & wanted) return true;
    if (ready == 0 && canTell) progress.Look();
  }
}

std::size_t TNetIOHandler::WaitForBudget(std::size_t count, const TNetArrivalCheck* whenArrived) {
  for (;;) {
    TNetRateLimit::Clock::duration wait;
    const std::size_t granted = RateLimit->Grant(count, wait);
    if (granted > 0) return granted;
    const int ms =
        static_cast<int>(std::max<std::int64_t>(1, std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
    if (whenArrived && !peerClosed_) {
      const int ready = WaitForSource(platform::kSocketReadable, ms);
      if ((ready & platform::kSocketReadable) && TakeArrivedBytes() && !(*whenArrived)()) return 0;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
  }
}

bool TNetIOHandler::TakeArrivedBytes() {
  KeepArrivedBytes(false);
  return !receiveBuffer_.Empty();
}

void TNetIOHandler::KeepArrivedBytes(bool quiet) {
  // Over TLS a receive would wait for the rest of a record that has begun: not here.
  const TNetReadDeadlineScope now(*this, std::chrono::steady_clock::now());
  const std::size_t size = static_cast<std::size_t>(std::max(RecvBufferSize, 1));
  std::size_t kept = 0;
  // Counted in receives too: a TLS receive may bring records without data.
  for (int receives = 0;
       receives < 64 && kept < kArrivedBytesLimit && !peerClosed_ && SourceIsAvailable() && Readable(0); ++receives) {
    const long received = ReceiveSome(receiveBuffer_.Reserve(size), size);
    CommitReceive(received);
    if (received == kNetReceivedNoData) continue;
    if (received == 0) {
      peerClosed_ = true;
      return;
    }
    if (received < 0) {
      if (quiet) return;
      const int error = CheckForError(received);
      if (error != platform::kSocketErrorWouldBlock && error != platform::kSocketErrorTimedOut) {
        peerClosed_ = true;
        closeError_ = error;
      }
      return;
    }
    kept += static_cast<std::size_t>(received);
  }
}

void TNetIOHandler::SendBytes(std::string_view bytes) {
  if (!batch_) {
    WriteDirect(bytes.data(), bytes.size());
    return;
  }
  batch_->Append(bytes);
  if (batchThreshold_ > 0) {
    while (batch_ && batch_->Size() >= static_cast<std::size_t>(batchThreshold_)) FlushSendBatch(batchThreshold_);
  }
}

void TNetIOHandler::SendLine(std::string_view text) {
  std::string line = EncodeWireText(text);
  line += "\r\n";
  SendBytes(line);
}

void TNetIOHandler::SendLines(const std::vector<std::string>& lines) {
  const bool ownBatch = !batch_;
  if (ownBatch) BeginSendBatch();
  try {
    for (const std::string& line : lines) SendLine(line);
  } catch (...) {
    if (ownBatch) CancelSendBatch();
    throw;
  }
  if (ownBatch) EndSendBatch();
}

bool TNetIOHandler::SendStream(TStream& stream, std::int64_t size, const TNetArrivalCheck& whenArrived) {
  std::int64_t count;
  if (size == 0) {
    count = stream.GetSize();
    stream.SetPosition(0);
  } else if (size < 0) {
    count = stream.GetSize() - stream.GetPosition();
  } else {
    count = size;
  }
  if (count >= kLargeStreamLimit && !LargeStream) {
    throw ENetIOHandlerRequiresLargeStream("Set LargeStream to True to send streams greater than 2GB");
  }
  const std::size_t piece = static_cast<std::size_t>(std::max(SendBufferSize, 1));
  std::vector<char> buffer(piece);
  const TNetArrivalCheck* check = whenArrived ? &whenArrived : nullptr;
  while (count > 0) {
    if (check && TakeArrivedBytes() && !whenArrived()) return false;
    const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(count, static_cast<std::int64_t>(piece)));
    const std::size_t got = stream.Read(buffer.data(), want);
    if (got == 0) throw ENetNoDataToRead("No data to read.");
    if (batch_) {
      SendBytes(std::string_view(buffer.data(), got));
    } else if (!WriteDirect(buffer.data(), got, check)) {
      return false;
    }
    count -= static_cast<std::int64_t>(got);
  }
  return true;
}

void TNetIOHandler::BeginSendBatch(int threshold) {
  if (batch_) {
    batch_->Clear();
  } else {
    batch_ = std::make_unique<TNetBuffer>();
  }
  batchThreshold_ = threshold;
}

void TNetIOHandler::FlushSendBatch(std::int64_t count) {
  if (!batch_) return;
  const std::size_t size = batch_->Size();
  const std::size_t n = count < 0 ? size : std::min(size, static_cast<std::size_t>(count));
  // Taken out first: a close while sending drops the batch.
  const std::string piece = batch_->Extract(n);
  WriteDirect(piece.data(), piece.size());
}

void TNetIOHandler::EndSendBatch() {
  try {
    FlushSendBatch();
  } catch (...) {
    batch_.reset();
    throw;
  }
  batch_.reset();
}

// --- Socket handler --------------------------------------------------------------------

void TNetIOHandlerSocket::Open() {
  TNetIOHandler::Open();
  binding_.CloseSocket();
  if (!Host.empty() && Port > 0) ConnectClient();
}

void TNetIOHandlerSocket::Close() {
  TNetIOHandler::Close();
  binding_.CloseSocket();
}

std::optional<std::size_t> TNetIOHandlerSocket::UnsentBytes() const { return platform::UnsentBytes(binding_.Handle()); }

void TNetIOHandlerStack::ConnectClient() { ConnectSocket(ConnectDeadline()); }

TNetIOHandler::Deadline TNetIOHandlerStack::ConnectDeadline() const {
  if (ConnectTimeout <= 0) return std::nullopt;
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ConnectTimeout);
}

void TNetIOHandlerStack::ConnectSocket(const Deadline& end) {
  TNetSocketHandle& binding = Binding();
  binding.SetIPVersion(IPVersion);
  binding.AllocateSocket();
  // Without an address or port of its own the socket is left for the connect to bind: an
  // explicit bind to port 0 searches the ephemeral ports under a conflict check whose cost
  // grows with every earlier connection of the run still in TIME_WAIT (a folder of 20,000
  // files went at two thirds of the speed of one of 2,000), while the connect may reuse such
  // a port towards the same server.
  if (!BoundIP.empty() || BoundPort != 0) binding.Bind(ReuseSocket == TNetReuseSocket::rsTrue, BoundIP, BoundPort);
  if (!UseNagle) binding.SetNoDelay(true);
  if (!end) {
    binding.SetPeer(TNetStack::Instance().ResolveHost(Host, IPVersion), Port);
    binding.Connect(0);
  } else {
    // One time-out for the resolver and the connect together.
    binding.SetPeer(ResolveWithin(Host, IPVersion, *end), Port);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*end - std::chrono::steady_clock::now()).count();
    binding.Connect(static_cast<int>(std::max<std::int64_t>(left, 1)));
  }
  // The one place that decides how the connection waits: never inside a call of the
  // system (or of the TLS library), always in a wait of the handler's, bounded by its
  // settings. A send to a peer that reads nothing would otherwise wait for good.
  if (!platform::SetSocketBlocking(binding.Handle(), false)) TNetStack::RaiseSocketError(platform::LastSocketError());
}

bool TNetIOHandlerStack::Readable(int timeoutMs) {
  return platform::WaitForReadable(Binding().Handle(), timeoutMs) != 0;
}

int TNetIOHandlerStack::WaitForSource(int events, int timeoutMs) {
  return platform::WaitForSocket(Binding().Handle(), events, timeoutMs);
}

long TNetIOHandlerStack::ReceiveSome(char* buffer, std::size_t size) {
  return platform::ReceiveSome(Binding().Handle(), buffer, size);
}

long TNetIOHandlerStack::SendSome(const char* data, std::size_t count) {
  const long sent = platform::SendSome(Binding().Handle(), data, count);
  if (sent > 0) written_ += static_cast<std::uint64_t>(sent);
  return sent;
}

int TNetIOHandlerStack::CheckForError(long) { return TNetStack::CheckForSocketError(); }

void TNetIOHandlerStack::RaiseError(int error) { TNetStack::RaiseSocketError(error); }

}  // namespace qb
