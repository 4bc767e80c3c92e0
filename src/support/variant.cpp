// Implementation details: a variant is a type code, one 64-bit numeric payload and one
// byte string (8-bit text, byte-array bytes, or UTF-16 code units), so copying one never
// allocates for numbers and short strings. The text forms here are the ones the XML
// library writes and reads back exactly; the conversions follow the runtime's rules.
#include "support/variant.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "support/base64.h"
#include "support/exception.h"
#include "support/format.h"
#include "support/strings.h"

namespace qb {
namespace {

[[noreturn]] void ThrowCast(VarType from, VarType to) {
  throw EVariantTypeCastError(
      Format("Could not convert variant of type (%s) into type (%s)", VarTypeName(from), VarTypeName(to)));
}

// Value of a numeric variant as a double (currency unscaled, boolean -1/0).
double NumericAsDouble(const Variant& v) {
  if (v.IsFloating()) return v.FloatValue();
  if (v.Type() == VarType::Currency) return static_cast<double>(v.IntegerValue()) / 10000.0;
  if (v.Type() == VarType::Boolean) return v.BooleanValue() ? -1.0 : 0.0;
  if (v.Type() == VarType::UInt32 || v.Type() == VarType::Int64) return static_cast<double>(v.IntegerValue());
  return static_cast<double>(v.IntegerValue());
}

bool IsNumberLike(const Variant& v) { return v.IsNumeric() || v.Type() == VarType::Boolean; }

// Half to even, within the 32-bit range; nothing otherwise.
bool RoundToInt32(double value, std::int32_t& out) {
  const double r = std::nearbyint(value);
  if (!(r >= -2147483648.0 && r <= 2147483647.0)) return false;
  out = static_cast<std::int32_t>(r);
  return true;
}

}  // namespace

Variant Variant::FromWideString(std::u16string_view text) {
  std::string units(text.size() * sizeof(char16_t), '\0');
  if (!text.empty()) std::memcpy(units.data(), text.data(), units.size());
  return Textual(VarType::WideString, std::move(units));
}

std::u16string Variant::WideText() const {
  std::u16string out(text_.size() / sizeof(char16_t), u'\0');
  if (!out.empty()) std::memcpy(out.data(), text_.data(), out.size() * sizeof(char16_t));
  return out;
}

bool Variant::IsIntegral() const noexcept {
  switch (type_) {
    case VarType::Int16:
    case VarType::Int32:
    case VarType::Int8:
    case VarType::UInt8:
    case VarType::UInt16:
    case VarType::UInt32:
    case VarType::Int64: return true;
    default: return false;
  }
}

bool Variant::IsFloating() const noexcept {
  return type_ == VarType::Single || type_ == VarType::Double || type_ == VarType::DateTime;
}

bool operator==(const Variant& a, const Variant& b) noexcept {
  if (a.type_ != b.type_) return false;
  if (a.IsFloating()) return a.float_ == b.float_;
  return a.int_ == b.int_ && a.text_ == b.text_;
}

const char* VarTypeName(VarType type) {
  switch (type) {
    case VarType::Empty: return "Empty";
    case VarType::Null: return "Null";
    case VarType::Int16: return "Smallint";
    case VarType::Int32: return "Integer";
    case VarType::Single: return "Single";
    case VarType::Double: return "Double";
    case VarType::Currency: return "Currency";
    case VarType::DateTime: return "Date";
    case VarType::WideString: return "WideString";
    case VarType::Boolean: return "Boolean";
    case VarType::Int8: return "ShortInt";
    case VarType::UInt8: return "Byte";
    case VarType::UInt16: return "Word";
    case VarType::UInt32: return "LongWord";
    case VarType::Int64: return "Int64";
    case VarType::String: return "String";
    case VarType::ByteArray: return "Array Byte";
  }
  return "Unknown";
}

std::string FloatToXmlText(double value) {
  if (std::isnan(value)) return "Nan";
  if (std::isinf(value)) return value < 0 ? "-Inf" : "Inf";
  return FloatToExponentText(value, 15, 4);
}

bool TryXmlTextToFloat(std::string_view text, double& value) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && text[begin] == ' ') ++begin;
  while (end > begin && text[end - 1] == ' ') --end;
  const std::string_view body = text.substr(begin, end - begin);
  // Syntax: [sign] digits [. digits] [E [sign] digits], at least one mantissa digit.
  std::size_t i = 0;
  if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
  const std::size_t mantissa = i;
  std::size_t digits = 0;
  while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++digits;
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++digits;
  }
  bool ok = digits > 0;
  if (ok && i < body.size() && (body[i] == 'E' || body[i] == 'e')) {
    ++i;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
    std::size_t exponentDigits = 0;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++exponentDigits;
    ok = exponentDigits > 0;
  }
  if (ok && i == body.size()) {
    // from_chars takes no "+" and ignores the locale.
    const std::size_t from = body[0] == '+' ? 1 : 0;
    double parsed = 0;
    const auto result = std::from_chars(body.data() + from, body.data() + body.size(), parsed);
    if (result.ec != std::errc() || result.ptr != body.data() + body.size()) return false;
    value = parsed;
    return true;
  }
  // A conversion that fails at once may still name a special value.
  if (digits == 0 && mantissa <= 1) {
    if (SameTextAscii(body, "INF") || SameTextAscii(body, "+INF")) {
      value = std::numeric_limits<double>::infinity();
      return true;
    }
    if (SameTextAscii(body, "-INF")) {
      value = -std::numeric_limits<double>::infinity();
      return true;
    }
    if (SameTextAscii(body, "NAN")) {
      value = std::numeric_limits<double>::quiet_NaN();
      return true;
    }
  }
  return false;
}

double XmlTextToFloat(std::string_view text) {
  double value = 0;
  if (!TryXmlTextToFloat(text, value)) throw Exception(Format("'%s' is not a valid floating point value", text));
  return value;
}

std::string VarToXmlText(const Variant& v) {
  switch (v.Type()) {
    case VarType::Empty: return "";
    case VarType::Null: return "{{null}}";
    case VarType::Int16:
    case VarType::Int32:
    case VarType::Int8:
    case VarType::UInt8:
    case VarType::UInt16:
    case VarType::UInt32:
    case VarType::Int64: return std::to_string(v.IntegerValue());
    case VarType::Single:
    case VarType::Double: return FloatToXmlText(v.FloatValue());
    case VarType::Currency: return FloatToXmlText(static_cast<double>(v.IntegerValue()) / 10000.0);
    case VarType::DateTime: return DateTimeToXmlText(v.FloatValue());
    case VarType::Boolean: return v.BooleanValue() ? "1" : "0";
    case VarType::String: return v.Text();
    case VarType::ByteArray: return Base64Encode(v.Text());
    case VarType::WideString: break;
  }
  ThrowCast(v.Type(), VarType::String);
}

bool VarToBool(const Variant& v) {
  if (v.IsEmpty()) return false;
  if (IsNumberLike(v)) return NumericAsDouble(v) != 0;
  if (v.Type() == VarType::String) {
    const std::string_view text = Trim(v.Text());
    if (SameTextAscii(text, "true")) return true;
    if (SameTextAscii(text, "false")) return false;
    double number = 0;
    if (TryXmlTextToFloat(text, number)) return number != 0;
  }
  ThrowCast(v.Type(), VarType::Boolean);
}

std::int32_t VarToInt32(const Variant& v) {
  std::int32_t result = 0;
  if (v.IsEmpty()) return 0;
  if (v.IsIntegral() || v.Type() == VarType::Boolean) {
    const std::int64_t n = v.Type() == VarType::Boolean ? (v.BooleanValue() ? -1 : 0) : v.IntegerValue();
    if (n >= INT32_MIN && n <= INT32_MAX) return static_cast<std::int32_t>(n);
  } else if (IsNumberLike(v)) {
    if (RoundToInt32(NumericAsDouble(v), result)) return result;
  } else if (v.Type() == VarType::String) {
    if (const auto n = TryStrToInt(v.Text())) return *n;
    double number = 0;
    if (TryXmlTextToFloat(v.Text(), number) && RoundToInt32(number, result)) return result;
  }
  ThrowCast(v.Type(), VarType::Int32);
}

double VarToDouble(const Variant& v) {
  if (v.IsEmpty()) return 0;
  if (IsNumberLike(v)) return NumericAsDouble(v);
  double number = 0;
  if (v.Type() == VarType::String && TryXmlTextToFloat(v.Text(), number)) return number;
  ThrowCast(v.Type(), VarType::Double);
}

TDateTime VarToDateTime(const Variant& v) {
  if (v.IsEmpty()) return 0;
  if (IsNumberLike(v)) return NumericAsDouble(v);
  if (v.Type() == VarType::String) {
    try {
      return XmlTextToDateTime(v.Text());
    } catch (const EConvertError&) {
    }
  }
  ThrowCast(v.Type(), VarType::DateTime);
}

bool VariantEquals(const Variant& a, const Variant& b) {
  if (a.IsNull() || b.IsNull()) return a.IsNull() && b.IsNull();
  if (a.IsEmpty() && b.IsEmpty()) return true;
  if (a.Type() == VarType::ByteArray || b.Type() == VarType::ByteArray) {
    if (a.Type() == b.Type()) return a.Text() == b.Text();
    ThrowCast(a.Type(), b.Type());
  }
  if (a.Type() == VarType::WideString || b.Type() == VarType::WideString) {
    if (a.Type() == b.Type()) return a.Text() == b.Text();
    ThrowCast(a.Type(), b.Type());
  }
  const bool aText = a.Type() == VarType::String || a.IsEmpty();
  const bool bText = b.Type() == VarType::String || b.IsEmpty();
  if (aText && bText) return a.Text() == b.Text();
  if (a.IsIntegral() && b.IsIntegral()) return a.IntegerValue() == b.IntegerValue();
  return VarToDouble(a) == VarToDouble(b);
}

}  // namespace qb
