// The client side of a TCP connection: TNetTCPConnection owns the I/O handler through
// which every byte passes; TNetTCPClientCustom adds the connect settings and
// OpenConnection; TNetTCPClient is the ready-to-use client.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/net_io_handler.h"

namespace qb {

QB_DECLARE_EXCEPTION(ENetAlreadyConnected, ENetException);
QB_DECLARE_EXCEPTION(ENetHostRequired, ENetException);
QB_DECLARE_EXCEPTION(ENetPortRequired, ENetException);

class TNetTCPConnection {
 public:
  TNetTCPConnection() = default;
  virtual ~TNetTCPConnection();
  TNetTCPConnection(const TNetTCPConnection&) = delete;
  TNetTCPConnection& operator=(const TNetTCPConnection&) = delete;

  // The handler, owned by the connection (freeing the connection closes it). Null until
  // set or until the first connect makes a TNetIOHandlerStack.
  TNetIOHandler* IOHandler() const { return ioHandler_.get(); }
  void SetIOHandler(std::unique_ptr<TNetIOHandler> handler);

  bool IsConnected() const;
  // Closes the handler if it is open; nothing otherwise.
  void CloseConnection();
  void CheckPeerClosed(bool raise = true, bool ignoreBuffer = false);

 protected:
  std::unique_ptr<TNetIOHandler> ioHandler_;
};

class TNetTCPClientCustom : public TNetTCPConnection {
 public:
  std::string Host;
  std::uint16_t Port = 0;
  TNetIPVersion IPVersion = TNetIPVersion::Net_IPv4;
  int ConnectTimeout = 0;
  int ReadTimeout = kNetTimeoutInfinite;
  std::string BoundIP;
  std::uint16_t BoundPort = 0;
  bool UseNagle = true;
  TNetReuseSocket ReuseSocket = TNetReuseSocket::rsOSDependent;

  // Connects to Host:Port. ENetAlreadyConnected "Already connected.", ENetHostRequired
  // "A Host is required", ENetPortRequired "A Port is required"; any error of the
  // connect leaves the handler closed.
  virtual void OpenConnection();
};

class TNetTCPClient : public TNetTCPClientCustom {};

}  // namespace qb
