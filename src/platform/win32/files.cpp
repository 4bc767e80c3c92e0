// Implementation details: the program's text is the ANSI code page, so the "A" functions
// take paths as they are. "Other writers excluded" is the share mode: a file is read with
// FILE_SHARE_READ, which fails while another process has it open for writing and keeps
// writers out while we read; the ledger is written with no sharing at all. Paths are split
// at "\" and at the drive ":", stepping over double-byte characters whose second byte
// happens to be the code of "\".
#include "platform/files.h"

#include <algorithm>

#include "platform/process.h"
#include "platform/win32/handle.h"
#include "platform/win32/win32.h"
#include "support/exception.h"
#include "support/format.h"

namespace qb::platform {
namespace {

HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// The system ends a path at its first 0 byte: such a path would name another file.
bool HoldsZeroByte(const std::string& path) { return path.find('\0') != std::string::npos; }

std::string LastErrorText() { return SystemErrorText(static_cast<int>(::GetLastError())); }

// FILETIME counts 100 ns from 1601; FileStatus counts nanoseconds from 1970.
std::int64_t UnixNanoseconds(const FILETIME& time) {
  constexpr std::int64_t kEpochDifference = 116444736000000000;  // 1601 to 1970 in 100 ns
  const std::int64_t ticks = (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return (ticks - kEpochDifference) * 100;
}

std::int64_t Size(DWORD high, DWORD low) { return (static_cast<std::int64_t>(high) << 32) | low; }

void SetIdentity(FileStatus& status, const BY_HANDLE_FILE_INFORMATION& info) {
  status.device = info.dwVolumeSerialNumber;
  status.fileId = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

// `ownLink`: the status of a link itself, which is no regular file.
FileStatus StatusOf(DWORD attributes, const FILETIME& written, const FILETIME& created, std::int64_t size,
                    bool ownLink) {
  FileStatus status;
  status.isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.isRegular = !status.isDirectory && (attributes & FILE_ATTRIBUTE_DEVICE) == 0 && !ownLink;
  status.size = size;
  status.modifiedNs = UnixNanoseconds(written);
  status.changedNs = UnixNanoseconds(created);
  return status;
}

[[noreturn]] void ThrowOpenError(const std::string& path, const std::string& reason) {
  throw EFOpenError(Format("Cannot open file \"%s\". %s", ExpandFileName(path), reason));
}

[[noreturn]] void ThrowCreateError(const std::string& path, const std::string& reason) {
  throw EFCreateError(Format("Cannot create file \"%s\". %s", ExpandFileName(path), reason));
}

}  // namespace

char PathDelimiter() { return '\\'; }
bool IsPathSeparator(char c) { return c == '\\' || c == ':'; }
bool FileNamesIgnoreCase() { return true; }

std::size_t LastPathSeparator(std::string_view path) {
  const UINT codePage = ::GetACP();
  std::size_t last = std::string_view::npos;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (IsPathSeparator(path[i])) {
      last = i;
    } else if (::IsDBCSLeadByteEx(codePage, static_cast<BYTE>(path[i]))) {
      ++i;  // the trail byte is part of the character, never a separator
    }
  }
  return last;
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
  std::string result(path);
  const std::size_t at = LastPathSeparator(path);
  if (result.empty() || at != result.size() - 1 || result.back() != '\\') result += '\\';
  return result;
}

std::string ExpandFileName(std::string_view path) {
  const std::string text(path);
  if (text.empty()) return text;
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = ::GetFullPathNameA(text.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) return text;
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(length + 1);
  }
}

std::uint32_t NonFileAttributes() { return kAttrDirectory; }

std::optional<FileStatus> GetFileStatus(const std::string& path, bool followLinks) {
  if (HoldsZeroByte(path)) return std::nullopt;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  // What the attributes tell of a link is the link's own; a handle reaches the file itself,
  // and gives its identity. One without access rights is refused by no share mode.
  const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  FileStatus status = StatusOf(data.dwFileAttributes, data.ftLastWriteTime, data.ftCreationTime,
                               Size(data.nFileSizeHigh, data.nFileSizeLow), link && !followLinks);
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const HANDLE handle = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // A link whose target is gone names nothing, as on POSIX.
    if (link && followLinks && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) return std::nullopt;
    return status;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(handle, &info)) {
    status = StatusOf(info.dwFileAttributes, info.ftLastWriteTime, info.ftCreationTime,
                      Size(info.nFileSizeHigh, info.nFileSizeLow), link && !followLinks);
    SetIdentity(status, info);
  }
  ::CloseHandle(handle);
  return status;
}

CreateDirectoryResult CreateDirectory(const std::string& path) {
  if (HoldsZeroByte(path)) return CreateDirectoryResult::Failed;
  if (::CreateDirectoryA(path.c_str(), nullptr)) return CreateDirectoryResult::Created;
  return ::GetLastError() == ERROR_ALREADY_EXISTS ? CreateDirectoryResult::AlreadyExists
                                                  : CreateDirectoryResult::Failed;
}

std::optional<std::string> CannotList(const std::string& path) {
  if (HoldsZeroByte(path)) return SystemErrorText(ERROR_INVALID_NAME);
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return SystemErrorText(static_cast<int>(::GetLastError()));
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return SystemErrorText(ERROR_DIRECTORY);
  std::string pattern = path;
  if (!pattern.empty() && LastPathSeparator(pattern) != pattern.size() - 1) pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA data{};
  const HANDLE find = ::FindFirstFileA(pattern.c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    ::FindClose(find);
    return std::nullopt;
  }
  // A folder that lists nothing: an empty drive root has not even "." to report.
  const DWORD error = ::GetLastError();
  if (error == ERROR_FILE_NOT_FOUND) return std::nullopt;
  return SystemErrorText(static_cast<int>(error));
}

std::optional<std::string> CannotWrite(const std::string& path, bool folder) {
  if (HoldsZeroByte(path)) return SystemErrorText(ERROR_INVALID_NAME);
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return SystemErrorText(static_cast<int>(::GetLastError()));
  const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (folder != isFolder) return SystemErrorText(folder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
  // Opening with the right the run needs asks the folder's or file's access list; every
  // sharing is allowed, so that a run holding the ledger does not make it look denied.
  const HANDLE handle = ::CreateFileA(path.c_str(), folder ? FILE_ADD_FILE : FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      folder ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return SystemErrorText(static_cast<int>(::GetLastError()));
  ::CloseHandle(handle);
  return std::nullopt;
}

bool MoveFileNoReplace(const std::string& from, const std::string& to) {
  if (HoldsZeroByte(from) || HoldsZeroByte(to)) return false;
  return ::MoveFileA(from.c_str(), to.c_str()) != FALSE;
}

void CreateEmptyFileVia(const std::string& temp, const std::string& path) {
  if (HoldsZeroByte(temp)) ThrowCreateError(temp, SystemErrorText(ERROR_INVALID_NAME));
  if (HoldsZeroByte(path)) ThrowCreateError(path, SystemErrorText(ERROR_INVALID_NAME));
  // A link in its place is opened as itself, never followed, and then refused: its target
  // would be cut to nothing and the link renamed into place.
  win32::UniqueHandle file(::CreateFileA(temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    // Held by another run making the same file: the file is in use by another process.
    if (error == ERROR_SHARING_VIOLATION) ThrowOpenError(path, SystemErrorText(static_cast<int>(error)));
    ThrowCreateError(temp, SystemErrorText(static_cast<int>(error)));
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(file.get()) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    ThrowCreateError(temp, "Not a regular file");
  }
  if (!::SetEndOfFile(file.get())) ThrowCreateError(temp, LastErrorText());  // the pointer is at 0
  // A file open without delete sharing cannot be renamed: closed first. Windows needs no
  // flush of the folder's entries.
  file.reset();
  MoveFileNoReplace(temp, path);
}

bool RemoveUnlessRegularFile(const std::string& path) {
  if (HoldsZeroByte(path)) return false;
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0) {
    return false;
  }
  // A link to a folder and a junction go as a folder does: the link itself, never its target.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ::RemoveDirectoryA(path.c_str()) != 0;
  return ::DeleteFileA(path.c_str()) != 0;
}

bool EnumerateFolder(const std::string& folder, std::vector<FolderEntry>& entries, std::uint32_t /*attributesWanted*/,
                     const std::vector<FileStatus>& excluded) {
  if (HoldsZeroByte(folder)) return false;
  std::string prefix = folder;
  if (!prefix.empty() && LastPathSeparator(prefix) != prefix.size() - 1) prefix += '\\';
  const std::string pattern = prefix + '*';
  // What the enumeration reports of a file under another of its names may be stale (its
  // size, its write time), but not the time it was made: only a link or an entry made at
  // an excluded file's time can be one.
  const auto mayBeExcluded = [&](const WIN32_FIND_DATAA& found) {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
    const std::int64_t created = UnixNanoseconds(found.ftCreationTime);
    return std::any_of(excluded.begin(), excluded.end(),
                       [&](const FileStatus& file) { return file.changedNs == created; });
  };
  const auto isExcluded = [&](const std::string& name) {
    const std::optional<FileStatus> status = GetFileStatus(prefix + name);
    return status && std::any_of(excluded.begin(), excluded.end(), [&](const FileStatus& file) {
             return file.device == status->device && file.fileId == status->fileId;
           });
  };
  WIN32_FIND_DATAA data{};
  const HANDLE find = ::FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    if (!excluded.empty() && mayBeExcluded(data) && isExcluded(data.cFileName)) continue;
    // FILE_ATTRIBUTE_REPARSE_POINT is kAttrLink: the attributes go out as Windows reports them.
    entries.push_back(FolderEntry{data.cFileName, static_cast<std::uint32_t>(data.dwFileAttributes)});
  } while (::FindNextFileA(find, &data));
  const bool ok = ::GetLastError() == ERROR_NO_MORE_FILES;
  ::FindClose(find);
  return ok;
}

std::unique_ptr<TFileStream> TFileStream::OpenReadExclusive(const std::string& path) {
  if (HoldsZeroByte(path)) ThrowOpenError(path, SystemErrorText(ERROR_INVALID_NAME));
  win32::UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) ThrowOpenError(path, LastErrorText());
  // A device or pipe is no file to upload: a read could wait forever.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) ThrowOpenError(path, "Not a regular file");
  const auto handle = reinterpret_cast<std::intptr_t>(file.get());
  auto stream = std::unique_ptr<TFileStream>(new TFileStream(handle, path));
  (void)file.release();
  return stream;
}

std::unique_ptr<TFileStream> TFileStream::Create(const std::string& path) {
  if (HoldsZeroByte(path)) ThrowCreateError(path, SystemErrorText(ERROR_INVALID_NAME));
  win32::UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) ThrowCreateError(path, LastErrorText());
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) ThrowCreateError(path, "Not a regular file");
  const auto handle = reinterpret_cast<std::intptr_t>(file.get());
  auto stream = std::unique_ptr<TFileStream>(new TFileStream(handle, path));
  (void)file.release();
  return stream;
}

std::unique_ptr<TFileStream> TFileStream::OpenAppendLocked(const std::string& path) {
  if (HoldsZeroByte(path)) ThrowOpenError(path, SystemErrorText(ERROR_INVALID_NAME));
  // Shared for reading only: no other process writes, renames or deletes it meanwhile.
  win32::UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) ThrowOpenError(path, LastErrorText());
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) ThrowOpenError(path, "Not a regular file");
  const auto handle = reinterpret_cast<std::intptr_t>(file.get());
  auto stream = std::unique_ptr<TFileStream>(new TFileStream(handle, path));
  stream->append_ = true;
  (void)file.release();
  return stream;
}

TFileStream::~TFileStream() { ::CloseHandle(Handle(handle_)); }

std::size_t TFileStream::Read(void* buffer, std::size_t count) {
  const DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
  DWORD read = 0;
  if (!::ReadFile(Handle(handle_), buffer, chunk, &read, nullptr)) {
    throw EReadError(Format("Stream read error. %s", LastErrorText()));
  }
  return read;
}

std::size_t TFileStream::Write(const void* buffer, std::size_t count) {
  const DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
  DWORD written = 0;
  if (append_) Seek(0, SeekOrigin::End);
  if (!::WriteFile(Handle(handle_), buffer, chunk, &written, nullptr)) {
    throw EWriteError(Format("Stream write error. %s", LastErrorText()));
  }
  return written;
}

std::int64_t TFileStream::Seek(std::int64_t offset, SeekOrigin origin) {
  const DWORD method = origin == SeekOrigin::Beginning ? FILE_BEGIN
                       : origin == SeekOrigin::Current ? FILE_CURRENT
                                                       : FILE_END;
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  LARGE_INTEGER position{};
  if (!::SetFilePointerEx(Handle(handle_), distance, &position, method)) {
    throw EStreamError(Format("Stream seek error. %s", LastErrorText()));
  }
  return position.QuadPart;
}

void TFileStream::SetSize(std::int64_t size) {
  // SetEndOfFile cuts at the file pointer; the position is kept as it was.
  const std::int64_t position = Seek(0, SeekOrigin::Current);
  Seek(size, SeekOrigin::Beginning);
  const bool ok = ::SetEndOfFile(Handle(handle_)) != FALSE;
  const std::string reason = ok ? std::string() : LastErrorText();
  Seek(position, SeekOrigin::Beginning);
  if (!ok) throw EStreamError(Format("Stream size error. %s", reason));
}

FileStatus TFileStream::Status() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(Handle(handle_), &info)) {
    throw EStreamError(Format("Stream status error. %s", LastErrorText()));
  }
  FileStatus status = StatusOf(info.dwFileAttributes, info.ftLastWriteTime, info.ftCreationTime,
                               Size(info.nFileSizeHigh, info.nFileSizeLow), false);
  SetIdentity(status, info);
  return status;
}

void TFileStream::ReserveAppend(std::int64_t count) {
  // The clusters for the new bytes, allocated without moving the end of the file.
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = Status().size + count;
  if (!::SetFileInformationByHandle(Handle(handle_), FileAllocationInfo, &allocation, sizeof allocation)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) {
      throw EWriteError(Format("Stream write error. %s", SystemErrorText(static_cast<int>(error))));
    }
  }
}

void TFileStream::FlushToDisk() {
  if (!::FlushFileBuffers(Handle(handle_))) throw EWriteError(Format("Stream flush error. %s", LastErrorText()));
}

}  // namespace qb::platform
