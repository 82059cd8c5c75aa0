// Binary reading with the Windows text-mode rules applied by hand.
#include "common/text_file.h"

#include <cstdio>
#include <cstring>

#include "os/os_calls.h"

namespace qel {

void ApplyTextMode(std::string* bytes) {
  std::string& s = *bytes;
  std::size_t end = s.find('\x1A');
  if (end != std::string::npos) s.resize(end);
  std::size_t out = 0;
  for (std::size_t in = 0; in < s.size(); ++in) {
    if (s[in] == '\r' && in + 1 < s.size() && s[in + 1] == '\n') continue;
    s[out++] = s[in];
  }
  s.resize(out);
}

bool ReadTextFile(const char* path, std::string* text) {
  std::FILE* file = os::Os().fopen(path, "rb");
  if (file == nullptr) return false;
  text->clear();
  char chunk[1 << 16];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text->append(chunk, got);
  std::fclose(file);
  ApplyTextMode(text);
  return true;
}

bool LineCursor::Next(std::string_view* line) {
  if (rest_.empty()) return false;
  std::size_t newline = rest_.find('\n');
  std::string_view whole = rest_.substr(0, newline);
  rest_ = newline == std::string_view::npos ? std::string_view() : rest_.substr(newline + 1);
  std::size_t nul = whole.find('\0');
  *line = whole.substr(0, nul);
  ++line_number_;
  return true;
}

}  // namespace qel
