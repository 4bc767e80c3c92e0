// The platform's texts for the errors that tests provoke, as they end messages such as
// "Cannot open file "%s". %s" (strerror on POSIX, the system's message on Windows).
#pragma once

#include <string>

namespace qb::test {

std::string MissingFileText();    // a file that does not exist, in a folder that does
std::string MissingFolderText();  // a path through a folder that does not exist
std::string FolderAsFileText();   // a folder opened as a file
std::string InvalidNameText();    // a path holding a 0 byte
std::string InUseText();          // a file that another process holds for writing

// Whether a connection reset by the peer reaches a reader as the end of the stream rather
// than as error 10054: so under Wine, whose server takes the socket's error first.
bool ResetReadsAsEndOfStream();

}  // namespace qb::test
