// The program's main object: the five configuration values and the operations of one run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "support/exception.h"
#include "support/ref_counted.h"
#include "xml/xml_document.h"

namespace qb {

class LedgerQueue;
class TNetHTTP;
class TNetSSLSessionCache;

// A file that was written to, replaced or removed while it was being uploaded.
QB_DECLARE_EXCEPTION(EQbFileChangedError, Exception);

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
  // How many uploads run at once, each on a connection of its own (1 to
  // kMaximumConnections); 1 sends one file after another.
  int Connections = 1;
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

  // Reads the configuration file into the five fields, creates the ledger's folder and
  // hands the loaded document back to the caller, who holds it for the run.
  Ref<TXmlDocument> LoadConfiguration(const std::string& fileName);
  // Stores the ledger's folder and creates it with every missing parent; the outcome of
  // the creation is left to the first ledger write to report.
  void SetConfigFolder(const std::string& folder);

  // One step of the queue: lists the source folder, drops what the ledger names, uploads
  // the first file left and records it in the ledger. Returns the number of files that
  // were queued at the start of the step; 0 means nothing was left to upload. What the
  // run learnt of the folder and the ledger is kept for the next step.
  std::int32_t ProcessQueueStep();
  // Posts one file to `url` as a multipart/form-data body with the file part "file".
  void UploadFile(const std::string& fileName, const std::string& url);
  // The queue with ServerOptions.Connections uploads at once, until nothing is left to
  // send: this thread alone lists, claims, records and logs; each upload runs on a thread
  // of its own with a client of its own. The first error stops new uploads; those in
  // flight end (the accepted ones recorded) or are cut off after a grace, and then the
  // error is raised.
  void ProcessQueueInParallel();

 private:
  TNetHTTP& UploadClient();
  // A client with the run's settings and connection options; `cache` is the TLS context
  // and session that the run's clients share.
  std::unique_ptr<TNetHTTP> MakeUploadClient(std::shared_ptr<TNetSSLSessionCache> cache) const;
  // Posts the file on `client` and checks the answer and the file afterwards: what
  // UploadFile does after its log line. Touches nothing but its arguments, so clients
  // of their own may send on several threads at once.
  static void SendFile(TNetHTTP& client, const std::string& fileName, const std::string& url, bool keepConnection);

  std::unique_ptr<LedgerQueue> queue_;  // made by the first step, from the folders then set
  // The run's client: made at the first upload and kept with its connection, its TLS
  // context and its last TLS session, so that the next file goes where the last one went.
  std::unique_ptr<TNetHTTP> client_;
};

// The ledger's file names in the configuration folder.
inline constexpr const char* kLedgerFileName = "00000000.LST";
inline constexpr const char* kLedgerTempFileName = "00000000.TMP";

}  // namespace qb
