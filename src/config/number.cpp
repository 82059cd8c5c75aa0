// Decimal prefix scanning; the conversion itself is std::from_chars, which rounds
// correctly and ignores the locale.
#include "config/number.h"

#include <charconv>
#include <limits>
#include <string>
#include <system_error>

namespace qel {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The white space isspace() knows in the C locale.
bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

double ParseNumber(const char* begin, const char* end, const char** stop) {
  if (stop != nullptr) *stop = begin;
  const char* p = begin;
  while (p < end && IsSpace(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  const char* mantissa = p;
  // Decimal magnitude of the mantissa's first non-zero digit, to tell an
  // overflow from an underflow when the conversion reports either.
  long long magnitude = 0;
  bool seen_nonzero = false;
  std::size_t digits = 0;
  while (p < end && IsDigit(*p)) {
    if (*p != '0') seen_nonzero = true;
    if (seen_nonzero) ++magnitude;
    ++p;
    ++digits;
  }
  if (p < end && *p == '.') {
    ++p;
    while (p < end && IsDigit(*p)) {
      if (!seen_nonzero) {
        if (*p != '0')
          seen_nonzero = true;
        else
          --magnitude;
      }
      ++p;
      ++digits;
    }
  }
  if (digits == 0) return 0.0;
  const char* mantissa_end = p;
  char exponent_letter = 0;
  long long exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E' || *p == 'd' || *p == 'D')) {
    const char* q = p + 1;
    bool exponent_negative = false;
    if (q < end && (*q == '+' || *q == '-')) exponent_negative = *q++ == '-';
    if (q < end && IsDigit(*q)) {
      exponent_letter = *p;
      while (q < end && IsDigit(*q)) {
        if (exponent < 1000000000) exponent = exponent * 10 + (*q - '0');
        ++q;
      }
      if (exponent_negative) exponent = -exponent;
      p = q;
    }
  }
  if (stop != nullptr) *stop = p;

  double value = 0.0;
  std::from_chars_result converted;
  if (exponent_letter == 'd' || exponent_letter == 'D') {
    // from_chars knows only E and e.
    std::string copy(mantissa, p);
    copy[mantissa_end - mantissa] = 'e';
    converted =
        std::from_chars(copy.data(), copy.data() + copy.size(), value, std::chars_format::general);
  } else {
    converted = std::from_chars(mantissa, p, value, std::chars_format::general);
  }
  if (converted.ec == std::errc::result_out_of_range) {
    value = magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -value : value;
}

}  // namespace qel
