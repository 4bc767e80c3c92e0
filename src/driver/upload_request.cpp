// Implementation details: the run keeps one client, and with it the connection, the TLS
// context and the last TLS session: the client reuses the connection when the server's
// last answer kept it (every request offers keep-alive), and otherwise connects anew,
// resuming the session; a server that sends bytes on an idle connection, which no request
// asked for, has every later file of the run go on a new connection (one warning line),
// so that such bytes can never pass for the answer to a file. The wire is that of one
// client per file: HTTP/1.0 with "Connection: keep-alive" (with HttpVersion 1.1, HTTP/1.1
// without it), the Basic credentials on every request, and no cookies sent back. Each
// upload has its own body, freed before the call returns; that closes the file. POSIX
// cannot keep other writers out of the file while it is sent, so its identity, size and
// modification time are compared afterwards: a file that changed, or another file moved
// into its place, is not recorded and goes again whole next time. The answer's status
// decides; its body is read only as far as kAnswerBodyLimit and dropped as it arrives,
// so no server can make the program hold what it sends. A failed upload ends the run,
// and its connection is closed at once, as without a kept client. Uploads that run at
// once each have a client made the same way, sharing only the TLS context and session,
// the rate limit's budget and whether connections are still kept; sending touches nothing
// else but its client and its own body.
#include "driver/qvor_main.h"
#include "http/header_info.h"
#include "http/http_client.h"
#include "http/multipart_form_data.h"
#include "net/net_ssl_openssl.h"
#include "platform/files.h"
#include "services/logger.h"
#include "support/format.h"

namespace qb {
namespace {

constexpr std::int64_t kAnswerBodyLimit = 64 * 1024;

bool SameFile(const platform::FileStatus& a, const platform::FileStatus& b) {
  return a.size == b.size && a.modifiedNs == b.modifiedNs && a.device == b.device && a.fileId == b.fileId;
}

}  // namespace

TNetHTTP& TQvorMain::UploadClient() {
  if (!client_) client_ = MakeUploadClient(std::make_shared<TNetSSLSessionCache>());
  return *client_;
}

std::unique_ptr<TNetHTTP> TQvorMain::MakeUploadClient(std::shared_ptr<TNetSSLSessionCache> cache) const {
  auto client = std::make_unique<TNetHTTP>();
  auto handler = std::make_unique<TNetSSLIOHandlerSocketOpenSSL>();
  // Without it the transport refuses bodies of 2 GiB and more, and such a file would
  // stay first in the queue for good, holding back every file after it.
  handler->LargeStream = true;
  // Shares the TLS context between connections and resumes the session of the last one.
  handler->SessionCache = std::move(cache);
  if (ServerOptions.VerifyCertificate) {
    handler->SSLOptions.VerifyMode = {TNetSSLVerifyMode::sslvrfPeer};
    handler->SSLOptions.VerifyHostName = true;
    handler->SSLOptions.RootCertFile = ServerOptions.CertificateFile;
    handler->SSLOptions.TrustSystemStore = ServerOptions.CertificateFile.empty();
  }
  // One budget for the run: every connection of it takes its bytes from the same.
  handler->RateLimit = rateLimit_;
  client->SetIOHandler(std::move(handler));
  if (ServerOptions.ConnectTimeout > 0) client->ConnectTimeout = ServerOptions.ConnectTimeout;
  if (ServerOptions.ReadTimeout > 0) client->ReadTimeout = ServerOptions.ReadTimeout;
  client->AnswerTimeout = ServerOptions.AnswerTimeout;
  // The head and the body are separate writes: with Nagle's algorithm the body would wait
  // for the ACK of the head, which a server delays by up to 200 ms.
  client->UseNagle = false;
  // Every request goes as HTTP/1.0 (or, with HttpVersion 1.1, as HTTP/1.1) on the
  // connection that is open, if it may serve.
  client->ProtocolVersion = ServerOptions.Http11 ? pv1_1 : pv1_0;
  client->HTTPOptions.Include(hoKeepOrigProtocol);
  client->AllowCookies = false;
  client->BodyByteLimit = kAnswerBodyLimit;
  client->Request.BasicAuthentication = !Username.empty() || !Password.empty();
  client->Request.Username = Username;
  client->Request.Password = Password;
  // Through a proxy the requests are the same; only the proxy sees its credentials.
  client->ProxyParams.ProxyServer = ServerOptions.ProxyHost;
  client->ProxyParams.ProxyPort = ServerOptions.ProxyPort;
  client->ProxyParams.ProxyUsername = ServerOptions.ProxyUsername;
  client->ProxyParams.ProxyPassword = ServerOptions.ProxyPassword;
  client->ProxyParams.BasicAuthentication =
      !ServerOptions.ProxyUsername.empty() || !ServerOptions.ProxyPassword.empty();
  // The one line an upload on a thread of its own may write, once for the run; the log
  // keeps each line whole.
  client->OnStrayBytes = [keep = keepConnections_](TNetCustomHTTP&) {
    if (keep->exchange(false)) {
      LogMessage(3, "Bytes arrived on an idle connection: every later file goes on a new connection");
    }
  };
  return client;
}

void TQvorMain::ConnectToServer() {
  CheckUploadUrl(UploadAT);
  UploadClient().Connect(UploadAT);
}

void TQvorMain::UploadFile(const std::string& fileName, const std::string& url) {
  LogMessage(1, "Uploading file \"%s\"", fileName);
  SendFile(UploadClient(), fileName, url, ServerOptions.KeepConnection && *keepConnections_);
}

void TQvorMain::SendFile(TNetHTTP& client, const std::string& fileName, const std::string& url, bool keepConnection) {
  try {
    TNetMultiPartFormDataStream body;
    const TNetFormDataField& part = body.AppendFilePart("file", fileName, "");
    const auto* file = dynamic_cast<const platform::TFileStream*>(part.PartStream());
    const std::optional<platform::FileStatus> opened = file ? file->Status() : platform::GetFileStatus(fileName);

    client.PostForm(url, body, nullptr);
    // Only a 2xx answer means the server took the file; PostForm also returns after a 101.
    const int status = client.Response.StatusCode();
    if (status < 200 || status > 299) RaiseHTTPProtocolError(client.Response, {});

    const auto now = platform::GetFileStatus(fileName);
    if (!now || !opened || !SameFile(*now, *opened)) {
      throw EQbFileChangedError(
          Format("File \"%s\" changed while it was being uploaded", platform::ExpandFileName(fileName)));
    }
  } catch (...) {
    client.CloseConnection();
    throw;
  }
  if (!keepConnection) client.CloseConnection();
}

}  // namespace qb
