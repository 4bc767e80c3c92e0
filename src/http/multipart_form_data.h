// The request body of an upload: a multipart/form-data stream generated while it is
// read. Part headers are made when the reader reaches them, file bytes are read straight
// into the reader's buffer, and the total length is known before sending.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/net_exception.h"
#include "platform/clock.h"
#include "support/stream.h"

namespace qb {

// Writing to or resizing the body: "Unsupported operation.".
QB_DECLARE_EXCEPTION(ENetUnsupportedOperation, ENetException);
// A part header value (content type, charset, transfer encoding) that holds a control
// character: "Header value "%s" holds a control character".
QB_DECLARE_EXCEPTION(ENetHeaderEncodeError, ENetException);

// The most bytes of a part header after its boundary line, the empty line included,
// that receivers are known to take: Tomcat refuses a longer one with its defaults.
inline constexpr std::size_t kMaxPartHeaderSection = 512;

// One form field. Every part of an upload is a file part; the fields are set by
// TNetMultiPartFormDataStream::AppendFilePart.
class TNetFormDataField {
 public:
  TNetFormDataField() = default;
  TNetFormDataField(const TNetFormDataField&) = delete;
  TNetFormDataField& operator=(const TNetFormDataField&) = delete;

  std::string PartFileName;     // file name in Content-Disposition; empty for a plain field
  std::string PartCharset;      // charset parameter of Content-Type; empty for none
  std::string PartContentType;  // media type; empty for no Content-Type line
  std::string PartTransfer;     // Content-Transfer-Encoding value; empty for no such line
  std::string PartName;         // form field name

  // Where the part's data comes from, or nothing.
  TStream* PartStream() const { return stream_; }
  bool OwnsPartStream() const { return owned_ != nullptr; }
  // Hands the stream to the part, which frees it when it is destroyed.
  void SetPartStream(std::unique_ptr<TStream> stream);
  // Uses a stream that somebody else owns and keeps alive.
  void SetPartStream(TStream* stream);

  // Applies a content type such as "text/plain; charset=utf-8": the charset parameter
  // moves into PartCharset ("us-ascii" for a "text" type without one), the rest goes
  // into PartContentType.
  void SetContentType(std::string_view contentType);

  // The part header: boundary line, Content-Disposition, Content-Type, transfer
  // encoding and the empty line. Names go out as UTF-8 (see EncodeQuotedName); a
  // non-ASCII file name comes once more as "filename*" while the lines after the
  // boundary line stay within kMaxPartHeaderSection bytes.
  std::string PartHeader(std::string_view boundary) const;

 private:
  friend class TNetMultiPartFormDataStream;

  TStream* stream_ = nullptr;
  std::unique_ptr<TStream> owned_;
  std::int64_t measuredSize_ = -1;  // stream size taken by the last size query; -1 before
};

// The parts of a body, in order, owned by it.
class TNetFormDataFields {
 public:
  TNetFormDataField& Add();
  void RemoveLast() { items_.pop_back(); }
  std::size_t Count() const { return items_.size(); }
  TNetFormDataField& operator[](std::size_t index) const { return *items_[index]; }

 private:
  std::vector<std::unique_ptr<TNetFormDataField>> items_;
};

class TNetMultiPartFormDataStream : public TStream {
 public:
  // Takes the boundary from the local clock.
  TNetMultiPartFormDataStream();
  // The same with the moment of construction given, so that the boundary is known in
  // advance.
  explicit TNetMultiPartFormDataStream(const platform::LocalDateTime& now);

  // Opens `fileName` for reading with other writers excluded and adds it as a part named
  // `fieldName`. The part's file name is the last component of the path; its type is
  // `contentType`, or the MIME table's type for the extension when that is empty.
  // Raises EFOpenError "Cannot open file "%s". %s" (nothing is added then).
  TNetFormDataField& AppendFilePart(std::string_view fieldName, const std::string& fileName,
                                    std::string_view contentType);

  // Eight hyphens and the construction time as "mmddyyhhnnsszzz": 23 characters.
  const std::string& BoundaryText() const { return boundary_; }
  // "multipart/form-data; boundary=" and the boundary: the request's Content-Type.
  const std::string& MultipartContentType() const { return contentType_; }
  TNetFormDataFields& Fields() { return fields_; }

  // Delivers the next bytes of the body; 0 at its end. A part's data is exactly as long
  // as the last size query measured it (or as long as the file was when reading reached
  // it): a file that has grown is cut there, and one that ends early raises EReadError.
  std::size_t Read(void* buffer, std::size_t count) override;
  // Raises ENetUnsupportedOperation.
  std::size_t Write(const void* buffer, std::size_t count) override;
  // (0, Beginning) restarts the body and returns 0; (0, End) measures the parts and
  // returns the total size; anything else moves nothing and returns the read position.
  std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
  // Raises ENetUnsupportedOperation.
  void SetSize(std::int64_t size) override;

 private:
  std::int64_t ComputeTotalSize();
  void BeginPart();
  void EndPartData();
  std::size_t ReadPartData(char* buffer, std::size_t count);
  void SetPending(std::string text);

  std::string boundary_;
  std::string contentType_;
  TNetFormDataFields fields_;

  // Reading state.
  bool started_ = false;
  std::size_t partIndex_ = 0;
  std::string pending_;  // part header, line break or closing line not yet handed out
  std::size_t pendingOffset_ = 0;
  TStream* source_ = nullptr;  // the current part's data, while it is being read
  std::int64_t sourceDelivered_ = 0;
  std::int64_t position_ = 0;
};

}  // namespace qb
