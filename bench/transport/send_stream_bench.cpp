// Sends N bytes from a stream to a loopback sink and prints how long the sink took to
// receive them (from the accepted connection to the last byte), in seconds.
//   send_stream_bench ours plain|tls BYTES   SendStream of the TLS-capable handler
//   send_stream_bench raw plain|tls BYTES    a plain write loop / an SSL_write loop, 32768 bytes a call,
//                                            always of the same bytes
//   send_stream_bench rawstream plain|tls BYTES  the same loop, each piece read from the stream first
//   send_stream_bench sink plain|tls BYTES   only the sink: prints its port, then the time,
//                                            for an outside client (openssl s_client)
//   send_stream_bench http plain|tls BYTES   the sink as an HTTP server that takes one
//                                            upload of BYTES and answers 200 (for curl -T)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "net/net_ssl_openssl.h"
#include "net/net_tcp_client.h"
#include "support/scripted_peer.h"

namespace {

constexpr std::size_t kPiece = 32768;

// A stream of `size` bytes of a repeating pattern, held in one small buffer.
class PatternStream : public qb::TStream {
 public:
  explicit PatternStream(std::int64_t size) : size_(size), pattern_(1 << 16) {
    for (std::size_t i = 0; i < pattern_.size(); ++i) pattern_[i] = static_cast<char>(i * 31);
  }
  std::size_t Read(void* buffer, std::size_t count) override {
    count = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(count), size_ - position_));
    char* out = static_cast<char*>(buffer);
    for (std::size_t done = 0; done < count;) {
      const std::size_t at = static_cast<std::size_t>(position_ % static_cast<std::int64_t>(pattern_.size()));
      const std::size_t n = std::min(count - done, pattern_.size() - at);
      std::memcpy(out + done, pattern_.data() + at, n);
      done += n;
      position_ += static_cast<std::int64_t>(n);
    }
    return count;
  }
  std::size_t Write(const void*, std::size_t) override { return 0; }
  std::int64_t Seek(std::int64_t offset, qb::SeekOrigin origin) override {
    position_ = origin == qb::SeekOrigin::Beginning ? offset
                : origin == qb::SeekOrigin::End     ? size_ + offset
                                                    : position_ + offset;
    return position_;
  }
  const char* Pattern() const { return pattern_.data(); }

 private:
  std::int64_t size_;
  std::int64_t position_ = 0;
  std::vector<char> pattern_;
};

struct Sink {
  double seconds = 0;
  std::size_t received = 0;
  std::unique_ptr<qb::test::ScriptedPeer> peer;

  Sink(bool tls, std::size_t bytes, bool http) {
    auto script = [this, bytes, http](qb::test::PeerConnection& c) {
      const auto start = std::chrono::steady_clock::now();
      if (http) c.ReceiveUntil("\r\n\r\n");
      received = c.Discard(bytes);
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (http) c.Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      c.Close();
    };
    if (tls) {
      peer = std::make_unique<qb::test::ScriptedTlsPeer>(script);
    } else {
      peer = std::make_unique<qb::test::ScriptedPeer>(script);
    }
  }
};

int ConnectRaw(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  return fd;
}

void RunRaw(bool tls, std::uint16_t port, std::size_t bytes, bool fromStream) {
  PatternStream pattern(static_cast<std::int64_t>(bytes));
  std::vector<char> piece(kPiece);
  const char* source = fromStream ? piece.data() : pattern.Pattern();
  const int fd = ConnectRaw(port);
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  if (tls) {
    ctx = SSL_CTX_new(TLS_client_method());
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1) {
      std::fprintf(stderr, "raw: handshake failed\n");
      return;
    }
  }
  for (std::size_t sent = 0; sent < bytes;) {
    std::size_t n = std::min(kPiece, bytes - sent);
    if (fromStream) n = pattern.Read(piece.data(), n);
    const long done = tls ? SSL_write(ssl, source, static_cast<int>(n)) : ::write(fd, source, n);
    if (done <= 0) break;
    sent += static_cast<std::size_t>(done);
  }
  if (ssl) {
    char drain[4096];  // the sink closes once it has everything
    while (SSL_read(ssl, drain, sizeof drain) > 0) {
    }
    SSL_shutdown(ssl);
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  }
  ::close(fd);
}

void RunOurs(bool tls, std::uint16_t port, std::size_t bytes) {
  qb::TNetTCPClient client;
  auto handler = std::make_unique<qb::TNetSSLIOHandlerSocketOpenSSL>();
  handler->SetClearTextMode(!tls);
  handler->TargetUri = "https://127.0.0.1/";
  client.SetIOHandler(std::move(handler));
  client.Host = "127.0.0.1";
  client.Port = port;
  client.OpenConnection();
  PatternStream body(static_cast<std::int64_t>(bytes));
  client.IOHandler()->SendStream(body);
  // Unread bytes (TLS session tickets) would make the close a reset that could cut the
  // stream short: wait for the sink to close first.
  client.IOHandler()->ReadToStream(nullptr, -1, true);
  client.CloseConnection();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s ours|raw|sink plain|tls BYTES\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const bool tls = std::string(argv[2]) == "tls";
  const std::size_t bytes = std::stoull(argv[3]);
  std::signal(SIGPIPE, SIG_IGN);
  Sink sink(tls, bytes, mode == "http");
  try {
    if (mode == "ours") {
      RunOurs(tls, sink.peer->port(), bytes);
    } else if (mode == "raw" || mode == "rawstream") {
      RunRaw(tls, sink.peer->port(), bytes, mode == "rawstream");
    } else {
      std::printf("%u\n", static_cast<unsigned>(sink.peer->port()));
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  const std::string failure = sink.peer->Finish();
  if (!failure.empty() || sink.received != bytes) {
    std::fprintf(stderr, "sink: %s, %zu of %zu bytes\n", failure.c_str(), sink.received, bytes);
    return 1;
  }
  std::printf("%.4f\n", sink.seconds);
  return 0;
}
