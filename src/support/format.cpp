// Implementation details: the format is scanned once; each directive is parsed into its
// flags and rendered straight into the result. Floating-point digits come from the C
// library's correctly rounded conversions and are then laid out in the runtime's forms
// (exponent with a sign and at least three digits, thousands separators, currency).
#include "support/format.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "support/exception.h"

namespace qb {
namespace {

constexpr int kDefaultFloatPrecision = 15;
constexpr int kMaxFloatPrecision = 18;
// Widths and precisions beyond this are refused as invalid, so a format cannot ask for
// gigabytes of padding.
constexpr long long kMaxWidth = 1 << 20;

[[noreturn]] void ThrowInvalid(std::string_view format) {
  throw EConvertError(Format("Format '%s' invalid or incompatible with argument", std::string(format)));
}

[[noreturn]] void ThrowNoArgument(std::string_view format) {
  throw EConvertError(Format("No argument for format '%s'", std::string(format)));
}

std::string SpecialFloatText(double value) {
  if (std::isnan(value)) return "NAN";
  return value < 0 ? "-INF" : "INF";
}

// Digits and decimal exponent of a value rounded to `digits` significant digits:
// 1234.5 with 3 gives "123" and 4 (the value is 0.123 * 10^4).
void SignificantDigits(double value, int digits, std::string& mantissa, int& exponent, bool& negative) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", digits - 1, value);
  std::string_view text(buf);
  negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  mantissa.clear();
  const std::size_t e = text.find('e');
  for (char c : text.substr(0, e)) {
    if (c != '.') mantissa += c;
  }
  exponent = std::atoi(std::string(text.substr(e + 1)).c_str()) + 1;
  if (value == 0) exponent = 1;
}

std::string ExponentPart(int exponent, int minDigits, bool plusSign) {
  std::string text = "E";
  if (exponent < 0) {
    text += '-';
  } else if (plusSign) {
    text += '+';
  }
  std::string digits = std::to_string(std::abs(exponent));
  if (static_cast<int>(digits.size()) < minDigits) digits.insert(0, minDigits - digits.size(), '0');
  return text + digits;
}

std::string InsertThousands(const std::string& integerDigits) {
  std::string result;
  const std::size_t n = integerDigits.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) result += ',';
    result += integerDigits[i];
  }
  return result;
}

// Fixed notation, optionally with thousands separators; returns the unsigned text and
// reports the sign separately so that currency forms can place it.
std::string FixedText(double value, int decimals, bool thousands, bool& negative) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  std::string text(buf);
  negative = !text.empty() && text[0] == '-';
  if (negative) text.erase(0, 1);
  // "-0.00" is printed without its sign.
  if (negative && text.find_first_not_of("0.") == std::string::npos) negative = false;
  if (thousands) {
    const std::size_t dot = text.find('.');
    const std::string integer = text.substr(0, dot);
    text = InsertThousands(integer) + (dot == std::string::npos ? "" : text.substr(dot));
  }
  return text;
}

std::string GeneralText(double value, int precision) {
  if (!std::isfinite(value)) return SpecialFloatText(value);
  if (value == 0) return "0";
  std::string digits;
  int exponent = 0;
  bool negative = false;
  SignificantDigits(value, precision, digits, exponent, negative);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string result = negative ? "-" : "";
  if (exponent > precision || exponent < -3) {
    result += digits[0];
    if (digits.size() > 1) result += "." + digits.substr(1);
    return result + ExponentPart(exponent - 1, 0, false);
  }
  if (exponent <= 0) {
    return result + "0." + std::string(-exponent, '0') + digits;
  }
  if (static_cast<int>(digits.size()) <= exponent) {
    return result + digits + std::string(exponent - digits.size(), '0');
  }
  return result + digits.substr(0, exponent) + "." + digits.substr(exponent);
}

std::string IntegerText(std::uint64_t magnitude, bool negative, int precision) {
  std::string digits = std::to_string(magnitude);
  if (precision > 0 && static_cast<int>(digits.size()) < precision) {
    digits.insert(0, precision - digits.size(), '0');
  }
  return negative ? "-" + digits : digits;
}

std::string HexText(std::uint64_t value, int minDigits) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string digits;
  do {
    digits.insert(digits.begin(), kHex[value & 15]);
    value >>= 4;
  } while (value != 0);
  if (static_cast<int>(digits.size()) < minDigits) digits.insert(0, minDigits - digits.size(), '0');
  return digits;
}

struct Directive {
  bool leftAlign = false;
  int width = -1;
  int precision = -1;
  char type = 0;
};

class Formatter {
 public:
  Formatter(std::string_view format, std::span<const FormatArg> args) : format_(format), args_(args) {}

  std::string Run() {
    std::string out;
    out.reserve(format_.size() + 16);
    std::size_t i = 0;
    while (i < format_.size()) {
      const std::size_t percent = format_.find('%', i);
      if (percent == std::string_view::npos) {
        out.append(format_.substr(i));
        break;
      }
      out.append(format_.substr(i, percent - i));
      i = percent + 1;
      if (i < format_.size() && format_[i] == '%') {
        out += '%';
        ++i;
        continue;
      }
      Directive d = ParseDirective(i);
      std::string text = Render(d);
      const int pad = d.width - static_cast<int>(text.size());
      if (pad > 0) {
        if (d.leftAlign) {
          text.append(pad, ' ');
        } else {
          text.insert(0, pad, ' ');
        }
      }
      out += text;
    }
    return out;
  }

 private:
  const FormatArg& NextArg() {
    if (next_ >= args_.size()) ThrowNoArgument(format_);
    return args_[next_++];
  }

  // Digits, or "*" taking an integer argument; -1 when neither is present.
  int ParseNumber(std::size_t& i) {
    if (i < format_.size() && format_[i] == '*') {
      ++i;
      const FormatArg& arg = NextArg();
      if (arg.kind() != FormatArg::Kind::Integer || arg.asInt() > kMaxWidth) ThrowInvalid(format_);
      return static_cast<int>(arg.asInt());
    }
    if (i >= format_.size() || format_[i] < '0' || format_[i] > '9') return -1;
    long long value = 0;
    while (i < format_.size() && format_[i] >= '0' && format_[i] <= '9') {
      value = value * 10 + (format_[i] - '0');
      if (value > kMaxWidth) ThrowInvalid(format_);
      ++i;
    }
    return static_cast<int>(value);
  }

  Directive ParseDirective(std::size_t& i) {
    Directive d;
    int number = ParseNumber(i);
    if (number >= 0 && i < format_.size() && format_[i] == ':') {
      next_ = static_cast<std::size_t>(number);
      ++i;
      number = -1;
    }
    if (number < 0) {
      if (i < format_.size() && format_[i] == '-') {
        d.leftAlign = true;
        ++i;
      }
      number = ParseNumber(i);
    }
    d.width = number;
    if (i < format_.size() && format_[i] == '.') {
      ++i;
      d.precision = ParseNumber(i);
      if (d.precision < 0) d.precision = 0;
    }
    if (i >= format_.size()) ThrowInvalid(format_);
    char type = format_[i++];
    if (type >= 'A' && type <= 'Z') type = static_cast<char>(type - 'A' + 'a');
    d.type = type;
    return d;
  }

  std::string Render(const Directive& d) {
    const FormatArg& arg = NextArg();
    using Kind = FormatArg::Kind;
    switch (d.type) {
      case 'd':
        switch (arg.kind()) {
          case Kind::Integer:
          case Kind::Int64: {
            const std::int64_t v = arg.asInt();
            const std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
            return IntegerText(magnitude, v < 0, d.precision);
          }
          case Kind::UInt64: return IntegerText(arg.asUInt(), false, d.precision);
          default: ThrowInvalid(format_);
        }
      case 'u':
        switch (arg.kind()) {
          case Kind::Integer: return IntegerText(static_cast<std::uint32_t>(arg.asInt()), false, d.precision);
          case Kind::Int64: return IntegerText(static_cast<std::uint64_t>(arg.asInt()), false, d.precision);
          case Kind::UInt64: return IntegerText(arg.asUInt(), false, d.precision);
          default: ThrowInvalid(format_);
        }
      case 'x':
        switch (arg.kind()) {
          case Kind::Integer: return HexText(static_cast<std::uint32_t>(arg.asInt()), d.precision);
          case Kind::Int64: return HexText(static_cast<std::uint64_t>(arg.asInt()), d.precision);
          case Kind::UInt64: return HexText(arg.asUInt(), d.precision);
          default: ThrowInvalid(format_);
        }
      case 'e':
      case 'f':
      case 'g':
      case 'n':
      case 'm': return RenderFloat(d, arg);
      case 'p':
        if (arg.kind() != Kind::Pointer) ThrowInvalid(format_);
        return HexText(arg.asUInt(), static_cast<int>(sizeof(void*) * 2));
      case 's': {
        if (arg.kind() != Kind::String && arg.kind() != Kind::Char) ThrowInvalid(format_);
        std::string_view text = arg.asText();
        if (d.precision >= 0 && static_cast<std::size_t>(d.precision) < text.size()) {
          text = text.substr(0, d.precision);
        }
        return std::string(text);
      }
      default: ThrowInvalid(format_);
    }
  }

  std::string RenderFloat(const Directive& d, const FormatArg& arg) {
    double value = 0;
    if (arg.kind() == FormatArg::Kind::Extended) {
      value = arg.asFloat();
    } else if (arg.kind() == FormatArg::Kind::Currency) {
      value = static_cast<double>(arg.asInt()) / 10000.0;
    } else {
      ThrowInvalid(format_);
    }
    if (!std::isfinite(value)) return SpecialFloatText(value);
    int precision = d.precision;
    switch (d.type) {
      case 'e':
        if (precision < 0 || precision > kMaxFloatPrecision) precision = kDefaultFloatPrecision;
        return FloatToExponentText(value, precision, 3);
      case 'g':
        if (precision < 0 || precision > kMaxFloatPrecision) precision = kDefaultFloatPrecision;
        return GeneralText(value, precision);
      case 'f':
      case 'n': {
        if (precision < 0 || precision > kMaxFloatPrecision) precision = 2;
        bool negative = false;
        const std::string text = FixedText(value, precision, d.type == 'n', negative);
        return negative ? "-" + text : text;
      }
      default: {  // 'm': the default currency form "$1,234.50", negatives in parentheses
        if (precision < 0 || precision > kMaxFloatPrecision) precision = 2;
        bool negative = false;
        const std::string text = FixedText(value, precision, true, negative);
        return negative ? "($" + text + ")" : "$" + text;
      }
    }
  }

  std::string_view format_;
  std::span<const FormatArg> args_;
  std::size_t next_ = 0;
};

}  // namespace

std::string Format(std::string_view format, std::span<const FormatArg> args) { return Formatter(format, args).Run(); }

std::string FloatToExponentText(double value, int precision, int exponentDigits) {
  if (!std::isfinite(value)) return SpecialFloatText(value);
  if (precision < 1) precision = 1;
  std::string digits;
  int exponent = 0;
  bool negative = false;
  SignificantDigits(value, precision, digits, exponent, negative);
  std::string result = negative ? "-" : "";
  result += digits[0];
  if (digits.size() > 1) result += "." + digits.substr(1);
  return result + ExponentPart(value == 0 ? 0 : exponent - 1, exponentDigits, true);
}

}  // namespace qb
