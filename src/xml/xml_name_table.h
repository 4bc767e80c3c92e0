// The name table of the XML library: every element, attribute and processing-instruction
// name of a tree is interned once, so that names compare as identities. The ID of a name
// is the address of its interned copy, stable while the table lives; the empty name is
// ID 0 (nullptr) and is never stored. Names only ever get added.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "support/ref_counted.h"

namespace qb {

using XmlNameId = const std::string*;

class TXmlNameTable final : public RefCounted {
 public:
  static constexpr std::size_t kDefaultBucketCount = 499;

  explicit TXmlNameTable(std::size_t bucketCount = kDefaultBucketCount);

  // IXmlNameTable
  XmlNameId GetId(std::string_view name);           // interns; nullptr for ""
  static const std::string& GetName(XmlNameId id);  // "" for nullptr

  // The 32-bit name hash: h = h + ((h << 6) ^ b) over the bytes, from 0.
  static std::uint32_t Hash(std::string_view name) noexcept {
    std::uint32_t h = 0;
    for (const char c : name) h += (h << 6) ^ static_cast<unsigned char>(c);
    return h;
  }

  // The six names every table starts with, in interning order.
  XmlNameId TextId() const noexcept { return text_; }          // "#text"
  XmlNameId CDATAId() const noexcept { return cdata_; }        // "#cdata-section"
  XmlNameId CommentId() const noexcept { return comment_; }    // "#comment"
  XmlNameId DocumentId() const noexcept { return document_; }  // "#document"
  XmlNameId XmlId() const noexcept { return xml_; }            // "xml"
  XmlNameId EncodingId() const noexcept { return encoding_; }  // "encoding"

  // Bucket access for the binary form: the names of a bucket in interning order.
  std::size_t BucketCount() const noexcept { return buckets_.size(); }
  std::size_t NameCount() const noexcept { return count_; }
  std::size_t BucketSize(std::size_t bucket) const { return buckets_[bucket].names.size(); }
  XmlNameId BucketName(std::size_t bucket, std::size_t index) const { return buckets_[bucket].names[index].get(); }

 private:
  // Own buckets, not std::unordered_map: the binary form writes the names in their order.
  struct Bucket {
    std::vector<std::unique_ptr<std::string>> names;
    std::vector<std::uint32_t> hashes;  // parallel to names
  };

  std::vector<Bucket> buckets_;
  std::size_t count_ = 0;
  // Once the buckets grow long (a document of very many distinct names), lookups go
  // through this index of every name instead, so that interning stays constant time.
  std::unordered_map<std::string_view, XmlNameId> index_;
  XmlNameId text_;
  XmlNameId cdata_;
  XmlNameId comment_;
  XmlNameId document_;
  XmlNameId xml_;
  XmlNameId encoding_;
};

using IXmlNameTable = TXmlNameTable;

}  // namespace qb
