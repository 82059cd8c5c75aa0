// Text files read as Windows reads them in text mode, on every platform: the
// bytes come in binary, CR LF becomes LF, a lone CR stays, byte 0x1A ends the file.
#pragma once

#include <string>
#include <string_view>

namespace qel {

// Reads the whole file at `path` (through the seam's fopen) and applies the
// text-mode rules. False when the file cannot be opened.
bool ReadTextFile(const char* path, std::string* text);

// The text-mode rules alone, in place.
void ApplyTextMode(std::string* bytes);

// Walks text line by line. A line is what comes before its LF, without it, and
// is seen as a C string sees it: up to its first NUL byte. A final line without
// LF is a line; nothing after the last LF is not.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) : rest_(text) {}
  bool Next(std::string_view* line);
  // The 1-based number of the line Next last gave.
  int line_number() const { return line_number_; }

 private:
  std::string_view rest_;
  int line_number_ = 0;
};

}  // namespace qel
