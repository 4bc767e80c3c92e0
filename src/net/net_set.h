// TNetSet: a small set of enumeration values, as the transport and HTTP options use them
// (TLS versions, verification modes, client options).
#pragma once

#include <initializer_list>

namespace qb {

template <typename E>
class TNetSet {
 public:
  TNetSet() = default;
  TNetSet(std::initializer_list<E> values) {
    for (E v : values) Include(v);
  }
  bool Contains(E v) const { return (bits_ >> static_cast<unsigned>(v)) & 1u; }
  void Include(E v) { bits_ |= 1u << static_cast<unsigned>(v); }
  void Exclude(E v) { bits_ &= ~(1u << static_cast<unsigned>(v)); }
  bool Empty() const { return bits_ == 0; }
  int Count() const { return __builtin_popcount(bits_); }
  friend bool operator==(const TNetSet&, const TNetSet&) = default;

 private:
  unsigned bits_ = 0;
};

}  // namespace qb
