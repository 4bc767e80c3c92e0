#include "net/net_socket_handle.h"

namespace qb {

void TNetSocketHandle::SetIPVersion(TNetIPVersion version) {
  if (version == ipVersion_) return;
  if (HandleAllocated()) throw ENetCannotSetIPVersionWhenConnected("Cannot change IPVersion when connected");
  ipVersion_ = version;
}

void TNetSocketHandle::AllocateSocket() {
  CloseSocket();
  TNetStack::Instance();
  const platform::SocketHandle handle = platform::OpenStreamSocket(SocketFamilyOf(ipVersion_));
  if (handle == platform::kInvalidSocket) TNetStack::RaiseLastSocketError();
  {
    std::lock_guard guard(lock_);
    std::lock_guard abortGuard(abortLock_);
    if (!aborted_) {
      handle_ = handle;
      return;
    }
  }
  platform::ShutdownAndCloseSocket(handle);
  TNetStack::RaiseSocketError(platform::kSocketErrorConnectionAborted);
}

void TNetSocketHandle::Bind(bool reuseAddress, const std::string& address, std::uint16_t port) {
  if (!platform::SetReuseAddress(handle_, reuseAddress)) TNetStack::RaiseLastSocketError();
  if (!platform::BindSocket(handle_, SocketFamilyOf(ipVersion_), address, port)) {
    throw ENetCouldNotBindSocket("Could not bind socket.");
  }
  platform::LocalAddress(handle_, ip_, port_);
}

void TNetSocketHandle::SetNoDelay(bool on) {
  if (!platform::SetNoDelay(handle_, on)) TNetStack::RaiseLastSocketError();
}

void TNetSocketHandle::SetPeer(const std::string& address, std::uint16_t port) {
  peerIp_ = address;
  peerPort_ = port;
}

void TNetSocketHandle::Connect(int timeoutMs) {
  platform::ConnectResult result;
  {
    std::lock_guard guard(lock_);
    result = platform::ConnectSocket(handle_, SocketFamilyOf(ipVersion_), peerIp_, peerPort_, timeoutMs);
  }
  if (result == platform::ConnectResult::TimedOut) {
    CloseSocket();
    throw ENetConnectTimeout("Connect timed out.");
  }
  if (result == platform::ConnectResult::Failed) TNetStack::RaiseLastSocketError();
  platform::LocalAddress(handle_, ip_, port_);
  platform::PeerAddress(handle_, peerIp_, peerPort_);
}

void TNetSocketHandle::CloseSocket() {
  std::lock_guard guard(lock_);
  std::lock_guard abortGuard(abortLock_);
  if (handle_ == platform::kInvalidSocket) return;
  platform::ShutdownAndCloseSocket(handle_);
  handle_ = platform::kInvalidSocket;
}

void TNetSocketHandle::Abort() {
  std::lock_guard guard(abortLock_);
  aborted_ = true;
  platform::ShutdownSocketBoth(handle_);
}

}  // namespace qb
