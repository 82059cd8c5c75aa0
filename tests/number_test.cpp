// The port file's number reading: the decimal prefix rules and correct rounding.
#include "config/number.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace qel {
namespace {

double Parse(const std::string& text, std::size_t* used = nullptr) {
  const char* stop = nullptr;
  double value = ParseNumber(text.data(), text.data() + text.size(), &stop);
  if (used != nullptr) *used = static_cast<std::size_t>(stop - text.data());
  return value;
}

struct NumberCase {
  const char* text;
  double value;
  std::size_t used;
};

class NumberPrefix : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberPrefix, ReadsTheLongestDecimalPrefix) {
  const NumberCase& c = GetParam();
  std::size_t used = 0;
  double value = Parse(c.text, &used);
  EXPECT_EQ(value, c.value) << '"' << c.text << '"';
  EXPECT_EQ(std::signbit(value), std::signbit(c.value)) << '"' << c.text << '"';
  EXPECT_EQ(used, c.used) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, NumberPrefix,
    ::testing::Values(
        NumberCase{"55.97", 55.97, 5}, NumberCase{" \t12.5abc", 12.5, 6},
        NumberCase{"\n\v\f\r7", 7.0, 5}, NumberCase{"abc", 0.0, 0}, NumberCase{"", 0.0, 0},
        NumberCase{"   ", 0.0, 0}, NumberCase{"1d2", 100.0, 3}, NumberCase{"1D-2", 0.01, 4},
        NumberCase{"2.5E+3", 2500.0, 6}, NumberCase{"2.5e", 2.5, 3}, NumberCase{"2.5e+", 2.5, 3},
        NumberCase{"2.5dx", 2.5, 3}, NumberCase{"-.5", -0.5, 3}, NumberCase{"+3", 3.0, 2},
        NumberCase{"5.", 5.0, 2}, NumberCase{".", 0.0, 0}, NumberCase{"-", 0.0, 0},
        NumberCase{"+-1", 0.0, 0}, NumberCase{".e5", 0.0, 0}, NumberCase{"-0", -0.0, 2},
        // No hexadecimal form: "0x1A" is the number 0 followed by text.
        NumberCase{"0x1A", 0.0, 1}, NumberCase{"0X1p3", 0.0, 1},
        // No infinity or not-a-number words.
        NumberCase{"inf", 0.0, 0}, NumberCase{"INFINITY", 0.0, 0}, NumberCase{"nan", 0.0, 0},
        NumberCase{"-nan(1)", 0.0, 0}, NumberCase{"1,5", 1.0, 1}, NumberCase{"30.0 km", 30.0, 4},
        NumberCase{"1e400", HUGE_VAL, 5}, NumberCase{"-1d400", -HUGE_VAL, 6},
        NumberCase{"1e-400", 0.0, 6}, NumberCase{"-1e-400", -0.0, 7},
        NumberCase{"0.0000001e-320", 0.0, 14}, NumberCase{"0e99999999999", 0.0, 13},
        NumberCase{"4.9e-324", 4.9406564584124654e-324, 8},
        NumberCase{"000000000000000000000000012", 12.0, 27}));

TEST(Number, StopsAtTheGivenEnd) {
  const char text[] = "12345";
  EXPECT_EQ(ParseNumber(text, text + 2), 12.0);
  EXPECT_EQ(ParseNumber(text, text), 0.0);
}

TEST(Number, LongDigitStringsRoundCorrectly) {
  // 1 + 2^-53 lies halfway between two doubles; a trailing non-zero digit far out
  // decides the rounding upward.
  std::string halfway = "1.00000000000000011102230246251565404236316680908203125";
  EXPECT_EQ(Parse(halfway), 1.0);  // ties to even
  EXPECT_EQ(Parse(halfway + std::string(5000, '0') + "1"), std::nextafter(1.0, 2.0));
  std::string long_integer = std::string(1000, '9');
  EXPECT_EQ(Parse(long_integer), std::strtod(long_integer.c_str(), nullptr));
}

TEST(Number, AgreesWithCorrectlyRoundedStrtodOnRandomDecimals) {
  // glibc's strtod rounds correctly in the C locale; on plain decimal text the two must agree.
  std::mt19937_64 random(20261211);
  std::uniform_int_distribution<int> digit(0, 9), length(1, 25), exponent(-330, 310);
  for (int i = 0; i < 20000; ++i) {
    std::string text = random() % 2 ? "-" : "";
    int before = length(random) % 8, after = length(random);
    for (int k = 0; k < before; ++k) text += static_cast<char>('0' + digit(random));
    text += '.';
    for (int k = 0; k < after; ++k) text += static_cast<char>('0' + digit(random));
    text += 'e' + std::to_string(exponent(random));
    double expected = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(Parse(text), expected) << text;
    std::string with_d = text;
    with_d[with_d.find('e')] = 'd';
    ASSERT_EQ(Parse(with_d), expected) << with_d;
  }
}

TEST(Number, IgnoresTheCLocale) {
  const char* locales[] = {"de_DE.UTF-8", "de_DE", "fr_FR.UTF-8", "ru_RU.UTF-8"};
  const char* chosen = nullptr;
  for (const char* name : locales) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
      chosen = name;
      break;
    }
  }
  if (chosen == nullptr) GTEST_SKIP() << "no locale with a decimal comma is installed";
  EXPECT_EQ(Parse("55.97"), 55.97);
  EXPECT_EQ(Parse("1,5"), 1.0);
  std::setlocale(LC_NUMERIC, "C");
}

}  // namespace
}  // namespace qel
