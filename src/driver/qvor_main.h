// The program's main object: the five configuration values and the operations of one run.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "support/exception.h"
#include "support/ref_counted.h"
#include "xml/xml_document.h"

namespace qb {

class LedgerQueue;
class TNetHTTP;
class TNetRateLimit;
class TNetSSLSessionCache;

// A file that was written to, replaced or removed while it was being uploaded.
QB_DECLARE_EXCEPTION(EQbFileChangedError, Exception);
// With SkipRefusedFiles: files were refused (or could not be read) and went unrecorded.
QB_DECLARE_EXCEPTION(EQbFilesRefusedError, Exception);

inline constexpr int kMaximumConnections = 64;

// The optional settings of UploadServer; each default is the behaviour without it.
struct TQvorServerOptions {
  bool VerifyCertificate = false;
  std::string CertificateFile;  // PEM file of the trusted certificates; empty: the system's
  int ConnectTimeout = 0;       // milliseconds; 0: no limit of the program's own
  int ReadTimeout = 0;
  int AnswerTimeout = 0;
  // Whether a connection the server keeps open carries the next file; false: one
  // connection per file.
  bool KeepConnection = true;
  // HttpVersion 1.1: requests as HTTP/1.1, whose connections stay open unless the server
  // says otherwise; false (1.0, the default): HTTP/1.0 with "Connection: keep-alive".
  bool Http11 = false;
  // How many uploads run at once, each on a connection of its own (1 to
  // kMaximumConnections); 1 sends one file after another.
  int Connections = 1;
  // Bytes per second that the run's writes stay under, all connections together; 0: no
  // limit.
  std::uint64_t RateLimit = 0;
  // A file the server refuses (a 4xx but 401, 407, 408 and 429) or the program cannot
  // read is left unrecorded and the run goes on; the refusals end the run once the queue
  // is empty. False: the first of them ends the run, as every error does.
  bool SkipRefusedFiles = false;
  // The HTTP proxy that every request goes through: its host (an IPv6 address without
  // brackets; empty: no proxy), its port, and its Basic credentials.
  std::string ProxyHost;
  std::uint16_t ProxyPort = 0;
  std::string ProxyUsername;
  std::string ProxyPassword;
};

class TQvorMain {
 public:
  TQvorMain();
  ~TQvorMain();
  TQvorMain(TQvorMain&&) noexcept;
  TQvorMain& operator=(TQvorMain&&) noexcept;

  std::string ConfigFolder;  // folder of the ledger, ending in the path delimiter once loaded
  std::string SourceFolder;  // folder whose entries are uploaded, ending in the delimiter
  std::string UploadAT;      // URL that files are posted to
  std::string Username;      // basic authentication, may be empty
  std::string Password;
  TQvorServerOptions ServerOptions;

  // Reads the configuration file into the fields and refuses one that cannot be right:
  // SourceFolder, ConfigFolder or UploadAT missing or empty, a URL no request can go to,
  // a server option that cannot be used, a CertificateFile that cannot be read, a source
  // folder that exists but cannot be listed. Makes and changes nothing; a missing
  // UploadServer is left to LoadConfiguration. Hands the document back.
  Ref<TXmlDocument> ReadConfiguration(const std::string& fileName);
  // The same for a document already loaded from `fileName` (LoadConfigurationDocument).
  void ReadConfiguration(const TXmlDocument& document, const std::string& fileName);
  // ReadConfiguration, then creates the ledger's folder, and then requires UploadServer;
  // hands the loaded document back to the caller, who holds it for the run.
  Ref<TXmlDocument> LoadConfiguration(const std::string& fileName);
  // Stores the ledger's folder and creates it with every missing parent. Raises
  // EFCreateError "Cannot create folder "%s". %s", with the full path and the reason,
  // when it is not a folder afterwards.
  void SetConfigFolder(const std::string& folder);

  // One step of the queue: lists the source folder, drops what the ledger names, uploads
  // the first file left and records it in the ledger. Returns the number of files that
  // were queued at the start of the step; 0 means nothing was left to upload. What the
  // run learnt of the folder and the ledger is kept for the next step.
  std::int32_t ProcessQueueStep();
  // Posts one file to `url` as a multipart/form-data body with the file part "file".
  void UploadFile(const std::string& fileName, const std::string& url);
  // Connects to UploadAT with the client an upload uses, as far as an upload gets before
  // its request (through the proxy, the TLS handshake included), and closes again.
  void ConnectToServer();
  // The queue with ServerOptions.Connections uploads at once, until nothing is left to
  // send: this thread alone lists, claims, records and logs; each upload runs on a thread
  // of its own with a client of its own. The first error stops new uploads; those in
  // flight end (the accepted ones recorded) or are cut off after a grace, and then the
  // error is raised.
  void ProcessQueueInParallel();
  // After the queue ran empty: raises EQbFilesRefusedError when SkipRefusedFiles left
  // files unrecorded.
  void RaiseIfFilesRefused() const;

 private:
  TNetHTTP& UploadClient();
  // A client with the run's settings and connection options; `cache` is the TLS context
  // and session that the run's clients share.
  std::unique_ptr<TNetHTTP> MakeUploadClient(std::shared_ptr<TNetSSLSessionCache> cache) const;
  // Posts the file on `client` and checks the answer and the file afterwards: what
  // UploadFile does after its log line. Touches nothing but its arguments, so clients
  // of their own may send on several threads at once.
  static void SendFile(TNetHTTP& client, const std::string& fileName, const std::string& url, bool keepConnection);
  // The first queued file, named in the step's line that gives the server, after the
  // check of UploadAT that every step makes (with one or several connections).
  std::string AnnounceFirst() const;
  // With SkipRefusedFiles: whether `error` refused the file at `path` alone. If so, logs
  // it, leaves the file out of the queue for the run and counts it; the refusal that makes
  // ten in a row raises EQbFilesRefusedError.
  bool SkipRefusal(const std::string& path, const std::exception_ptr& error);
  [[noreturn]] void RaiseFilesRefused() const;

  std::unique_ptr<LedgerQueue> queue_;  // made by the first step, from the folders then set
  // The run's client: made at the first upload and kept with its connection, its TLS
  // context and its last TLS session, so that the next file goes where the last one went.
  std::unique_ptr<TNetHTTP> client_;
  // Cleared for the rest of the run when the server sent bytes on an idle connection: a
  // server that answers no request may answer the next one with it. Shared by the
  // clients of uploads that run at once.
  std::shared_ptr<std::atomic<bool>> keepConnections_ = std::make_shared<std::atomic<bool>>(true);
  // The budget of RateLimit, which every client of the run shares; none without it.
  std::shared_ptr<TNetRateLimit> rateLimit_;
  // SkipRefusedFiles: the files refused, those since the last one accepted, and the first.
  int refused_ = 0;
  int refusedInARow_ = 0;
  std::string firstRefusedFile_;
  std::string firstRefusal_;  // its status line, or the error of its reading
};

// Loads the configuration file; raises when it cannot be read or has no root element.
Ref<TXmlDocument> LoadConfigurationDocument(const std::string& fileName);

// The elements of a configuration that the program does not read, each as its parent's
// name, "/" and its own ("UploadServer/Pasword"), in document order.
std::vector<std::string> UnknownConfigurationElements(const TXmlDocument& document);

// Raises ENetURIException when the upload URL holds a control character, which would go
// into the request line as it is.
void CheckUploadUrl(const std::string& url);

// The ledger's file names in the configuration folder.
inline constexpr const char* kLedgerFileName = "00000000.LST";
inline constexpr const char* kLedgerTempFileName = "00000000.TMP";

}  // namespace qb
