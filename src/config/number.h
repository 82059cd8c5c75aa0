// The port file's number reading: the longest decimal prefix of a field, with
// E, e, D or d as exponent letter, correctly rounded and independent of the C
// locale. No hexadecimal form and no infinity or not-a-number words.
#pragma once

namespace qel {

// Converts the text from `begin` to `end`; 0 when it holds no number. `stop`,
// when given, receives where the number ended (`begin` when there was none).
double ParseNumber(const char* begin, const char* end, const char** stop = nullptr);

}  // namespace qel
