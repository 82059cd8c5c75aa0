// Text files read as Windows reads them in text mode, on every platform: the
// bytes come in binary, CR LF becomes LF, a lone CR stays, byte 0x1A ends the file.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace qel {

// Walks the lines of a Windows text file, applying the text-mode rules to the raw
// bytes on the way, from memory or from an open file read in chunks (so that a
// file of any size costs a chunk and its longest line, never the whole file).
// A line is what comes before its LF, without it and without the CR of a CR LF,
// and is seen as a C string sees it: up to its first NUL byte. A final line
// without LF is a line; nothing after the last LF is not.
class LineCursor {
 public:
  explicit LineCursor(std::string_view bytes) : rest_(bytes) {}
  // Reads `file` from where it stands; the caller keeps it open while walking and closes it.
  explicit LineCursor(std::FILE* file);

  bool Next(std::string_view* line);
  // The 1-based number of the line Next last gave.
  int line_number() const { return line_number_; }

 private:
  bool Refill();

  std::FILE* file_ = nullptr;
  std::unique_ptr<char[]> chunk_;
  std::string_view rest_;  // raw bytes not yet walked
  std::string pending_;    // a line that runs across chunks
  bool ended_ = false;     // a 0x1A byte, or the end of the bytes, was reached
  int line_number_ = 0;
};

}  // namespace qel
