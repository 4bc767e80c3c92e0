// The program's main object: the five configuration values and the operations of one run.
#pragma once

#include <string>

#include "support/ref_counted.h"
#include "xml/xml_document.h"

namespace qb {

class TQvorMain {
 public:
  std::string ConfigFolder;  // folder of the ledger, ending in the path delimiter once loaded
  std::string SourceFolder;  // folder whose entries are uploaded, ending in the delimiter
  std::string UploadAT;      // URL that files are posted to
  std::string Username;      // basic authentication, may be empty
  std::string Password;

  // Reads the configuration file into the five fields, creates the ledger's folder and
  // hands the loaded document back to the caller, who holds it for the run.
  Ref<TXmlDocument> LoadConfiguration(const std::string& fileName);
  // Stores the ledger's folder and creates it with every missing parent; the outcome of
  // the creation is left to the first ledger write to report.
  void SetConfigFolder(const std::string& folder);
};

}  // namespace qb
