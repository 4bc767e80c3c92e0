// Implementation details: every upload builds its own client, TLS-capable handler and
// body and frees them before returning; only the TLS context and the last session carry
// over to the next file, so that its connection resumes the session instead of paying a
// full handshake (and a new context) for every small file. The body is freed before the client; that closes the file. POSIX cannot keep
// other writers out of the file while it is sent, so its identity, size and modification
// time are compared afterwards: a file that changed, or another file moved into its
// place, is not recorded and goes again whole next time. The answer's status decides;
// its body is read only as far as kAnswerBodyLimit and dropped as it arrives, so no
// server can make the program hold what it sends.
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

void TQvorMain::UploadFile(const std::string& fileName, const std::string& url) {
  LogMessage(1, "Uploading file \"%s\"", fileName);
  TNetHTTP client;
  auto handler = std::make_unique<TNetSSLIOHandlerSocketOpenSSL>();
  // Without it the transport refuses bodies of 2 GiB and more, and such a file would
  // stay first in the queue for good, holding back every file after it.
  handler->LargeStream = true;
  if (!tlsSessions_) tlsSessions_ = std::make_shared<TNetSSLSessionCache>();
  handler->SessionCache = tlsSessions_;
  if (ServerOptions.VerifyCertificate) {
    handler->SSLOptions.VerifyMode = {TNetSSLVerifyMode::sslvrfPeer};
    handler->SSLOptions.VerifyHostName = true;
    handler->SSLOptions.RootCertFile = ServerOptions.CertificateFile;
    handler->SSLOptions.TrustSystemStore = ServerOptions.CertificateFile.empty();
  }
  client.SetIOHandler(std::move(handler));
  if (ServerOptions.ConnectTimeout > 0) client.ConnectTimeout = ServerOptions.ConnectTimeout;
  if (ServerOptions.ReadTimeout > 0) client.ReadTimeout = ServerOptions.ReadTimeout;
  client.AnswerTimeout = ServerOptions.AnswerTimeout;
  // The head and the body are separate writes: with Nagle's algorithm the body would wait
  // for the ACK of the head, which a server delays by up to 200 ms.
  client.UseNagle = false;
  client.Request.BasicAuthentication = !Username.empty() || !Password.empty();
  client.Request.Username = Username;
  client.Request.Password = Password;

  TNetMultiPartFormDataStream body;
  const TNetFormDataField& part = body.AppendFilePart("file", fileName, "");
  const auto* file = dynamic_cast<const platform::TFileStream*>(part.PartStream());
  const std::optional<platform::FileStatus> opened = file ? file->Status() : platform::GetFileStatus(fileName);

  client.BodyByteLimit = kAnswerBodyLimit;
  client.PostForm(url, body, nullptr);
  // Only a 2xx answer means the server took the file; PostForm also returns after a 101.
  const int status = client.Response.StatusCode();
  if (status < 200 || status > 299) RaiseHTTPProtocolError(client.Response, {});

  const auto now = platform::GetFileStatus(fileName);
  if (!now || !opened || !SameFile(*now, *opened)) {
    throw EQbFileChangedError(
        Format("File \"%s\" changed while it was being uploaded", platform::ExpandFileName(fileName)));
  }
}

}  // namespace qb
