#include "net/net_tcp_client.h"

namespace qb {

TNetTCPConnection::~TNetTCPConnection() {
  if (ioHandler_) ioHandler_->Close();
}

void TNetTCPConnection::SetIOHandler(std::unique_ptr<TNetIOHandler> handler) {
  if (ioHandler_) ioHandler_->Close();
  ioHandler_ = std::move(handler);
}

bool TNetTCPConnection::IsConnected() const { return ioHandler_ && ioHandler_->Connected(); }

void TNetTCPConnection::CloseConnection() {
  if (ioHandler_ && ioHandler_->Opened()) ioHandler_->Close();
}

void TNetTCPConnection::CheckPeerClosed(bool raise, bool ignoreBuffer) {
  if (ioHandler_) {
    ioHandler_->CheckPeerClosed(raise, ignoreBuffer);
  } else if (raise) {
    throw ENetConnClosedGracefully("Connection Closed Gracefully.");
  }
}

void TNetTCPClientCustom::OpenConnection() {
  if (IsConnected()) throw ENetAlreadyConnected("Already connected.");
  if (Host.empty()) throw ENetHostRequired("A Host is required");
  if (Port == 0) throw ENetPortRequired("A Port is required");
  if (!ioHandler_) ioHandler_ = std::make_unique<TNetIOHandlerStack>();
  TNetIOHandler& handler = *ioHandler_;
  handler.Port = Port;
  handler.Host = Host;
  handler.ConnectTimeout = ConnectTimeout;
  handler.ReadTimeout = ReadTimeout;
  if (auto* socket = dynamic_cast<TNetIOHandlerSocket*>(&handler)) {
    socket->BoundIP = BoundIP;
    socket->BoundPort = BoundPort;
    socket->IPVersion = IPVersion;
    socket->ReuseSocket = ReuseSocket;
    socket->UseNagle = UseNagle;
  }
  try {
    handler.Open();
  } catch (...) {
    handler.Close();
    throw;
  }
}

}  // namespace qb
