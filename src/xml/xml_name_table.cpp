#include "xml/xml_name_table.h"

namespace qb {
namespace {

// Average bucket length beyond which the index takes over.
constexpr std::size_t kIndexThreshold = 8;

}  // namespace

TXmlNameTable::TXmlNameTable(std::size_t bucketCount)
    : buckets_(bucketCount == 0 ? 1 : bucketCount),
      text_(GetId("#text")),
      cdata_(GetId("#cdata-section")),
      comment_(GetId("#comment")),
      document_(GetId("#document")),
      xml_(GetId("xml")),
      encoding_(GetId("encoding")) {}

XmlNameId TXmlNameTable::GetId(std::string_view name) {
  if (name.empty()) return nullptr;
  const std::uint32_t hash = Hash(name);
  Bucket& bucket = buckets_[hash % buckets_.size()];
  if (index_.empty()) {
    for (std::size_t i = 0; i < bucket.hashes.size(); ++i) {
      if (bucket.hashes[i] == hash && *bucket.names[i] == name) return bucket.names[i].get();
    }
  } else if (const auto it = index_.find(name); it != index_.end()) {
    return it->second;
  }
  bucket.names.push_back(std::make_unique<std::string>(name));
  bucket.hashes.push_back(hash);
  const XmlNameId id = bucket.names.back().get();
  ++count_;
  if (!index_.empty()) {
    index_.emplace(*id, id);
  } else if (count_ > kIndexThreshold * buckets_.size()) {
    for (const Bucket& b : buckets_) {
      for (const auto& n : b.names) index_.emplace(*n, n.get());
    }
  }
  return id;
}

const std::string& TXmlNameTable::GetName(XmlNameId id) {
  static const std::string kEmpty;
  return id ? *id : kEmpty;
}

}  // namespace qb
