// The buffered byte I/O of a connection. TNetIOHandler holds the receive buffer and the
// send batch and builds every read and write (lines, counted blocks, until-close reads,
// streams) on two primitives that its descendants supply: receive some bytes and send
// some bytes. TNetIOHandlerSocket adds the socket and its settings; TNetIOHandlerStack
// implements the primitives and the connect on the platform sockets.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/net_buffer.h"
#include "net/net_exception.h"
#include "net/net_rate_limit.h"
#include "net/net_socket_handle.h"
#include "net/net_stack.h"
#include "support/stream.h"

namespace qb {

QB_DECLARE_EXCEPTION(ENetConnClosedGracefully, ENetSilentException);
QB_DECLARE_EXCEPTION(ENetNotConnected, ENetException);
QB_DECLARE_EXCEPTION(ENetReadTimeout, ENetException);
QB_DECLARE_EXCEPTION(ENetReadLnMaxLineLengthExceeded, ENetException);
QB_DECLARE_EXCEPTION(ENetIOHandlerStreamDataTooLarge, ENetException);
QB_DECLARE_EXCEPTION(ENetIOHandlerRequiresLargeStream, ENetException);
QB_DECLARE_EXCEPTION(ENetNoDataToRead, ENetException);

enum class TNetMaxLineAction { maException, maSplit };
enum class TNetReuseSocket { rsOSDependent, rsTrue, rsFalse };

// Time-outs in milliseconds: -1 (and 0) wait without limit; kNetTimeoutDefault stands
// for the handler's ReadTimeout.
inline constexpr int kNetTimeoutInfinite = -1;
inline constexpr int kNetTimeoutDefault = -2;
// Takes only what is there already.
inline constexpr int kNetTimeoutPoll = -3;

// What a receive primitive gives when only messages of the protocol below it came (TLS
// session tickets, a key update): no data and no failure; the wait for data goes on.
inline constexpr long kNetReceivedNoData = -2;

// Whether what was sent has left the machine (the peer acknowledged every byte), bytes of
// an answer arrived before it had, or the system cannot tell.
enum class TNetSendState { Sent, Answered, Unknown };

// Asked while a stream goes out, whenever bytes have arrived to be read (they are in the
// receive buffer): answers whether the sending goes on.
using TNetArrivalCheck = std::function<bool()>;

class TNetIOHandler {
 public:
  TNetIOHandler() = default;
  virtual ~TNetIOHandler() = default;
  TNetIOHandler(const TNetIOHandler&) = delete;
  TNetIOHandler& operator=(const TNetIOHandler&) = delete;

  // Settings.
  int RecvBufferSize = 32768;
  int SendBufferSize = 32768;
  int MaxLineLength = 16384;
  TNetMaxLineAction MaxLineAction = TNetMaxLineAction::maException;
  // The waits, all in milliseconds; the socket never blocks, so these are every limit
  // there is (with the read deadline below, and the handshake's own). ReadTimeout: each
  // wait for bytes to read (-1 and 0: none). SendTimeout: how long a send may go without a
  // byte leaving the machine before it fails with the socket error 10060 (0: ReadTimeout,
  // and without that the handler's own default, SendStallDefault).
  int ReadTimeout = kNetTimeoutInfinite;
  int SendTimeout = 0;
  int ConnectTimeout = 0;
  // The budget that every write takes its bytes from, shared with other connections;
  // none: writes go as fast as the socket takes them. Waiting for it is pacing, not a
  // stall: SendTimeout counts from the end of such a wait.
  std::shared_ptr<TNetRateLimit> RateLimit;
  bool LargeStream = false;
  std::string Host;
  std::uint16_t Port = 0;

  // Opening clears the peer-closed mark, the send batch and the receive buffer.
  virtual void Open();
  // Marks the handler closed and drops the send batch; the receive buffer keeps its bytes.
  virtual void Close();
  bool Opened() const { return opened_; }

  // Polls the source once without waiting, then: open and not closed by the peer, or
  // unread bytes remain.
  bool Connected();
  // Notices a close by the peer; raises ENetConnClosedGracefully "Connection Closed
  // Gracefully." when asked to and the receive buffer is empty (or ignoreBuffer is set),
  // or the socket error that ended the connection when a receive met one (a reset).
  void CheckPeerClosed(bool raise = true, bool ignoreBuffer = false);
  bool PeerClosed() const { return peerClosed_; }

  TNetBuffer& ReceiveBuffer() { return receiveBuffer_; }
  void ClearReceiveBuffer() { receiveBuffer_.Clear(); }
  // Bytes received since the connection was opened, read or not: a caller that notes the
  // count before a request can tell whether anything at all came back for it.
  std::int64_t ReceivedByteCount() const { return receivedBytes_; }

  // Waits until what was sent has left the machine (the peer acknowledged it) or bytes
  // arrive to be read, whichever comes first. Bytes that arrive while some of what was sent
  // is still unacknowledged give Answered: the peer spoke before it had everything. Where
  // the system cannot tell, returns Unknown at once. A queue that does not shrink for the
  // send's limit (SendTimeout) is a send that stalls: the socket error 10060.
  TNetSendState WaitUntilSent();
  // Takes what has arrived into the receive buffer, without waiting (over TLS not even
  // for the rest of a record), and answers whether the buffer holds bytes. A close by the
  // peer is noted; an error of the connection raises.
  bool TakeArrivedBytes();

  // One receive into the receive buffer: the byte count, 0 when the peer closed, -1 on a
  // time-out that is not raised.
  int ReadFromSource(bool raiseIfDisconnected = true, int timeout = kNetTimeoutDefault, bool raiseOnTimeout = true);

  // A moment after which every receive times out, however much arrives before it (none:
  // only the time-outs of the calls apply).
  using Deadline = std::optional<std::chrono::steady_clock::time_point>;
  void SetReadDeadline(Deadline deadline) { readDeadline_ = deadline; }
  const Deadline& ReadDeadline() const { return readDeadline_; }

  // A line up to `terminator` (empty: LF), without it; with LF a CR before it is dropped
  // too. Bytes above 127 read as "?". On a time-out: empty text and LineTimedOut().
  std::string ReadLine(std::string_view terminator = {}, int timeout = kNetTimeoutDefault,
                       std::optional<int> maxLength = std::nullopt);
  bool LineTimedOut() const { return lineTimedOut_; }
  bool LineSplit() const { return lineSplit_; }

  // Exactly `byteCount` bytes into `stream` (null: discarded); with untilClose, or a
  // negative count, everything until the peer closes; with -1 and not untilClose, the
  // count is first read from the wire (4 bytes, 8 with LargeStream, network order).
  void ReadToStream(TStream* stream, std::int64_t byteCount = -1, bool untilClose = false);
  // Everything up to and including `sequence` into `stream`; the rest stays buffered.
  // When the peer closes first, what arrived is delivered without an error.
  void ReadToStreamUntil(TStream* stream, std::string_view sequence);

  void SendBytes(std::string_view bytes);
  // Text in the program's code page, sent 7-bit: characters above 127 become "?".
  void SendText(std::string_view text) { SendBytes(EncodeWireText(text)); }
  void SendLine(std::string_view text);
  // The lines leave in one piece: they use a batch of their own if none is active.
  void SendLines(const std::vector<std::string>& lines);
  // size 0: the whole stream from its start; negative: from the position to the end;
  // positive: that many bytes from the position. Sent in SendBufferSize pieces. With
  // `whenArrived`, what is readable is looked at before each piece and while a send waits
  // for room: bytes that arrived are handed to it, and a false answer ends the sending
  // there; the result then is false. Without it the receiving side is never looked at.
  bool SendStream(TStream& stream, std::int64_t size = 0, const TNetArrivalCheck& whenArrived = {});

  void BeginSendBatch(int threshold = -1);
  void FlushSendBatch(std::int64_t count = -1);
  // Sends what is batched and ends batching, also when sending fails.
  void EndSendBatch();
  void CancelSendBatch() { batch_.reset(); }
  bool SendBatchActive() const { return batch_ != nullptr; }

  // The 7-bit wire text encoding.
  static std::string EncodeWireText(std::string_view text);
  static std::string DecodeWireText(std::string_view bytes);

 protected:
  // Whether a source (socket) is allocated.
  virtual bool SourceIsAvailable() const = 0;
  // Closes the source itself (the socket), leaving the handler's other state alone.
  virtual void CloseSource() = 0;
  // Waits for readability; timeoutMs below 0 waits without limit, 0 only polls.
  virtual bool Readable(int timeoutMs) = 0;
  // Waits for the source to be ready for `events` (platform::kSocketReadable,
  // kSocketWritable): the events found, 0 when the time ran out, -1 on failure.
  virtual int WaitForSource(int events, int timeoutMs) = 0;
  // The primitives: a byte count, 0 for a close by the peer, negative on failure;
  // receiving may also give kNetReceivedNoData.
  virtual long ReceiveSome(char* buffer, std::size_t size) = 0;
  virtual long SendSome(const char* data, std::size_t count) = 0;
  // Bytes sent and not yet acknowledged by the peer; nothing when it cannot be told.
  virtual std::optional<std::size_t> UnsentBytes() const { return std::nullopt; }
  // The bytes handed to the source since it was opened, with what a layer below added
  // (TLS records): a rate limit charges these.
  virtual std::uint64_t WrittenToSource() const = 0;
  // After a negative primitive result: the error taken as a result (10035, 10053, 10054,
  // 10058, 10060), or raises any other.
  virtual int CheckForError(long result) = 0;
  // Whether a send that would block waits for bytes to read rather than for room (a TLS
  // session may need a record from the peer first).
  virtual bool SendWaitsForRead() const { return false; }
  // How long a send may stall when neither SendTimeout nor ReadTimeout says (0: no limit).
  virtual int SendStallDefault() const { return 0; }
  [[noreturn]] virtual void RaiseError(int error) = 0;

  // Connects the source to Host:Port; called by Open when both are set.
  virtual void ConnectClient() {}

 private:
  class SendProgress;
  // Sends all of `data`; with `whenArrived`, stops when it answers false (see SendStream)
  // and returns false.
  bool WriteDirect(const char* data, std::size_t count, const TNetArrivalCheck* whenArrived = nullptr);
  // Waits until a send that would block can go on (true), or `whenArrived` ends it (false).
  bool WaitForRoom(SendProgress& progress, const TNetArrivalCheck* whenArrived);
  // How much of `count` bytes the rate limit lets go now, waiting for its budget first
  // (watching for arrivals as WaitForRoom does); 0 when `whenArrived` ended the sending.
  std::size_t WaitForBudget(std::size_t count, const TNetArrivalCheck* whenArrived);
  // The limit of a send that makes no progress, in milliseconds; 0: none.
  int SendStallLimit() const;
  // A send that fails because the peer closed or reset the connection: the peer may
  // have answered first (an HTTP server refusing a body it will not read), and closing
  // the socket would discard that answer, so what is readable now joins the receive
  // buffer. Bounded; it takes what is there and does not wait for more. `quiet`: the
  // receive errors are dropped (the send's own error is the one to report).
  void KeepArrivedBytes(bool quiet = true);
  void WriteToStream(TStream* stream, std::size_t count);
  void ReadExact(std::size_t count);

  // Takes the bytes of a receive into the buffer (none for a failure) and counts them.
  void CommitReceive(long received);

  TNetBuffer receiveBuffer_;
  std::int64_t receivedBytes_ = 0;
  std::unique_ptr<TNetBuffer> batch_;
  int batchThreshold_ = -1;
  bool peerClosed_ = false;
  int closeError_ = 0;  // the socket error a receive ended the connection with; 0 for a close
  bool opened_ = false;
  bool lineTimedOut_ = false;
  bool lineSplit_ = false;
  Deadline readDeadline_;
};

// A read deadline for as long as it lives; the one before it again when it ends, however
// it ends.
class TNetReadDeadlineScope {
 public:
  TNetReadDeadlineScope(TNetIOHandler& io, TNetIOHandler::Deadline deadline) : io_(io), saved_(io.ReadDeadline()) {
    io_.SetReadDeadline(deadline);
  }
  ~TNetReadDeadlineScope() { io_.SetReadDeadline(saved_); }
  TNetReadDeadlineScope(const TNetReadDeadlineScope&) = delete;
  TNetReadDeadlineScope& operator=(const TNetReadDeadlineScope&) = delete;

 private:
  TNetIOHandler& io_;
  TNetIOHandler::Deadline saved_;
};

class TNetIOHandlerSocket : public TNetIOHandler {
 public:
  std::string BoundIP;
  std::uint16_t BoundPort = 0;
  TNetIPVersion IPVersion = TNetIPVersion::Net_IPv4;
  bool UseNagle = true;
  TNetReuseSocket ReuseSocket = TNetReuseSocket::rsOSDependent;

  TNetSocketHandle& Binding() { return binding_; }
  const TNetSocketHandle& Binding() const { return binding_; }

  void Open() override;
  void Close() override;

 protected:
  bool SourceIsAvailable() const override { return binding_.HandleAllocated(); }
  void CloseSource() override { binding_.CloseSocket(); }
  std::optional<std::size_t> UnsentBytes() const override;

 private:
  TNetSocketHandle binding_;
};

class TNetIOHandlerStack : public TNetIOHandlerSocket {
 protected:
  void ConnectClient() override;
  // When the connect must be done by (ConnectTimeout from now), or none.
  Deadline ConnectDeadline() const;
  // Resolves Host and connects the socket to it by `end`.
  void ConnectSocket(const Deadline& end);
  bool Readable(int timeoutMs) override;
  int WaitForSource(int events, int timeoutMs) override;
  long ReceiveSome(char* buffer, std::size_t size) override;
  long SendSome(const char* data, std::size_t count) override;
  int CheckForError(long result) override;
  [[noreturn]] void RaiseError(int error) override;
  std::uint64_t WrittenToSource() const override { return written_; }

 private:
  std::uint64_t written_ = 0;
};

}  // namespace qb
