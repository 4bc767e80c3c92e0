#include "support/variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/date_time.h"
#include "support/exception.h"

namespace qb {
namespace {

TEST(VariantTest, XmlTextOfEveryTypeCode) {
  const struct {
    Variant value;
    const char* text;
  } cases[] = {
      {Variant(), ""},
      {Variant::Null(), "{{null}}"},
      {Variant::FromInt16(-32768), "-32768"},
      {Variant::FromInt32(42), "42"},
      {Variant::FromInt8(-5), "-5"},
      {Variant::FromUInt8(255), "255"},
      {Variant::FromUInt16(65535), "65535"},
      {Variant::FromUInt32(4294967295u), "4294967295"},
      {Variant::FromInt64(-9223372036854775807LL - 1), "-9223372036854775808"},
      {Variant::FromSingle(1.5f), "1.50000000000000E+0000"},
      {Variant::FromDouble(-0.0025), "-2.50000000000000E-0003"},
      {Variant::FromDouble(0), "0.00000000000000E+0000"},
      {Variant::FromDouble(123456789012345678.0), "1.23456789012346E+0017"},
      {Variant::FromDouble(std::numeric_limits<double>::quiet_NaN()), "Nan"},
      {Variant::FromDouble(std::numeric_limits<double>::infinity()), "Inf"},
      {Variant::FromDouble(-std::numeric_limits<double>::infinity()), "-Inf"},
      {Variant::FromCurrency(15000), "1.50000000000000E+0000"},
      {Variant::FromDateTime(EncodeDate(2024, 2, 29) + EncodeTime(13, 45, 30, 999)), "2024-02-29T13:45:30"},
      {Variant::FromBoolean(true), "1"},
      {Variant::FromBoolean(false), "0"},
      {Variant::FromString("C:\\in "), "C:\\in "},
      {Variant::FromBytes("abc"), "YWJj"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, VarToXmlText(c.value)) << "type " << c.value.TypeCode();
  // Program text of a wide string needs the platform; this layer refuses it.
  EXPECT_THROW(VarToXmlText(Variant::FromWideString(u"x")), EVariantTypeCastError);
}

TEST(VariantTest, FloatTextRule) {
  const struct {
    const char* text;
    double value;
  } good[] = {
      {"1.5", 1.5},         {"1.50000000000000E+0000", 1.5},
      {"-2.5e-3", -0.0025}, {" 7 ", 7},
      {"+.5", 0.5},         {"5.", 5},
      {"INF", INFINITY},    {"+inf", INFINITY},
      {"-Inf", -INFINITY},
  };
  for (const auto& c : good) EXPECT_EQ(c.value, XmlTextToFloat(c.text)) << c.text;
  EXPECT_TRUE(std::isnan(XmlTextToFloat("nan")));
  for (const char* bad : {"1,5", "", "abc", "1e", "1.5x", "- 1", "infinity", "1e999", "+-1"}) {
    try {
      XmlTextToFloat(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const Exception& e) {
      EXPECT_EQ(std::string("'") + bad + "' is not a valid floating point value", e.Message());
      EXPECT_STREQ("Exception", e.ClassName());
    }
  }
}

TEST(VariantTest, ConversionsFollowTheRuntimeRules) {
  EXPECT_TRUE(VarToBool(Variant::FromString("TRUE")));
  EXPECT_FALSE(VarToBool(Variant::FromString("false")));
  EXPECT_TRUE(VarToBool(Variant::FromString("2")));
  EXPECT_FALSE(VarToBool(Variant::FromString("0")));
  EXPECT_FALSE(VarToBool(Variant()));
  EXPECT_TRUE(VarToBool(Variant::FromDouble(0.1)));

  EXPECT_EQ(12, VarToInt32(Variant::FromString("12")));
  EXPECT_EQ(31, VarToInt32(Variant::FromString("$1F")));
  EXPECT_EQ(2, VarToInt32(Variant::FromString("2.5")));  // half to even
  EXPECT_EQ(4, VarToInt32(Variant::FromDouble(3.5)));
  EXPECT_EQ(-1, VarToInt32(Variant::FromBoolean(true)));
  EXPECT_EQ(2, VarToInt32(Variant::FromCurrency(15000)));
  EXPECT_EQ(0, VarToInt32(Variant()));
  EXPECT_EQ(1.5, VarToDouble(Variant::FromCurrency(15000)));
  EXPECT_EQ(EncodeDate(2024, 1, 2), VarToDateTime(Variant::FromString("2024-01-02")));

  const struct {
    Variant value;
    int target;  // 0 bool, 1 int, 2 double, 3 date-time
    const char* message;
  } bad[] = {
      {Variant::FromString("yes"), 0, "Could not convert variant of type (String) into type (Boolean)"},
      {Variant::Null(), 0, "Could not convert variant of type (Null) into type (Boolean)"},
      {Variant::FromString("12x"), 1, "Could not convert variant of type (String) into type (Integer)"},
      {Variant::FromString("3000000000"), 1, "Could not convert variant of type (String) into type (Integer)"},
      {Variant::FromInt64(1LL << 40), 1, "Could not convert variant of type (Int64) into type (Integer)"},
      {Variant::FromBytes("x"), 2, "Could not convert variant of type (Array Byte) into type (Double)"},
      {Variant::FromString("noon"), 3, "Could not convert variant of type (String) into type (Date)"},
  };
  for (const auto& c : bad) {
    try {
      switch (c.target) {
        case 0: VarToBool(c.value); break;
        case 1: VarToInt32(c.value); break;
        case 2: VarToDouble(c.value); break;
        default: VarToDateTime(c.value); break;
      }
      ADD_FAILURE() << "converted " << c.message;
    } catch (const EVariantTypeCastError& e) {
      EXPECT_EQ(c.message, e.Message());
    }
  }
}

TEST(VariantTest, EqualityAcrossTypes) {
  EXPECT_TRUE(VariantEquals(Variant::FromString("7"), Variant::FromInt32(7)));
  EXPECT_TRUE(VariantEquals(Variant::FromInt16(7), Variant::FromInt64(7)));
  EXPECT_TRUE(VariantEquals(Variant::FromDouble(1.5), Variant::FromCurrency(15000)));
  EXPECT_TRUE(VariantEquals(Variant(), Variant::FromString("")));
  EXPECT_FALSE(VariantEquals(Variant::FromString("a"), Variant::FromString("A")));
  EXPECT_FALSE(VariantEquals(Variant::Null(), Variant()));
  EXPECT_TRUE(VariantEquals(Variant::Null(), Variant::Null()));
  EXPECT_THROW(VariantEquals(Variant::FromString("x"), Variant::FromInt32(1)), EVariantTypeCastError);
}

TEST(DateTimeTest, EncodeAndDecodeOnTheDayScale) {
  const struct {
    DateTimeParts parts;
    double value;
  } cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0},
      {{1900, 1, 1, 0, 0, 0, 0}, 2},
      {{2000, 2, 29, 6, 0, 0, 0}, 36585.25},
      {{1899, 12, 29, 6, 0, 0, 0}, -1.25},  // before day 0 the time still counts forward
      {{1, 1, 1, 0, 0, 0, 0}, -693593},
      {{9999, 12, 31, 12, 0, 0, 0}, 2958465.5},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(c.value, EncodeDateTime(c.parts)) << c.value;
    EXPECT_EQ(c.parts, DecodeDateTime(c.value)) << c.value;
  }
  // Rounding to the millisecond carries into the next day instead of second 60.
  EXPECT_EQ((DateTimeParts{2000, 1, 2, 0, 0, 0, 0}), DecodeDateTime(EncodeDate(2000, 1, 1) + 0.99999999999));
  EXPECT_THROW(DecodeDateTime(std::nan("")), EConvertError);
}

TEST(DateTimeTest, CalendarErrors) {
  const struct {
    DateTimeParts parts;
    const char* message;
  } cases[] = {
      {{2023, 2, 29, 0, 0, 0, 0}, "Invalid argument to date encode"},
      {{1900, 2, 29, 0, 0, 0, 0}, "Invalid argument to date encode"},
      {{0, 1, 1, 0, 0, 0, 0}, "Invalid argument to date encode"},
      {{2024, 13, 1, 0, 0, 0, 0}, "Invalid argument to date encode"},
      {{2024, 4, 31, 0, 0, 0, 0}, "Invalid argument to date encode"},
      {{2024, 1, 1, 24, 0, 0, 0}, "Invalid argument to time encode"},
      {{2024, 1, 1, 0, 60, 0, 0}, "Invalid argument to time encode"},
  };
  for (const auto& c : cases) {
    try {
      EncodeDateTime(c.parts);
      ADD_FAILURE() << c.message;
    } catch (const EConvertError& e) {
      EXPECT_EQ(c.message, e.Message());
    }
  }
}

TEST(DateTimeTest, XmlTextRule) {
  EXPECT_EQ("2024-02-29T13:45:30", DateTimeToXmlText(XmlTextToDateTime("2024-02-29T13:45:30")));
  EXPECT_EQ("0987-06-05T04:03:02", DateTimeToXmlText(XmlTextToDateTime("987-6-5T4:3:2")));
  // A missing separator ends the reading: later fields are 0.
  EXPECT_EQ(EncodeDate(2024, 2, 29), XmlTextToDateTime("2024-02-29"));
  EXPECT_EQ(EncodeDate(2024, 2, 29), XmlTextToDateTime("2024-02-29 13:45:30"));
  EXPECT_EQ(EncodeDate(2024, 2, 29) + EncodeTime(13, 0, 0, 0), XmlTextToDateTime("2024-02-29T13"));
  for (const char* bad : {"", "2024", "2024-02", "2023-02-29", "2024-01-01T25:00:00", "99999999999-1-1"}) {
    EXPECT_THROW(XmlTextToDateTime(bad), EConvertError) << bad;
  }
}

}  // namespace
}  // namespace qb
