// A loopback HTTP(S) sink for upload benchmarks: reads the request head, answers an
// "Expect: 100-continue", reads exactly Content-Length body bytes, and only then answers
// 200 and closes. One thread per connection. With --delay-ack it acknowledges the way a
// TCP stack that delays its ACKs does (quick acknowledgement off before every read), so
// that a client whose small writes wait for an ACK (Nagle's algorithm) stalls on it.
//
//   sink --port-file FILE [--tls CERT KEY] [--delay-ack]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

SSL_CTX* g_tls = nullptr;
bool g_delayAck = false;

struct Connection {
  int fd;
  SSL* ssl = nullptr;

  void DelayAcks() const {
    if (!g_delayAck) return;
    const int off = 0;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &off, sizeof off);
  }
  long Read(char* buffer, std::size_t size) {
    DelayAcks();
    if (ssl) return SSL_read(ssl, buffer, static_cast<int>(size));
    return ::recv(fd, buffer, size, 0);
  }
  bool WriteAll(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const long n = ssl ? SSL_write(ssl, text.data() + done, static_cast<int>(text.size() - done))
                         : ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
};

long long HeaderValue(const std::string& head, const char* name) {
  std::string lower = head;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string key = std::string("\n") + name + ":";
  const std::size_t at = lower.find(key);
  if (at == std::string::npos) return -1;
  return std::atoll(head.c_str() + at + key.size());
}

void Serve(int fd) {
  Connection c{fd};
  c.DelayAcks();
  if (g_tls) {
    c.ssl = SSL_new(g_tls);
    SSL_set_fd(c.ssl, fd);
    if (SSL_accept(c.ssl) != 1) {
      SSL_free(c.ssl);
      ::close(fd);
      return;
    }
  }
  std::vector<char> buffer(1 << 20);
  std::string head;
  std::size_t headEnd = std::string::npos;
  while (headEnd == std::string::npos) {
    const long n = c.Read(buffer.data(), buffer.size());
    if (n <= 0) break;
    head.append(buffer.data(), static_cast<std::size_t>(n));
    headEnd = head.find("\r\n\r\n");
  }
  if (headEnd != std::string::npos) {
    long long left = HeaderValue(head, "content-length");
    left -= static_cast<long long>(head.size() - headEnd - 4);
    if (head.find("100-continue") != std::string::npos && left > 0) c.WriteAll("HTTP/1.1 100 Continue\r\n\r\n");
    while (left > 0) {
      const long n = c.Read(buffer.data(), buffer.size());
      if (n <= 0) break;
      left -= n;
    }
    if (left <= 0) c.WriteAll("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  }
  if (c.ssl) {
    SSL_shutdown(c.ssl);
    SSL_free(c.ssl);
  }
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  std::string portFile;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--delay-ack")) {
      g_delayAck = true;
    } else if (!std::strcmp(argv[i], "--port-file") && i + 1 < argc) {
      portFile = argv[++i];
    } else if (!std::strcmp(argv[i], "--tls") && i + 2 < argc) {
      g_tls = SSL_CTX_new(TLS_server_method());
      if (SSL_CTX_use_certificate_file(g_tls, argv[i + 1], SSL_FILETYPE_PEM) != 1 ||
          SSL_CTX_use_PrivateKey_file(g_tls, argv[i + 2], SSL_FILETYPE_PEM) != 1) {
        std::fprintf(stderr, "cannot load certificate\n");
        return 1;
      }
      i += 2;
    }
  }
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 512) != 0) {
    std::perror("listen");
    return 1;
  }
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  if (!portFile.empty()) {
    std::ofstream(portFile + ".tmp") << ntohs(address.sin_port);
    std::rename((portFile + ".tmp").c_str(), portFile.c_str());
  }
  for (;;) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::thread(Serve, fd).detach();
  }
}
