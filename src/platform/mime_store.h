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

// Where the store is read from: "/etc/mime.types" on POSIX, "HKEY_CLASSES_ROOT" (the
// registry) on Windows. Tests point it at a file or registry key of their own; the setting
// holds for the whole process.
std::string MimeStorePath();
void SetMimeStorePath(std::string path);
// The platform's own store, which MimeStorePath gives until it is set.
std::string DefaultMimeStorePath();

// Every association of the store at `path`, in the store's order (a later pair for the
// same extension follows an earlier one). A store that is missing or cannot be read
// yields nothing, silently: the built-in list alone counts then. On Windows a path that
// begins with a registry root ("HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER\Software\...")
// names a registry key; every other path names a file in the mime.types format.
std::vector<MimeAssociation> ReadMimeAssociations(const std::string& path);

// The associations of a file in the mime.types format: one media type per line followed
// by its extensions, "#" starting a comment.
std::vector<MimeAssociation> ReadMimeTypesFile(const std::string& path);

}  // namespace qb::platform
