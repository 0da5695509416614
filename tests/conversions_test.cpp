// The bridge's own conversions: numeric text to double, and leg descriptions
// to the strategy leg table.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "natives/frame.h"
#include "natives/numeric_text.h"
#include "natives/strategy_legs.h"

using namespace natives;

namespace {

double FromText(const std::string& text) {
  char buffer[kNumericTextBytes];
  std::memset(buffer, 'Z', sizeof buffer);  // bytes after the zero must not matter
  std::memcpy(buffer, text.data(), std::min(text.size() + 1, sizeof buffer));
  return NumericTextToDouble(buffer);
}

TEST(NumericText, AcceptsExactlyTheDecimalShape) {
  struct Case {
    const char* text;
    double value;
  } cases[] = {
      {"1234.5", 1234.5}, {"-0.25", -0.25}, {"  7  ", 7.0},   {"1.5E3", 1500.0}, {"+3", 3.0},
      {".5", 0.5},        {"5.", 5.0},      {"2e-2", 0.02},   {"1E+2", 100.0},   {"0", 0.0},
      {"-0", 0.0},        {"007", 7.0},     {"1,234.5", 0.0}, {"12abc", 0.0},    {"", 0.0},
      {"   ", 0.0},       {"12,5", 0.0},    {".", 0.0},       {"+", 0.0},        {"1.2.3", 0.0},
      {"1e", 0.0},        {"1e+", 0.0},     {"e5", 0.0},      {"--1", 0.0},      {"1 2", 0.0},
      {"\t1", 0.0},       {"0x10", 0.0},    {"inf", 0.0},     {"nan", 0.0},      {"1e999", 0.0},
      {"-1e999", 0.0},    {"1d5", 0.0},
  };
  for (const auto& c : cases) EXPECT_EQ(FromText(c.text), c.value) << '"' << c.text << '"';
}

TEST(NumericText, ReadsAtMost21Bytes) {
  const char digits[kNumericTextBytes] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '1',
                                          '2', '3', '4', '5', '6', '7', '8', '9', '0', '1'};
  EXPECT_EQ(NumericTextToDouble(digits), 123456789012345678901.0);
}

TEST(NumericText, IgnoresTheProcessLocale) {
  // A comma-decimal locale must change nothing. On Linux the test run
  // provides one (generated into LOCPATH); Windows has "German" built in.
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous != nullptr ? previous : "C";
  bool comma = false;
  for (const char* name : {"de_DE.UTF-8", "de_DE", "German"}) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr &&
        std::string(std::localeconv()->decimal_point) == ",") {
      comma = true;
      break;
    }
  }
  if (!comma) {
    std::setlocale(LC_NUMERIC, saved.c_str());
    if (std::getenv("LOCPATH") != nullptr) FAIL() << "the test run's generated locale is missing";
    GTEST_SKIP() << "no comma-decimal locale on this machine: the test proves nothing here";
  }
  EXPECT_EQ(FromText("12.5"), 12.5);
  EXPECT_EQ(FromText("12,5"), 0.0);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(Legs, ParseSplitsFiveFieldsKeepingLaterSeparators) {
  LegFields f = Parse("B\001  ABC  \001X\001-2\001Y1");
  EXPECT_EQ(f.field[0], "B");
  EXPECT_EQ(f.field[1], "  ABC  ");
  EXPECT_EQ(f.field[3], "-2");
  EXPECT_EQ(f.field[4], "Y1");
  f = Parse("a\001b\001c\001d\001e\001f");
  EXPECT_EQ(f.field[4], "e\001f");
  f = Parse("a\001b\001c\001d");  // only three separators: field 4 is empty
  EXPECT_EQ(f.field[2], "c");
  EXPECT_EQ(f.field[3], "");
  EXPECT_EQ(f.field[4], "d");
}

TEST(Legs, SplitAtTheFirstSeparatorOnly) {
  EXPECT_EQ(GetHostAndPort("host:4000"), std::make_pair(std::string("host"), std::string("4000")));
  EXPECT_EQ(GetHostAndPort("host"), std::make_pair(std::string(), std::string("host")));
  EXPECT_EQ(GetHostAndPort("a:b:c"), std::make_pair(std::string("a"), std::string("b:c")));
  EXPECT_EQ(GetHostAndPort(":4000"), std::make_pair(std::string(), std::string("4000")));
  EXPECT_EQ(GetHostAndPort(""), std::make_pair(std::string(), std::string()));
}

TEST(Legs, IntegerRule) {
  struct Case {
    const char* text;
    bool ok;
    int32_t value;
  } cases[] = {
      {"-2", true, -2},
      {"  42", true, 42},
      {"+7", true, 7},
      {"$1F", true, 31},
      {"0x10", true, 16},
      {"-$10", true, -16},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"42 ", false, 0},
      {"", false, 0},
      {"   ", false, 0},
      {"4a", false, 0},
      {"$", false, 0},
      {"0x", false, 0},
      {"$G", false, 0},
      {"1.0", false, 0},
      {"0x80000000", false, 0},
      {"\t1", false, 0},
      {"- 1", false, 0},
  };
  for (const auto& c : cases) {
    int32_t value = 0;
    EXPECT_EQ(ParseLegInteger(c.text, &value), c.ok) << '"' << c.text << '"';
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(Legs, LegBytesSitAtTheirOffsets) {
  unsigned char table[kLegTableBytes] = {};
  FillLeg(table, 2, Parse("BUY\001  ABC  \001X\001-2\001Y1"));
  const unsigned char* leg = table + 2 * kLegBytes;
  EXPECT_EQ(leg[0], 'B');
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(leg + 1)), "ABC");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(leg + 52)), "X");
  EXPECT_EQ(leg[63], 0xFE);
  EXPECT_EQ(leg[66], 0xFF);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(leg + 67)), "Y1");
  for (size_t i = 0; i < kLegTableBytes; ++i)
    if (i < 2 * kLegBytes || i >= 3 * kLegBytes) {
      ASSERT_EQ(table[i], 0) << i;
    }
}

TEST(Legs, OverlongFieldsAreCutAtTheirWidths) {
  unsigned char table[kLegTableBytes];
  std::memset(table, 0, sizeof table);
  const std::string f2(70, 'a'), f3(20, 'b'), f5(20, 'c');
  FillLeg(table, 15, Parse("S\001" + f2 + "\001" + f3 + "\0010\001" + f5));
  const unsigned char* leg = table + 15 * kLegBytes;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(leg + 1)), std::string(50, 'a'));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(leg + 52)), std::string(10, 'b'));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(leg + 67)), std::string(10, 'c'));
  EXPECT_EQ(leg[77], 0);  // the last byte of the table stays the terminator
}

TEST(Legs, InvalidLegsThrow) {
  unsigned char table[kLegTableBytes] = {};
  EXPECT_THROW(FillLeg(table, 0, Parse("\001a\001b\0011\001c")), std::invalid_argument);
  EXPECT_THROW(FillLeg(table, 0, Parse("B\001a\001b\0011 \001c")), std::invalid_argument);
  EXPECT_THROW(FillLeg(table, 16, Parse("B\001a\001b\0011\001c")), std::out_of_range);
}

}  // namespace
