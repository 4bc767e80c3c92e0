// TNetSocketHandle: one stream socket of the transport with its address family, the local
// and peer addresses it is bound and connected to, and a lock that serialises its close
// and connect.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "net/net_stack.h"
#include "platform/socket.h"

namespace qb {

QB_DECLARE_EXCEPTION(ENetSocketHandleError, ENetException);
QB_DECLARE_EXCEPTION(ENetCouldNotBindSocket, ENetSocketHandleError);
QB_DECLARE_EXCEPTION(ENetCannotSetIPVersionWhenConnected, ENetSocketHandleError);
QB_DECLARE_EXCEPTION(ENetConnectTimeout, ENetException);
QB_DECLARE_EXCEPTION(ENetConnectException, ENetException);

class TNetSocketHandle {
 public:
  TNetSocketHandle() = default;
  ~TNetSocketHandle() { CloseSocket(); }
  TNetSocketHandle(const TNetSocketHandle&) = delete;
  TNetSocketHandle& operator=(const TNetSocketHandle&) = delete;

  platform::SocketHandle Handle() const { return handle_; }
  bool HandleAllocated() const { return handle_ != platform::kInvalidSocket; }

  TNetIPVersion IPVersion() const { return ipVersion_; }
  // Raises ENetCannotSetIPVersionWhenConnected while a socket is allocated.
  void SetIPVersion(TNetIPVersion version);

  // Creates a stream socket of the family of IPVersion(); raises the socket error.
  void AllocateSocket();
  // SO_REUSEADDR, then bind (empty address: any; port 0: any). ENetCouldNotBindSocket.
  void Bind(bool reuseAddress, const std::string& address, std::uint16_t port);
  void SetNoDelay(bool on);

  void SetPeer(const std::string& address, std::uint16_t port);
  // Connects to the peer; with `timeoutMs` above 0 at most that long, then the socket is
  // closed and ENetConnectTimeout "Connect timed out." raised. Other failures raise the
  // socket error. Afterwards the local and peer addresses are read back.
  void Connect(int timeoutMs);

  // Shuts the socket down for sending and closes it; nothing when none is allocated.
  void CloseSocket();

  // Ends the connection for good, from any thread: a call blocked on the socket returns
  // with an error, and every later socket is refused with the socket error 10053. The
  // socket stays allocated until the owner closes it, so that no thread can meet its
  // number reused by another socket. Not held up by a connect in progress.
  void Abort();

  const std::string& IP() const { return ip_; }
  std::uint16_t Port() const { return port_; }
  const std::string& PeerIP() const { return peerIp_; }
  std::uint16_t PeerPort() const { return peerPort_; }

 private:
  std::mutex lock_;
  // Taken, after lock_, wherever handle_ changes, and alone by Abort.
  std::mutex abortLock_;
  bool aborted_ = false;
  platform::SocketHandle handle_ = platform::kInvalidSocket;
  TNetIPVersion ipVersion_ = TNetIPVersion::Net_IPv4;
  std::string ip_;
  std::uint16_t port_ = 0;
  std::string peerIp_;
  std::uint16_t peerPort_ = 0;
};

}  // namespace qb
