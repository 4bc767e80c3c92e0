// The store on POSIX is the mime.types file that distributions install.
#include "platform/mime_store.h"

namespace qb::platform {

std::string DefaultMimeStorePath() { return "/etc/mime.types"; }

std::vector<MimeAssociation> ReadMimeAssociations(const std::string& path) { return ReadMimeTypesFile(path); }

}  // namespace qb::platform
