#include "driver/qvor_main.h"
#include "services/logger.h"
#include "support/exception.h"

namespace qb {

void TQvorMain::UploadFile(const std::string& fileName, const std::string& url) {
  LogMessage(1, "Uploading file \"%s\"", fileName);
  (void)url;
  throw Exception("Uploading is not available in this build");
}

}  // namespace qb
