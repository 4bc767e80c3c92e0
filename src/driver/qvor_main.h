// The program's main object: the five configuration values and the operations of one run.
#pragma once

#include <string>

namespace qb {

class TQvorMain {
 public:
  std::string ConfigFolder;  // folder of the ledger, ending in the path delimiter once loaded
  std::string SourceFolder;  // folder whose entries are uploaded, ending in the delimiter
  std::string UploadAT;      // URL that files are posted to
  std::string Username;      // basic authentication, may be empty
  std::string Password;
};

}  // namespace qb
