// The buffered byte I/O of a connection. TNetIOHandler holds the receive buffer and the
// send batch and builds every read and write (lines, counted blocks, until-close reads,
// streams) on two primitives that its descendants supply: receive some bytes and send
// some bytes. TNetIOHandlerSocket adds the socket and its settings; TNetIOHandlerStack
// implements the primitives and the connect on the platform sockets.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/net_buffer.h"
#include "net/net_exception.h"
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
  int ReadTimeout = kNetTimeoutInfinite;
  int ConnectTimeout = 0;
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
  // arrive to be read, whichever comes first; where the system cannot tell, returns at
  // once. A queue that does not shrink for `timeout` milliseconds (kNetTimeoutDefault:
  // ReadTimeout; -1 and 0: no limit) is a send that stalls: the socket error 10060.
  void WaitUntilSent(int timeout = kNetTimeoutDefault);

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
  // positive: that many bytes from the position. Sent in SendBufferSize pieces.
  void SendStream(TStream& stream, std::int64_t size = 0);

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
  // The primitives: a byte count, 0 for a close by the peer, negative on failure;
  // receiving may also give kNetReceivedNoData.
  virtual long ReceiveSome(char* buffer, std::size_t size) = 0;
  virtual long SendSome(const char* data, std::size_t count) = 0;
  // Bytes sent and not yet acknowledged by the peer; nothing when it cannot be told.
  virtual std::optional<std::size_t> UnsentBytes() const { return std::nullopt; }
  // After a negative primitive result: the error taken as a result (10053, 10054, 10058,
  // 10060), or raises any other.
  virtual int CheckForError(long result) = 0;
  [[noreturn]] virtual void RaiseError(int error) = 0;

  // Connects the source to Host:Port; called by Open when both are set.
  virtual void ConnectClient() {}

 private:
  void WriteDirect(const char* data, std::size_t count);
  // A send that fails because the peer closed or reset the connection: the peer may
  // have answered first (an HTTP server refusing a body it will not read), and closing
  // the socket would discard that answer, so what is readable now joins the receive
  // buffer. Bounded; it takes what is there and does not wait for more.
  void KeepArrivedBytes();
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

// A read deadline for as long as it lives; none again when it ends, however it ends.
class TNetReadDeadlineScope {
 public:
  TNetReadDeadlineScope(TNetIOHandler& io, TNetIOHandler::Deadline deadline) : io_(io) {
    io_.SetReadDeadline(deadline);
  }
  ~TNetReadDeadlineScope() { io_.SetReadDeadline(std::nullopt); }
  TNetReadDeadlineScope(const TNetReadDeadlineScope&) = delete;
  TNetReadDeadlineScope& operator=(const TNetReadDeadlineScope&) = delete;

 private:
  TNetIOHandler& io_;
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
  long ReceiveSome(char* buffer, std::size_t size) override;
  long SendSome(const char* data, std::size_t count) override;
  int CheckForError(long result) override;
  [[noreturn]] void RaiseError(int error) override;
};

}  // namespace qb
