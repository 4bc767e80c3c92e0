// Variant values: a tagged value with the runtime's type codes, as the XML library keeps
// attribute values and the stored values of elements. Numbers, dates and booleans stay
// typed and become text only when asked.
//
// Wide strings (code 8) hold UTF-16 text. Turning one into program text needs the
// platform's code-page conversion, which this layer cannot reach: the conversions below
// raise EVariantTypeCastError for them, and callers above the platform narrow a wide
// string to an 8-bit string first.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/date_time.h"

namespace qb {

// The type codes.
enum class VarType : std::uint16_t {
  Empty = 0,
  Null = 1,
  Int16 = 2,
  Int32 = 3,
  Single = 4,
  Double = 5,
  Currency = 6,  // 64-bit integer scaled by 10000
  DateTime = 7,  // days since 1899-12-30
  WideString = 8,
  Boolean = 11,
  Int8 = 16,
  UInt8 = 17,
  UInt16 = 18,
  UInt32 = 19,
  Int64 = 20,
  String = 256,        // 8-bit text in the program code page
  ByteArray = 0x2011,  // array of unsigned 8-bit
};

class Variant {
 public:
  Variant() noexcept : int_(0) {}  // empty

  static Variant Null() { return Variant(VarType::Null); }
  static Variant FromInt16(std::int16_t v) { return Integral(VarType::Int16, v); }
  static Variant FromInt32(std::int32_t v) { return Integral(VarType::Int32, v); }
  static Variant FromInt8(std::int8_t v) { return Integral(VarType::Int8, v); }
  static Variant FromUInt8(std::uint8_t v) { return Integral(VarType::UInt8, v); }
  static Variant FromUInt16(std::uint16_t v) { return Integral(VarType::UInt16, v); }
  static Variant FromUInt32(std::uint32_t v) { return Integral(VarType::UInt32, v); }
  static Variant FromInt64(std::int64_t v) { return Integral(VarType::Int64, v); }
  static Variant FromBoolean(bool v) { return Integral(VarType::Boolean, v ? 1 : 0); }
  static Variant FromCurrency(std::int64_t scaled) { return Integral(VarType::Currency, scaled); }
  static Variant FromSingle(float v) { return Floating(VarType::Single, v); }
  static Variant FromDouble(double v) { return Floating(VarType::Double, v); }
  static Variant FromDateTime(TDateTime v) { return Floating(VarType::DateTime, v); }
  static Variant FromString(std::string text) { return Textual(VarType::String, std::move(text)); }
  static Variant FromWideString(std::u16string_view text);
  static Variant FromBytes(std::string bytes) { return Textual(VarType::ByteArray, std::move(bytes)); }

  VarType Type() const noexcept { return type_; }
  std::uint16_t TypeCode() const noexcept { return static_cast<std::uint16_t>(type_); }
  bool IsEmpty() const noexcept { return type_ == VarType::Empty; }
  bool IsNull() const noexcept { return type_ == VarType::Null; }
  bool IsIntegral() const noexcept;  // 2, 3, 16..20
  bool IsFloating() const noexcept;  // 4, 5, 7
  bool IsNumeric() const noexcept { return IsIntegral() || IsFloating() || type_ == VarType::Currency; }

  // Raw payloads; each is meaningful only for its own types.
  std::int64_t IntegerValue() const noexcept { return int_; }  // integral types, currency (scaled), boolean (0/1)
  double FloatValue() const noexcept { return float_; }        // single, double, date-time
  bool BooleanValue() const noexcept { return int_ != 0; }
  const std::string& Text() const noexcept { return text_; }  // 8-bit string, bytes of a byte array
  std::u16string WideText() const;                            // wide string

  // Same type and same payload.
  friend bool operator==(const Variant& a, const Variant& b) noexcept;

 private:
  explicit Variant(VarType type) noexcept : type_(type), int_(0) {}
  static Variant Integral(VarType type, std::int64_t v) {
    Variant r(type);
    r.int_ = v;
    return r;
  }
  static Variant Floating(VarType type, double v) {
    Variant r(type);
    r.float_ = v;
    return r;
  }
  static Variant Textual(VarType type, std::string text) {
    Variant r(type);
    r.text_ = std::move(text);
    return r;
  }

  VarType type_ = VarType::Empty;
  union {
    std::int64_t int_;
    double float_;
  };
  std::string text_;  // 8-bit text, bytes, or UTF-16 code units in native byte order
};

// The name of a type code in conversion messages ("String", "Integer", ...).
const char* VarTypeName(VarType type);

// --- The library's own text forms ----------------------------------------------------

// Scientific form with 15 significant digits and a signed 4-digit exponent:
// 1.50000000000000E+0000; not-a-number "Nan", infinities "Inf" and "-Inf".
std::string FloatToXmlText(double value);

// The float text rule: "." is the decimal point whatever the locale; leading and trailing
// blanks are allowed; "INF", "+INF", "-INF" and "NAN" (any case) are the special values.
// Raises Exception "'%s' is not a valid floating point value" otherwise.
double XmlTextToFloat(std::string_view text);
bool TryXmlTextToFloat(std::string_view text, double& value);

// The XML text of a value: null "{{null}}", integers in decimal, floats and currency in
// the float form, date-times in the date-time form, booleans "1"/"0", strings as they
// are, byte arrays in Base64, empty "". This is also the generic text of a value.
std::string VarToXmlText(const Variant& value);

// --- Conversions (EVariantTypeCastError "Could not convert variant of type (%s) into
// type (%s)" when a value does not convert) ------------------------------------------------

// Empty is false; numbers are true when not 0; text "true"/"false" (any case) or a number.
bool VarToBool(const Variant& value);
// Empty is 0; floats and currency round half to even; a true boolean is -1; text is an
// integer by the runtime's rules, else a float in the float text form, rounded.
std::int32_t VarToInt32(const Variant& value);
// Empty is 0; numbers directly; text by the float text rule.
double VarToDouble(const Variant& value);
// Empty is 0; numbers directly; text by the date-time text rule.
TDateTime VarToDateTime(const Variant& value);

// Equality across types: texts compare as bytes, numbers by value, a text against a
// number as the number it reads as (raising when it does not read as one), empty equals
// "" and 0, null equals only null, byte arrays equal only byte arrays.
bool VariantEquals(const Variant& a, const Variant& b);

}  // namespace qb
