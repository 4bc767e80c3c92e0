// Files and folders: paths, status, the directory operations the ledger needs, folder
// enumeration, and the file stream that every reader and writer of files goes through.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/stream.h"

namespace qb::platform {

// --- Paths -------------------------------------------------------------------------

// The platform's path delimiter: "\" on Windows, "/" on POSIX.
char PathDelimiter();
// Whether `c` ends a folder part of a path: the delimiter, and on Windows the drive ":".
bool IsPathSeparator(char c);
// Whether file names differ only in letter case name the same file.
bool FileNamesIgnoreCase();

// Index of the last path separator, or npos.
std::size_t LastPathSeparator(std::string_view path);
// Everything after the last separator (the whole path when there is none).
std::string ExtractFileName(std::string_view path);
// The path with the delimiter appended unless it already ends with one.
std::string IncludeTrailingPathDelimiter(std::string_view path);
// The absolute form of a path: relative paths are taken from the current directory and
// "." and ".." are resolved in the text; links are not followed.
std::string ExpandFileName(std::string_view path);

// --- Status and directory operations ---------------------------------------------------

// Entry attributes as the enumeration reports them.
enum : std::uint32_t {
  kAttrReadOnly = 1,
  kAttrHidden = 2,
  kAttrSystem = 4,
  kAttrVolume = 8,
  kAttrDirectory = 16,
  kAttrArchive = 32,
  // A symbolic link (on Windows any reparse point); on POSIX the other bits describe what
  // it leads to.
  kAttrLink = 1024,
};

// Attribute bits of entries that are not files one could read and send: directories
// everywhere, and on POSIX the "system" entries (FIFOs, sockets, devices), which would
// block or fail a reader.
std::uint32_t NonFileAttributes();

struct FileStatus {
  bool isDirectory = false;
  bool isRegular = false;
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0;  // modification time, nanoseconds since the epoch
  // Status change time on POSIX, creation time on Windows: with the modification time it
  // tells a folder or file changed behind the program's back.
  std::int64_t changedNs = 0;
  // Which file it is: device and inode on POSIX, volume serial number and file index on
  // Windows (0 and 0 where the system does not tell).
  std::uint64_t device = 0;
  std::uint64_t fileId = 0;
};

// Status after following links, or of a link itself; nothing when the path does not exist.
// A link's own status is neither a directory nor a regular file.
std::optional<FileStatus> GetFileStatus(const std::string& path, bool followLinks = true);
bool DirectoryExists(const std::string& path);

enum class CreateDirectoryResult { Created, AlreadyExists, Failed };
CreateDirectoryResult CreateDirectory(const std::string& path);

// Renames `from` to `to` only when `to` does not exist.
bool MoveFileNoReplace(const std::string& from, const std::string& to);
// Makes an empty file appear whole at `path` unless something has that name by then: it is
// made as `temp` and renamed to `path` without replacing, and the rename is forced onto the
// disk. `temp` is never opened through a link, as a FIFO or device, or while another
// process holds it. Raises EFCreateError "Cannot create file "%s". %s" with `temp` when it
// cannot be made (also "Not a regular file"), with `path` when the rename cannot be forced
// onto the disk, and, while another process holds `temp` (another run making the same
// file), the EFOpenError that TFileStream::OpenAppendLocked raises while `path` is held.
void CreateEmptyFileVia(const std::string& temp, const std::string& path);
// Removes what stands at `path` when it is there but no regular file: a link (itself,
// never its target), a FIFO, a socket, a device node, an empty folder. Returns whether
// something was removed; a folder that holds anything is left.
bool RemoveUnlessRegularFile(const std::string& path);

struct FolderEntry {
  std::string name;
  std::uint32_t attributes = 0;
};

// Every entry of a folder, "." and ".." included where the platform reports them, in a
// deterministic order (sorted by name on POSIX). Returns false when the folder cannot be
// opened or reading it fails; entries read before the failure stay in `entries`.
// Attribute bits outside `attributesWanted` may be left clear where finding them would
// cost a status query per entry. Entries that are one of the `excluded` files (the same
// device and file id, links followed) are left out whatever name, hard link or symbolic
// link lists them; only entries that what the enumeration reports cannot tell apart from
// them cost a status query (POSIX: the inode of an entry that is not a link; Windows: the
// creation time, `changedNs`, of one that is no reparse point).
bool EnumerateFolder(const std::string& folder, std::vector<FolderEntry>& entries,
                     std::uint32_t attributesWanted = 0xFFFFFFFF, const std::vector<FileStatus>& excluded = {});

// --- Access checks ---------------------------------------------------------------------
// Each only asks: nothing is made, changed or kept open.

// Why the process cannot list the folder `path` (the system's text), nothing when it can.
std::optional<std::string> CannotList(const std::string& path);
// Why the process cannot make entries in the folder `path` (`folder`), or write to the
// file `path`: the system's text, nothing when it can. A path of the other kind is refused.
std::optional<std::string> CannotWrite(const std::string& path, bool folder);

// --- File stream ---------------------------------------------------------------------

class TFileStream final : public TStream {
 public:
  // Opens a regular file for reading while other processes may read it but not write
  // it. Raises EFOpenError "Cannot open file "%s". %s" with the full path.
  static std::unique_ptr<TFileStream> OpenReadExclusive(const std::string& path);
  // Creates a file or truncates an existing one, with no sharing while it is written.
  // Raises EFCreateError "Cannot create file "%s". %s" with the full path.
  // Refuses anything that is not a regular file (a FIFO would block the open forever).
  static std::unique_ptr<TFileStream> Create(const std::string& path);
  // Opens an existing regular file for reading and appending, and keeps every other writer
  // that asks (another run of the program, a reader that excludes writers) out until it is
  // closed. Writes go to the end of the file. Raises EFOpenError "Cannot open file "%s".
  // %s" with the full path, also when another process holds the file.
  static std::unique_ptr<TFileStream> OpenAppendLocked(const std::string& path);

  ~TFileStream() override;

  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t count) override;
  std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
  void SetSize(std::int64_t size) override;

  // Size and modification time of the open file.
  FileStatus Status() const;
  // Forces the written bytes onto the disk.
  void FlushToDisk();
  // Makes sure that `count` more bytes can be appended: reserves the disk space they take
  // where the file system can, and where it cannot checks that the free space holds them;
  // checks the process's file-size limit. Raises EWriteError "Stream write error. %s" (a
  // full disk, a limit) and leaves the file's content as it was.
  void ReserveAppend(std::int64_t count);
  const std::string& FileName() const { return fileName_; }

 private:
  TFileStream(std::intptr_t handle, std::string fileName) : handle_(handle), fileName_(std::move(fileName)) {}

  std::intptr_t handle_;  // the platform's file handle
  std::string fileName_;
  [[maybe_unused]] bool append_ = false;  // every write goes to the end (where the system does not: Windows)
};

}  // namespace qb::platform
