// Implementation details: the body of an answer is framed by the first rule that applies
// (RFC 7230 section 3.3.3): chunked transfer coding, Content-Length, a multipart type's
// closing delimiter, or the server's close. Counted reads go to the transport in pieces
// of at most kChunkPieceSize, so a length the server merely announces never reserves
// memory before the bytes arrive. Once the status line has been read, the status is what
// decides the request: a server that closes early only shortens the body, and so does
// every limit that ends the reading (BodyByteLimit, the answer's deadline, ReadTimeout,
// the bounds of the trailer) and framing that cannot be read (a chunk size that is no
// number). Such a cut leaves the rest of the body unread, so the connection is closed.
#include <algorithm>

#include "http/charset.h"
#include "http/http_client.h"
#include "support/stream.h"
#include "support/strings.h"

namespace qb {
namespace {

// Why the reading of a body stopped before its end. Not an Exception: no handler on the
// way may take it for an error.
struct BodyCut {};

// A chunk size line (RFC 7230 section 4.1): hexadecimal digits, then extensions after a
// ";". Anything else, or a size beyond 60 bits, is framing that cannot be read.
std::int64_t ChunkSize(std::string_view line) {
  line = Trim(line.substr(0, line.find(';')));
  const std::size_t digits = line.size();
  while (line.size() > 1 && line.front() == '0') line.remove_prefix(1);
  if (digits == 0 || line.size() > 15) throw BodyCut{};
  std::int64_t size = 0;
  for (const char c : line) {
    const int digit = HexDigitValue(c);
    if (digit < 0) throw BodyCut{};
    size = size * 16 + digit;
  }
  return size;
}

// Exactly `count` bytes into `stream` (none: discarded), in bounded pieces.
void ReadExactly(TNetIOHandler& io, TStream* stream, std::int64_t count) {
  while (count > 0) {
    const std::int64_t piece = std::min<std::int64_t>(count, TNetCustomHTTP::kChunkPieceSize);
    io.ReadToStream(stream, piece);
    count -= piece;
  }
}

// Passes at most `limit` bytes on to `target` (none: drops them) and cuts the body at the
// first byte beyond; the position counts what was written, so reads that size their
// target by it work unchanged.
class TBodyLimit final : public TStream {
 public:
  TBodyLimit(TStream* target, std::int64_t limit) : target_(target), left_(limit) {}

  std::size_t Read(void*, std::size_t) override { return 0; }
  std::size_t Write(const void* buffer, std::size_t count) override {
    const bool over = static_cast<std::int64_t>(count) > left_;
    const auto take = over ? static_cast<std::size_t>(left_) : count;
    if (target_ && take > 0) target_->WriteBuffer(buffer, take);
    left_ -= static_cast<std::int64_t>(take);
    position_ += static_cast<std::int64_t>(take);
    if (over) throw BodyCut{};
    return count;
  }
  std::int64_t Seek(std::int64_t, SeekOrigin) override { return position_; }
  std::int64_t GetSize() override { return position_; }
  void SetSize(std::int64_t) override {}

 private:
  TStream* target_;
  std::int64_t left_;
  std::int64_t position_ = 0;
};

}  // namespace

TNetCustomHTTP::BodyKind TNetCustomHTTP::BodyKindOfResponse() const {
  if (!Response.TransferEncoding.empty()) {
    // Chunked framing only when chunked is the last coding; any other coding ends the
    // body at the close (RFC 9112 section 6.3), whatever a length says.
    std::string_view codings = Response.TransferEncoding;
    const std::size_t comma = codings.rfind(',');
    if (comma != std::string_view::npos) codings.remove_prefix(comma + 1);
    if (!SameTextAscii(Trim(codings.substr(0, codings.find(';'))), "chunked")) return BodyKind::UntilClose;
    return HTTPOptions.Contains(hoNoReadChunked) ? BodyKind::None : BodyKind::Chunked;
  }
  if (Response.HasContentLength()) return Response.ContentLength > 0 ? BodyKind::Counted : BodyKind::None;
  const std::string_view type = HeaderMainValue(Response.ContentType);
  if (SameTextAscii(type.substr(0, type.find('/')), "multipart")) {
    return HTTPOptions.Contains(hoNoReadMultipartMIME) ? BodyKind::None : BodyKind::Multipart;
  }
  return BodyKind::UntilClose;
}

bool TNetCustomHTTP::DataArrivesWithin(int milliseconds) {
  TNetIOHandler* io = IOHandler();
  if (!io) return false;
  if (!io->ReceiveBuffer().Empty()) return true;
  return io->ReadFromSource(false, milliseconds, false) > 0;
}

void TNetCustomHTTP::ReadBody(TStream* stream) {
  const BodyKind kind = BodyKindOfResponse();
  if (kind == BodyKind::None || !IOHandler()) return;
  const int code = Response.StatusCode();
  if (IsHeadRequest() || (code >= 100 && code <= 199) || code == 204 || code == 304) {
    // No body is due: read one only when asked to look for one that arrives anyway.
    if (!HTTPOptions.Contains(hoWaitForUnexpectedData) || !DataArrivesWithin(100)) return;
  } else if (code >= 300 && code <= 399) {
    if (!DataArrivesWithin(5000)) return;
  }
  if (!stream || !WantsBodyCharset()) {
    ReadBodyWithinLimits(stream, kind);
    return;
  }
  if (auto* memory = dynamic_cast<TMemoryStream*>(stream)) {
    const auto start = static_cast<std::size_t>(memory->GetPosition());
    ReadBodyWithinLimits(memory, kind);
    const auto end = static_cast<std::size_t>(memory->GetPosition());
    ApplyBodyCharset(std::string_view(memory->Data() + start, end - start));
    return;
  }
  TMemoryStream body;
  ReadBodyWithinLimits(&body, kind);
  ApplyBodyCharset(std::string_view(body.Data(), static_cast<std::size_t>(body.GetSize())));
  stream->WriteBuffer(body.Data(), static_cast<std::size_t>(body.GetSize()));
}

void TNetCustomHTTP::ReadBodyWithinLimits(TStream* stream, BodyKind kind) {
  TBodyLimit limited(stream, BodyByteLimit);
  try {
    ReadBodyBytes(BodyByteLimit < 0 ? stream : &limited, kind);
  } catch (const BodyCut&) {
    CutBody();
  } catch (const ENetReadTimeout&) {
    CutBody();
  } catch (const ENetReadLnMaxLineLengthExceeded&) {
    CutBody();
  }
}

void TNetCustomHTTP::CutBody() {
  // The rest of the body is never read, so the connection cannot serve again.
  Response.KeepConnection = false;
  Disconnect();
  IOHandler()->ClearReceiveBuffer();
}

void TNetCustomHTTP::ReadBodyBytes(TStream* stream, BodyKind kind) {
  TNetIOHandler& io = *IOHandler();
  switch (kind) {
    case BodyKind::None: return;
    case BodyKind::Chunked: ReadChunked(stream); return;
    case BodyKind::Counted: try { ReadExactly(io, stream, Response.ContentLength);
      } catch (const ENetConnClosedGracefully&) {
      }
      return;
    case BodyKind::Multipart:
      io.ReadToStreamUntil(stream, "--" + HeaderParameter(Response.ContentType, "boundary") + "--");
      return;
    case BodyKind::UntilClose: io.ReadToStream(stream, -1, true); return;
  }
}

void TNetCustomHTTP::ReadChunked(TStream* stream) {
  TNetIOHandler& io = *IOHandler();
  try {
    for (std::int64_t size = ChunkSize(ReadHeadLine()); size > 0; size = ChunkSize(ReadHeadLine())) {
      if (OnChunkReceived) {
        ReadChunkToEvent(stream, size);
      } else {
        ReadExactly(io, stream, size);
      }
      // The line end after the data; anything else there leaves the framing unknown.
      if (!ReadHeadLine().empty()) throw BodyCut{};
    }
    // Trailer fields (RFC 7230 section 4.1.2) join the headers, bounded as the header
    // block is: HeaderLineLimit lines, each within MaxLineLength. A longer trailer is cut.
    for (int count = 0;; ++count) {
      std::string line = ReadHeadLine();
      if (line.empty()) break;
      if (HeaderLineLimit > 0 && count >= HeaderLineLimit) throw BodyCut{};
      Response.RawHeaders.Add(std::move(line));
    }
  } catch (const ENetConnClosedGracefully&) {
  }
}

void TNetCustomHTTP::ReadChunkToEvent(TStream* stream, std::int64_t count) {
  TNetIOHandler& io = *IOHandler();
  while (count > 0) {
    const std::int64_t piece = std::min<std::int64_t>(count, kChunkPieceSize);
    TMemoryStream data;
    bool closed = false;
    try {
      io.ReadToStream(&data, piece);
    } catch (const ENetConnClosedGracefully&) {
      closed = true;  // what did arrive is still delivered
    }
    std::string chunk = data.DataString();
    OnChunkReceived(*this, chunk);
    if (stream && !chunk.empty()) stream->WriteBuffer(chunk.data(), chunk.size());
    if (closed) throw ENetConnClosedGracefully("Connection Closed Gracefully.");
    count -= piece;
  }
}

bool TNetCustomHTTP::WantsBodyCharset() const {
  const std::string_view type = HeaderMainValue(Response.ContentType);
  return (IsHtmlMediaType(type) && !HTTPOptions.Contains(hoNoParseMetaHTTPEquiv)) ||
         (IsXmlMediaType(type) && !HTTPOptions.Contains(hoNoParseXmlCharset));
}

void TNetCustomHTTP::ApplyBodyCharset(std::string_view body) {
  const std::string_view type = HeaderMainValue(Response.ContentType);
  if (IsHtmlMediaType(type) && !HTTPOptions.Contains(hoNoParseMetaHTTPEquiv)) {
    Response.ApplyMetaHTTPEquiv(body);
  } else if (IsXmlMediaType(type) && !HTTPOptions.Contains(hoNoParseXmlCharset)) {
    Response.ApplyXmlCharset(body);
  }
}

}  // namespace qb
