// The operating system's store of file-name associations: which media type a file
// extension stands for. The MIME table joins it with its built-in list, the store winning.
#pragma once

#include <string>
#include <vector>

namespace qb::platform {

struct MimeAssociation {
  std::string extension;  // as the store writes it, without a leading "."
  std::string mediaType;  // as the store writes it
};

// Where the store is read from ("/etc/mime.types" on POSIX). Tests point it at a file of
// their own; the setting holds for the whole process.
std::string MimeStorePath();
void SetMimeStorePath(std::string path);

// Every association of the store at `path`, in the store's order (a later pair for the
// same extension follows an earlier one). A store that is missing or cannot be read
// yields nothing, silently: the built-in list alone counts then.
std::vector<MimeAssociation> ReadMimeAssociations(const std::string& path);

}  // namespace qb::platform
