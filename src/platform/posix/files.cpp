// Implementation details: "other writers excluded" is an open-file-description read lock
// (F_OFD_SETLK), which a writer holding a write lock makes fail; our own writers take the
// write lock. Readers and writers that take no lock cannot be kept out on POSIX, which is
// why the upload compares size and time after sending.
#include "platform/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "platform/process.h"
#include "support/exception.h"
#include "support/format.h"

namespace qb::platform {
namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

// The system calls end a path at its first 0 byte: such a path would name another file.
bool HoldsZeroByte(const std::string& path) { return path.find('\0') != std::string::npos; }

bool LockWhole(int fd, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

FileStatus StatusOf(const struct stat& st) {
  FileStatus status;
  status.isDirectory = S_ISDIR(st.st_mode);
  status.isRegular = S_ISREG(st.st_mode);
  status.size = st.st_size;
  status.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  status.device = static_cast<std::uint64_t>(st.st_dev);
  status.fileId = static_cast<std::uint64_t>(st.st_ino);
  status.changedNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return status;
}

[[noreturn]] void ThrowOpenError(const std::string& path, const std::string& reason) {
  throw EFOpenError(Format("Cannot open file \"%s\". %s", ExpandFileName(path), reason));
}

[[noreturn]] void ThrowCreateError(const std::string& path, const std::string& reason) {
  throw EFCreateError(Format("Cannot create file \"%s\". %s", ExpandFileName(path), reason));
}

[[noreturn]] void ThrowCreateError(const std::string& path, int error) {
  ThrowCreateError(path, SystemErrorText(error));
}

constexpr const char* kNotRegular = "Not a regular file";
// Another process holds the write lock (on Windows the system's sharing violation).
constexpr const char* kInUse = "The file is in use by another process";

// Opened with O_NONBLOCK, so that a FIFO cannot hold the open: anything but a regular file
// is refused (closing `fd`), and the descriptor is made blocking again. Returns the errno
// of a failed status query, -1 for a file that is not regular, 0 when the file is usable.
int CheckRegularAndBlock(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : -1;
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return 0;
}

std::string ReasonOf(int check) { return check < 0 ? std::string(kNotRegular) : SystemErrorText(check); }

// `path` opened for writing, created when missing and cut to nothing, with the write lock
// taken first, so that a file another writer holds is left intact: -1 while another process
// holds the lock. Only a regular file is taken (a FIFO without a reader fails the
// non-blocking open with ENXIO), and with `noFollow` not through a link. Raises EFCreateError.
int OpenCreatedLocked(const std::string& path, bool noFollow) {
  if (HoldsZeroByte(path)) ThrowCreateError(path, EINVAL);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0), 0666);
  if (fd < 0) {
    const int error = errno;
    struct stat st {};
    const bool link = noFollow && error == ELOOP && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    ThrowCreateError(path, link || error == ENXIO ? std::string(kNotRegular) : SystemErrorText(error));
  }
  if (const int check = CheckRegularAndBlock(fd); check != 0) {
    ::close(fd);
    ThrowCreateError(path, ReasonOf(check));
  }
  if (!LockWhole(fd, F_WRLCK)) {
    const int error = errno;
    ::close(fd);
    if (error == EAGAIN || error == EACCES) return -1;
    ThrowCreateError(path, error);
  }
  if (::ftruncate(fd, 0) != 0) {
    const int error = errno;
    ::close(fd);
    ThrowCreateError(path, error);
  }
  return fd;
}

}  // namespace

char PathDelimiter() { return '/'; }
bool IsPathSeparator(char c) { return c == '/'; }
bool FileNamesIgnoreCase() { return false; }

std::size_t LastPathSeparator(std::string_view path) { return path.rfind('/'); }

std::string IncludeTrailingPathDelimiter(std::string_view path) {
  std::string result(path);
  if (result.empty() || result.back() != '/') result += '/';
  return result;
}

std::string ExpandFileName(std::string_view path) {
  std::string full;
  if (path.empty() || path[0] != '/') {
    char* cwd = ::getcwd(nullptr, 0);
    full = cwd ? cwd : "";
    ::free(cwd);
    full += '/';
  }
  full += path;
  // Resolve "." and ".." and repeated delimiters in the text.
  std::vector<std::string_view> parts;
  std::string_view rest(full);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string result;
  for (const auto part : parts) {
    result += '/';
    result += part;
  }
  if (result.empty() || (!path.empty() && path.back() == '/')) result += '/';
  return result;
}

std::uint32_t NonFileAttributes() { return kAttrDirectory | kAttrSystem; }

std::optional<FileStatus> GetFileStatus(const std::string& path, bool followLinks) {
  if (HoldsZeroByte(path)) return std::nullopt;
  struct stat st {};
  if ((followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return std::nullopt;
  return StatusOf(st);
}

CreateDirectoryResult CreateDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return CreateDirectoryResult::Created;
  return errno == EEXIST ? CreateDirectoryResult::AlreadyExists : CreateDirectoryResult::Failed;
}

std::optional<std::string> CannotList(const std::string& path) {
  if (HoldsZeroByte(path)) return SystemErrorText(EINVAL);
  DIR* dir = ::opendir(path.empty() ? "." : path.c_str());
  if (!dir) return SystemErrorText(errno);
  ::closedir(dir);
  return std::nullopt;
}

std::optional<std::string> CannotWrite(const std::string& path, bool folder) {
  if (HoldsZeroByte(path)) return SystemErrorText(EINVAL);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return SystemErrorText(errno);
  if (folder && !S_ISDIR(st.st_mode)) return SystemErrorText(ENOTDIR);
  if (!folder && !S_ISREG(st.st_mode)) return SystemErrorText(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  // The effective ids decide, as for the run's own writes; a read-only mount gives EROFS.
  if (::faccessat(AT_FDCWD, path.c_str(), folder ? W_OK | X_OK : W_OK, AT_EACCESS) != 0) return SystemErrorText(errno);
  return std::nullopt;
}

bool MoveFileNoReplace(const std::string& from, const std::string& to) {
#ifdef SYS_renameat2
  constexpr unsigned kRenameNoReplace = 1;
  if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), kRenameNoReplace) == 0) return true;
  if (errno != ENOSYS && errno != EINVAL) return false;
#endif
  // File systems without renameat2: a hard link fails when the target exists.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

void CreateEmptyFileVia(const std::string& temp, const std::string& path) {
  if (HoldsZeroByte(path)) ThrowCreateError(path, EINVAL);
  // Not through a link: the link's target would be cut to nothing and the link renamed
  // into place. Held by another run making the same file, or by the run that renamed it
  // into place already and holds it there: either way the file is in use.
  const int fd = OpenCreatedLocked(temp, true);
  if (fd < 0) ThrowOpenError(path, kInUse);
  // Renamed while still locked, so that no other run truncates it on its way.
  const bool moved = MoveFileNoReplace(temp, path);
  ::close(fd);
  if (!moved) return;  // another run's file is there (or a name the next open reports)
  const std::size_t separator = path.rfind('/');
  const std::string folder = separator == std::string::npos ? "." : separator == 0 ? "/" : path.substr(0, separator);
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) ThrowCreateError(path, errno);
  const int synced = ::fsync(dirFd);
  const int error = errno;
  ::close(dirFd);
  // EINVAL and EOPNOTSUPP: a file system that has no such flush for folders.
  if (synced != 0 && error != EINVAL && error != EOPNOTSUPP) ThrowCreateError(path, error);
}

bool RemoveUnlessRegularFile(const std::string& path) {
  struct stat st {};
  if (HoldsZeroByte(path) || ::lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return false;
  return (S_ISDIR(st.st_mode) ? ::rmdir(path.c_str()) : ::unlink(path.c_str())) == 0;
}

bool EnumerateFolder(const std::string& folder, std::vector<FolderEntry>& entries, std::uint32_t attributesWanted,
                     const std::vector<FileStatus>& excluded) {
  if (HoldsZeroByte(folder)) return false;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return false;
  const int dirFd = ::dirfd(dir);
  // Read-only needs the permission bits; the kind of entry mostly comes with the name.
  const bool needStatus = (attributesWanted & kAttrReadOnly) != 0;
  const auto isExcluded = [&](const struct stat& st) {
    return std::any_of(excluded.begin(), excluded.end(), [&](const FileStatus& file) {
      return file.device == static_cast<std::uint64_t>(st.st_dev) &&
             file.fileId == static_cast<std::uint64_t>(st.st_ino);
    });
  };
  // The inode that readdir reports is the file's own for every entry but a link (and a
  // mount point): only a link or an entry with an excluded file's inode can be one.
  const auto mayBeExcluded = [&](const dirent& entry) {
    return std::any_of(excluded.begin(), excluded.end(),
                       [&](const FileStatus& file) { return file.fileId == static_cast<std::uint64_t>(entry.d_ino); });
  };
  std::vector<FolderEntry> found;
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (!entry) {
      ok = errno == 0;
      break;
    }
    FolderEntry item;
    item.name = entry->d_name;
    mode_t mode = 0;
    // Links are followed and some file systems report no kind: those need a status query.
    const bool mayBeLink = entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN;
    if (needStatus || mayBeLink || mayBeExcluded(*entry)) {
      struct stat st {};
      if (::fstatat(dirFd, entry->d_name, &st, mayBeLink ? AT_SYMLINK_NOFOLLOW : 0) != 0) continue;  // vanished
      if (S_ISLNK(st.st_mode)) {
        item.attributes |= kAttrLink;
        // Where it leads; a link that leads nowhere is taken as itself.
        struct stat target {};
        if (::fstatat(dirFd, entry->d_name, &target, 0) == 0) st = target;
      }
      if (isExcluded(st)) continue;
      mode = st.st_mode;
      if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) item.attributes |= kAttrReadOnly;
    } else {
      mode = DTTOIF(entry->d_type);
    }
    if (item.name[0] == '.') item.attributes |= kAttrHidden;
    if (S_ISDIR(mode)) {
      item.attributes |= kAttrDirectory;
    } else if (S_ISREG(mode)) {
      item.attributes |= kAttrArchive;
    } else {
      item.attributes |= kAttrSystem;
    }
    found.push_back(std::move(item));
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  if (entries.empty()) {
    entries.swap(found);  // a folder of a million entries is not held twice
  } else {
    for (auto& item : found) entries.push_back(std::move(item));
  }
  return ok;
}

std::unique_ptr<TFileStream> TFileStream::OpenReadExclusive(const std::string& path) {
  if (HoldsZeroByte(path)) ThrowOpenError(path, SystemErrorText(EINVAL));
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) ThrowOpenError(path, SystemErrorText(errno));
  if (const int check = CheckRegularAndBlock(fd); check != 0) {
    ::close(fd);
    ThrowOpenError(path, ReasonOf(check));
  }
  if (!LockWhole(fd, F_RDLCK)) {
    const int error = errno;
    ::close(fd);
    ThrowOpenError(path, SystemErrorText(error));
  }
  return std::unique_ptr<TFileStream>(new TFileStream(fd, path));
}

std::unique_ptr<TFileStream> TFileStream::Create(const std::string& path) {
  const int fd = OpenCreatedLocked(path, false);
  if (fd < 0) ThrowCreateError(path, EAGAIN);
  return std::unique_ptr<TFileStream>(new TFileStream(fd, path));
}

std::unique_ptr<TFileStream> TFileStream::OpenAppendLocked(const std::string& path) {
  if (HoldsZeroByte(path)) ThrowOpenError(path, SystemErrorText(EINVAL));
  const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) ThrowOpenError(path, errno == ENXIO ? std::string(kNotRegular) : SystemErrorText(errno));
  if (const int check = CheckRegularAndBlock(fd); check != 0) {
    ::close(fd);
    ThrowOpenError(path, ReasonOf(check));
  }
  if (!LockWhole(fd, F_WRLCK)) {
    const int error = errno;
    ::close(fd);
    ThrowOpenError(path, error == EAGAIN || error == EACCES ? std::string(kInUse) : SystemErrorText(error));
  }
  return std::unique_ptr<TFileStream>(new TFileStream(fd, path));
}

TFileStream::~TFileStream() { ::close(Fd(handle_)); }

std::size_t TFileStream::Read(void* buffer, std::size_t count) {
  for (;;) {
    const ssize_t n = ::read(Fd(handle_), buffer, count);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) throw EReadError(Format("Stream read error. %s", SystemErrorText(errno)));
  }
}

std::size_t TFileStream::Write(const void* buffer, std::size_t count) {
  for (;;) {
    const ssize_t n = ::write(Fd(handle_), buffer, count);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) throw EWriteError(Format("Stream write error. %s", SystemErrorText(errno)));
  }
}

std::int64_t TFileStream::Seek(std::int64_t offset, SeekOrigin origin) {
  const int whence = origin == SeekOrigin::Beginning ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
  const off_t position = ::lseek(Fd(handle_), static_cast<off_t>(offset), whence);
  if (position < 0) throw EStreamError(Format("Stream seek error. %s", SystemErrorText(errno)));
  return position;
}

void TFileStream::SetSize(std::int64_t size) {
  if (::ftruncate(Fd(handle_), static_cast<off_t>(size)) != 0) {
    throw EStreamError(Format("Stream size error. %s", SystemErrorText(errno)));
  }
}

FileStatus TFileStream::Status() const {
  struct stat st {};
  if (::fstat(Fd(handle_), &st) != 0) throw EStreamError(Format("Stream status error. %s", SystemErrorText(errno)));
  return StatusOf(st);
}

void TFileStream::ReserveAppend(std::int64_t count) {
  const std::int64_t size = Status().size;
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<std::uint64_t>(size + count) > static_cast<std::uint64_t>(limit.rlim_cur)) {
    throw EWriteError(Format("Stream write error. %s", SystemErrorText(EFBIG)));
  }
  // Blocks past the end, the size kept: the append later lands in space already taken.
  if (::fallocate(Fd(handle_), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(size), static_cast<off_t>(count)) == 0) return;
  const int error = errno;
  if (error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO) {
    throw EWriteError(Format("Stream write error. %s", SystemErrorText(error)));
  }
  // A file system that cannot reserve (ext2, some network ones): the blocks that the bytes
  // add past the file's last one must be free now, with a few for the file system's own
  // (indirect) blocks. A quota is not seen this way.
  struct statvfs disk {};
  if (::fstatvfs(Fd(handle_), &disk) != 0 || disk.f_frsize == 0) return;
  const std::uint64_t blockSize = disk.f_frsize;
  const auto blocks = [&](std::int64_t bytes) {
    return (static_cast<std::uint64_t>(bytes) + blockSize - 1) / blockSize;
  };
  std::uint64_t needed = blocks(size + count) - blocks(size);
  if (needed > 0) needed += 3;
  // The blocks kept for the superuser are free to a process that may use them.
  const std::uint64_t available = ::geteuid() == 0 ? disk.f_bfree : disk.f_bavail;
  if (needed > available) throw EWriteError(Format("Stream write error. %s", SystemErrorText(ENOSPC)));
}

void TFileStream::FlushToDisk() {
  // The data and what finding it needs (the size); times may follow later.
  if (::fdatasync(Fd(handle_)) != 0) throw EWriteError(Format("Stream flush error. %s", SystemErrorText(errno)));
}

}  // namespace qb::platform
