// The shared formatting routine: a format text with percent directives and a list of
// typed arguments, as every log line and error message of the program is built.
//
// Directive: "%" ["-"] [index ":"] [width] ["." precision] type, where index, width and
// precision are digits or "*" (taken from the next argument). Types: d u x e f g n m p s,
// and "%%" for a percent sign. A directive without an argument raises EConvertError
// "No argument for format '%s'"; one that does not fit its argument raises EConvertError
// "Format '%s' invalid or incompatible with argument"; both name the whole format.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qb {

// One typed argument. Strings are referenced, not copied: an argument lives only for the
// duration of the call that formats it.
class FormatArg {
 public:
  enum class Kind { Integer, Int64, UInt64, Extended, Currency, String, Char, Pointer };

  FormatArg(int v) : kind_(Kind::Integer), int_(v) {}
  FormatArg(long v) : FormatArg(static_cast<long long>(v)) {}
  FormatArg(long long v) : kind_(Kind::Int64), int_(v) {}
  FormatArg(unsigned v) : kind_(Kind::Int64), int_(v) {}
  FormatArg(unsigned long v) : FormatArg(static_cast<unsigned long long>(v)) {}
  FormatArg(unsigned long long v) : kind_(Kind::UInt64), uint_(v) {}
  FormatArg(double v) : kind_(Kind::Extended), float_(v) {}
  FormatArg(char c) : kind_(Kind::Char), text_(&char_, 1), char_(c) {}
  FormatArg(const char* s) : kind_(Kind::String), text_(s ? std::string_view(s) : std::string_view()) {}
  FormatArg(std::string_view s) : kind_(Kind::String), text_(s) {}
  FormatArg(const std::string& s) : kind_(Kind::String), text_(s) {}
  FormatArg(const void* p) : kind_(Kind::Pointer), uint_(reinterpret_cast<std::uintptr_t>(p)) {}
  FormatArg(bool) = delete;

  // A currency amount: a 64-bit integer scaled by 10000.
  static FormatArg Currency(std::int64_t scaled) {
    FormatArg a(static_cast<long long>(scaled));
    a.kind_ = Kind::Currency;
    return a;
  }

  FormatArg(const FormatArg& other) { *this = other; }
  FormatArg& operator=(const FormatArg& other) {
    kind_ = other.kind_;
    int_ = other.int_;
    uint_ = other.uint_;
    float_ = other.float_;
    char_ = other.char_;
    text_ = kind_ == Kind::Char ? std::string_view(&char_, 1) : other.text_;
    return *this;
  }

  Kind kind() const { return kind_; }
  std::int64_t asInt() const { return int_; }
  std::uint64_t asUInt() const { return uint_; }
  double asFloat() const { return float_; }
  std::string_view asText() const { return text_; }

 private:
  Kind kind_;
  std::int64_t int_ = 0;
  std::uint64_t uint_ = 0;
  double float_ = 0;
  std::string_view text_;
  char char_ = 0;
};

std::string Format(std::string_view format, std::span<const FormatArg> args);

template <typename... Args>
std::string Format(std::string_view format, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return Format(format, std::span<const FormatArg>());
  } else {
    const FormatArg list[] = {FormatArg(args)...};
    return Format(format, std::span<const FormatArg>(list));
  }
}

// Scientific text of a value with `precision` significant digits and at least
// `exponentDigits` exponent digits: 1.5 with 15 and 4 gives "1.50000000000000E+0000".
// Not-a-number gives "NAN", infinities "INF" and "-INF".
std::string FloatToExponentText(double value, int precision, int exponentDigits);

}  // namespace qb
