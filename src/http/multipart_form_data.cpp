// Implementation details: the body is a small state machine over the parts. Pending
// output (a part header, the line break after a part's data, the closing line) lives in
// one reused string; a part's data goes from its stream straight into the reader's
// buffer. Each part's data length is fixed by a size query (or by the first read of the
// part when no query came first) and reading keeps to it, so the body never differs in
// length from the Content-Length that was sent.
#include "http/multipart_form_data.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "http/header_list.h"
#include "http/mime_table.h"
#include "http/quoted_name.h"
#include "platform/files.h"
#include "support/exception.h"
#include "support/format.h"
#include "support/strings.h"

namespace qb {
namespace {

constexpr std::string_view kCrLf = "\r\n";

std::string BoundaryFromClock(const platform::LocalDateTime& now) {
  return Format("--------%.2d%.2d%.2d%.2d%.2d%.2d%.3d", now.month, now.day, now.year % 100, now.hour, now.minute,
                now.second, now.millisecond);
}

// Header values come from callers and the association store; a control character in
// one would end the header line early and let the rest pose as a header of its own.
const std::string& CheckHeaderValue(const std::string& value) {
  for (const char c : value) {
    // Tab and DEL pass: neither can end or cut the line, which is all this guards.
    if (c != '\t' && c != 127 && IsControlByte(c)) {
      throw ENetHeaderEncodeError(Format("Header value \"%s\" holds a control character", value));
    }
  }
  return value;
}

// --- Content-type parameters (RFC 2045 section 5.1) -------------------------------------

bool NeedsQuoting(std::string_view value) {
  if (value.empty()) return true;
  for (const char c : value) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 32 || b >= 127 || std::string_view("()<>@,;:\\\"/[]?=").find(c) != std::string_view::npos) return true;
  }
  return false;
}

std::string QuotedIfNeeded(std::string_view value) {
  return NeedsQuoting(value) ? QuotedString(value) : std::string(value);
}

// Unlike HeaderParameter, keeps all between the outer quotes: configured values always went out so.
std::string Unquoted(std::string_view value) {
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return std::string(value);
  std::string out;
  for (std::size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] == '\\' && i + 2 < value.size()) ++i;
    out += value[i];
  }
  return out;
}

std::string SourceName(TStream& stream, const TNetFormDataField& field) {
  if (const auto* file = dynamic_cast<const platform::TFileStream*>(&stream)) {
    return platform::ExpandFileName(file->FileName());
  }
  return field.PartName;
}

}  // namespace

// --- TNetFormDataField ------------------------------------------------------------------

void TNetFormDataField::SetPartStream(std::unique_ptr<TStream> stream) {
  owned_ = std::move(stream);
  stream_ = owned_.get();
  measuredSize_ = -1;
}

void TNetFormDataField::SetPartStream(TStream* stream) {
  owned_.reset();
  stream_ = stream;
  measuredSize_ = -1;
}

void TNetFormDataField::SetContentType(std::string_view contentType) {
  const std::vector<std::string_view> pieces = SplitHeaderParameters(contentType);
  const std::string_view mediaType = Trim(pieces.front());
  std::string rebuilt(mediaType);
  std::string charset;
  bool hasCharset = false;
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    const std::string_view piece = Trim(pieces[i]);
    if (piece.empty()) continue;
    const std::size_t equals = piece.find('=');
    const std::string_view name = Trim(piece.substr(0, equals));
    const std::string value =
        equals == std::string_view::npos ? std::string() : Unquoted(Trim(piece.substr(equals + 1)));
    if (SameTextAscii(name, "charset")) {
      charset = value;
      hasCharset = true;
      continue;
    }
    rebuilt += "; ";
    rebuilt += name;
    if (equals != std::string_view::npos) {
      rebuilt += '=';
      rebuilt += QuotedIfNeeded(value);
    }
  }
  PartContentType = hasCharset ? rebuilt : std::string(contentType);
  if (hasCharset) {
    PartCharset = charset;
  } else if (SameTextAscii(mediaType.substr(0, mediaType.find('/')), "text")) {
    PartCharset = "us-ascii";
  }
}

std::string TNetFormDataField::PartHeader(std::string_view boundary) const {
  // Receiving servers store the quoted names as they are; escapes keep quotes, line
  // breaks and backslashes from ending or cutting them.
  std::string disposition = "Content-Disposition: form-data; name=\"";
  disposition += EncodeQuotedName(PartName);
  disposition += '"';
  std::string extended;
  if (!PartFileName.empty()) {
    const std::string quoted = EncodeQuotedName(PartFileName);
    disposition += "; filename=\"";
    disposition += quoted;
    disposition += '"';
    // Some receivers read the quoted name as Latin-1; they take this one instead.
    const std::string value = ExtendedNameValue(quoted);
    if (!value.empty()) extended = "; filename*=" + value;
  }
  std::string rest(kCrLf);
  if (!PartContentType.empty()) {
    rest += "Content-Type: ";
    rest += CheckHeaderValue(PartContentType);
    if (!PartCharset.empty()) {
      rest += "; charset=\"";
      rest += CheckHeaderValue(PartCharset);
      rest += '"';
    }
    rest += kCrLf;
  }
  if (!PartTransfer.empty()) {
    rest += "Content-Transfer-Encoding: ";
    rest += CheckHeaderValue(PartTransfer);
    rest += kCrLf;
  }
  rest += kCrLf;
  // A receiver that refuses a longer part header refuses the file at every start and the
  // queue stops there; without "filename*" the file arrives, only those receivers that
  // want it read the quoted name as Latin-1.
  if (disposition.size() + extended.size() + rest.size() <= kMaxPartHeaderSection) disposition += extended;
  std::string header;
  header.reserve(boundary.size() + 4 + disposition.size() + rest.size());
  header += "--";
  header += boundary;
  header += kCrLf;
  header += disposition;
  header += rest;
  return header;
}

TNetFormDataField& TNetFormDataFields::Add() {
  items_.push_back(std::make_unique<TNetFormDataField>());
  return *items_.back();
}

// --- TNetMultiPartFormDataStream --------------------------------------------------------

TNetMultiPartFormDataStream::TNetMultiPartFormDataStream() : TNetMultiPartFormDataStream(platform::LocalNow()) {}

TNetMultiPartFormDataStream::TNetMultiPartFormDataStream(const platform::LocalDateTime& now)
    : boundary_(BoundaryFromClock(now)), contentType_("multipart/form-data; boundary=" + boundary_) {}

TNetFormDataField& TNetMultiPartFormDataStream::AppendFilePart(std::string_view fieldName, const std::string& fileName,
                                                               std::string_view contentType) {
  std::unique_ptr<platform::TFileStream> file = platform::TFileStream::OpenReadExclusive(fileName);
  TNetFormDataField& field = fields_.Add();
  try {
    field.PartName = std::string(fieldName);
    field.PartFileName = platform::ExtractFileName(fileName);
    field.SetPartStream(std::move(file));
    if (!contentType.empty()) {
      field.SetContentType(contentType);
    } else {
      field.PartContentType = GetMIMETypeFromFile(fileName);
    }
    field.PartTransfer = "binary";
  } catch (...) {
    fields_.RemoveLast();  // closes the file
    throw;
  }
  return field;
}

std::int64_t TNetMultiPartFormDataStream::ComputeTotalSize() {
  std::int64_t total = 0;
  for (std::size_t i = 0; i < fields_.Count(); ++i) {
    TNetFormDataField& field = fields_[i];
    total += static_cast<std::int64_t>(field.PartHeader(boundary_).size()) + 2;
    if (field.stream_) {
      field.measuredSize_ = field.stream_->GetSize();
      total += field.measuredSize_;
    }
  }
  return total + static_cast<std::int64_t>(boundary_.size()) + 6;
}

void TNetMultiPartFormDataStream::SetPending(std::string text) {
  pending_ = std::move(text);
  pendingOffset_ = 0;
}

void TNetMultiPartFormDataStream::BeginPart() {
  TNetFormDataField& field = fields_[partIndex_];
  SetPending(field.PartHeader(boundary_));
  if (!field.stream_) {
    pending_ += kCrLf;
    ++partIndex_;
    return;
  }
  if (field.measuredSize_ < 0) field.measuredSize_ = field.stream_->GetSize();
  field.stream_->Seek(0, SeekOrigin::Beginning);
  source_ = field.stream_;
  sourceDelivered_ = 0;
}

void TNetMultiPartFormDataStream::EndPartData() {
  source_->Seek(0, SeekOrigin::Beginning);
  source_ = nullptr;
  pending_.assign(kCrLf);
  pendingOffset_ = 0;
  ++partIndex_;
}

std::size_t TNetMultiPartFormDataStream::ReadPartData(char* buffer, std::size_t count) {
  const TNetFormDataField& field = fields_[partIndex_];
  const std::int64_t left = field.measuredSize_ - sourceDelivered_;
  if (left <= 0) {
    if (left < 0) {
      throw EReadError(Format("File \"%s\" shrank while it was being sent: it holds fewer than the %d bytes announced",
                              SourceName(*source_, field), field.measuredSize_));
    }
    EndPartData();
    return 0;
  }
  const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(count)));
  const std::size_t got = source_->Read(buffer, want);
  if (got == 0) {
    throw EReadError(Format("File \"%s\" shrank while it was being sent: it ended after %d of the %d bytes announced",
                            SourceName(*source_, field), sourceDelivered_, field.measuredSize_));
  }
  sourceDelivered_ += static_cast<std::int64_t>(got);
  if (sourceDelivered_ == field.measuredSize_) EndPartData();
  return got;
}

std::size_t TNetMultiPartFormDataStream::Read(void* buffer, std::size_t count) {
  if (!started_) {
    started_ = true;
    partIndex_ = 0;
    source_ = nullptr;
    pending_.clear();
    pendingOffset_ = 0;
  }
  auto* out = static_cast<char*>(buffer);
  std::size_t delivered = 0;
  while (delivered < count) {
    if (pendingOffset_ < pending_.size()) {
      const std::size_t n = std::min(count - delivered, pending_.size() - pendingOffset_);
      std::memcpy(out + delivered, pending_.data() + pendingOffset_, n);
      pendingOffset_ += n;
      delivered += n;
    } else if (source_) {
      delivered += ReadPartData(out + delivered, count - delivered);
    } else if (partIndex_ < fields_.Count()) {
      BeginPart();
    } else if (partIndex_ == fields_.Count()) {
      // A body without parts still ends with the closing line its size counts.
      SetPending("--" + boundary_ + "--" + std::string(kCrLf));
      ++partIndex_;
    } else {
      break;
    }
  }
  position_ += static_cast<std::int64_t>(delivered);
  return delivered;
}

std::size_t TNetMultiPartFormDataStream::Write(const void*, std::size_t) {
  throw ENetUnsupportedOperation("Unsupported operation.");
}

void TNetMultiPartFormDataStream::SetSize(std::int64_t) { throw ENetUnsupportedOperation("Unsupported operation."); }

std::int64_t TNetMultiPartFormDataStream::Seek(std::int64_t offset, SeekOrigin origin) {
  if (offset == 0 && origin == SeekOrigin::Beginning) {
    started_ = false;
    position_ = 0;
    return 0;
  }
  if (offset == 0 && origin == SeekOrigin::End) return ComputeTotalSize();
  return position_;
}

}  // namespace qb
