// A TCP client with the TLS handler, as the tests of the TLS handler make and connect it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "net/net_ssl_openssl.h"
#include "net/net_tcp_client.h"
#include "support/format.h"

namespace qb::test {

struct Client {
  TNetTCPClient tcp;
  TNetSSLIOHandlerSocketOpenSSL* tls = nullptr;
  TNetIOHandler& io() { return *tcp.IOHandler(); }
};

// A client with a TLS handler for 127.0.0.1:port, configured but not connected.
inline std::unique_ptr<Client> MakeClient(std::uint16_t port, bool tls = true) {
  auto client = std::make_unique<Client>();
  auto handler = std::make_unique<TNetSSLIOHandlerSocketOpenSSL>();
  client->tls = handler.get();
  handler->SetClearTextMode(!tls);
  handler->TargetUri = Format("%s://127.0.0.1:%d/upload", tls ? "https" : "http", static_cast<int>(port));
  client->tcp.SetIOHandler(std::move(handler));
  client->tcp.Host = "127.0.0.1";
  client->tcp.Port = port;
  return client;
}

// The class name and message of the error that connecting raises.
inline std::pair<std::string, std::string> ConnectError(Client& client) {
  try {
    client.tcp.OpenConnection();
  } catch (const Exception& e) {
    return {e.ClassName(), e.Message()};
  }
  return {"", "connected"};
}

}  // namespace qb::test
