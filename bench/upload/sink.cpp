// A loopback HTTP(S) sink for upload benchmarks: reads the request head, answers an
// "Expect: 100-continue", reads exactly Content-Length body bytes, and only then answers
// 200. One thread per connection. It closes after the answer unless --keep-alive is
// given and the request asks to keep the connection (HTTP/1.1 without "Connection:
// close", HTTP/1.0 with "Connection: keep-alive"); then it answers "Connection:
// keep-alive" and reads the next request. With --delay-ack it acknowledges the way a TCP
// stack that delays its ACKs does (quick acknowledgement off before every read), so
// that a client whose small writes wait for an ACK (Nagle's algorithm) stalls on it.
// With --stats it keeps counts of connections, requests, TLS handshakes and resumed TLS
// sessions in FILE ("name count" lines), brought up to date before every answer, so
// that a client holding its answer finds itself counted.
// With --time-limit it ends itself after that many seconds.
//
//   sink --port-file FILE [--tls CERT KEY] [--keep-alive] [--delay-ack] [--stats FILE]
//        [--time-limit SECONDS]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

SSL_CTX* g_tls = nullptr;
bool g_delayAck = false;
bool g_keepAlive = false;
int g_statsFd = -1;

struct Counts {
  long connections = 0, requests = 0, handshakes = 0, resumed = 0;
};
std::mutex g_countsLock;
Counts g_counts;

// One write of a fixed width over the last: the file never shrinks, and a reader that
// holds its answer finds the write done. Called with the lock held.
void WriteCounts() {
  if (g_statsFd < 0) return;
  char text[128];
  const int size =
      std::snprintf(text, sizeof text, "connections %12ld\nrequests %12ld\nhandshakes %12ld\nresumed %12ld\n",
                    g_counts.connections, g_counts.requests, g_counts.handshakes, g_counts.resumed);
  if (::pwrite(g_statsFd, text, static_cast<std::size_t>(size), 0) != size) std::perror("stats");
}

void Count(long Counts::*field) {
  const std::lock_guard lock(g_countsLock);
  ++(g_counts.*field);
  WriteCounts();
}

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

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string HeaderText(const std::string& lowerHead, const char* name) {
  const std::string key = std::string("\n") + name + ":";
  const std::size_t at = lowerHead.find(key);
  if (at == std::string::npos) return {};
  const std::size_t from = at + key.size();
  return lowerHead.substr(from, lowerHead.find("\r\n", from) - from);
}

bool KeepsConnection(const std::string& lowerHead) {
  const std::string connection = HeaderText(lowerHead, "connection");
  const bool http10 = lowerHead.substr(0, lowerHead.find("\r\n")).find("http/1.0") != std::string::npos;
  return http10 ? connection.find("keep-alive") != std::string::npos : connection.find("close") == std::string::npos;
}

void Serve(int fd) {
  Connection c{fd};
  // Each answer is one write; with Nagle's algorithm it would wait for the ACK of the
  // session tickets sent before it, which the client may delay by 40 ms.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  c.DelayAcks();
  Count(&Counts::connections);
  if (g_tls) {
    c.ssl = SSL_new(g_tls);
    SSL_set_fd(c.ssl, fd);
    if (SSL_accept(c.ssl) != 1) {
      SSL_free(c.ssl);
      ::close(fd);
      return;
    }
    Count(&Counts::handshakes);
    if (SSL_session_reused(c.ssl)) Count(&Counts::resumed);
  }
  std::vector<char> buffer(1 << 20);
  std::string pending;  // what was read past the end of the last request
  for (bool keep = true; keep;) {
    std::size_t headEnd;
    while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
      const long n = c.Read(buffer.data(), buffer.size());
      if (n <= 0) break;
      pending.append(buffer.data(), static_cast<std::size_t>(n));
    }
    if (headEnd == std::string::npos) break;
    // In lower case, from the request line to the "\r\n" that ends the last header.
    const std::string head = Lower(pending.substr(0, headEnd + 2));
    pending.erase(0, headEnd + 4);
    const std::string length = HeaderText(head, "content-length");
    long long left = length.empty() ? 0 : std::atoll(length.c_str());
    const long long buffered = std::min(left, static_cast<long long>(pending.size()));
    pending.erase(0, static_cast<std::size_t>(buffered));
    left -= buffered;
    if (head.find("100-continue") != std::string::npos && left > 0) c.WriteAll("HTTP/1.1 100 Continue\r\n\r\n");
    while (left > 0) {
      const long n = c.Read(buffer.data(), buffer.size());
      if (n <= 0) break;
      if (n > left) pending.append(buffer.data() + left, static_cast<std::size_t>(n - left));
      left -= std::min(static_cast<long long>(n), left);
    }
    if (left > 0) break;
    keep = g_keepAlive && KeepsConnection(head);
    Count(&Counts::requests);
    if (!c.WriteAll(keep ? "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: keep-alive\r\n\r\nok"
                         : "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")) {
      break;
    }
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
    } else if (!std::strcmp(argv[i], "--keep-alive")) {
      g_keepAlive = true;
    } else if (!std::strcmp(argv[i], "--stats") && i + 1 < argc) {
      g_statsFd = ::open(argv[++i], O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (g_statsFd < 0) {
        std::perror(argv[i]);
        return 1;
      }
      WriteCounts();
    } else if (!std::strcmp(argv[i], "--time-limit") && i + 1 < argc) {
      const int seconds = std::atoi(argv[++i]);
      std::thread([seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        std::fprintf(stderr, "sink: time limit of %d s reached\n", seconds);
        std::_Exit(0);
      }).detach();
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
