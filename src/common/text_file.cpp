// Line reading with the Windows text-mode rules applied by hand.
#include "common/text_file.h"

namespace qel {

namespace {

constexpr std::size_t kChunkSize = 1 << 16;

// As a C string sees it: up to the first NUL.
std::string_view UpToNul(std::string_view line) {
  return line.substr(0, line.find('\0'));
}

}  // namespace

LineCursor::LineCursor(std::FILE* file) : file_(file), chunk_(new char[kChunkSize]) {}

bool LineCursor::Refill() {
  if (file_ == nullptr || ended_) return false;
  std::size_t got = std::fread(chunk_.get(), 1, kChunkSize, file_);
  rest_ = std::string_view(chunk_.get(), got);
  return got > 0;
}

bool LineCursor::Next(std::string_view* line) {
  pending_.clear();
  for (;;) {
    if (rest_.empty() && (ended_ || !Refill())) break;
    std::size_t stop = rest_.find_first_of("\n\x1A");
    if (stop == std::string_view::npos) {
      pending_.append(rest_);
      rest_ = std::string_view();
      continue;
    }
    if (rest_[stop] == '\x1A') {
      pending_.append(rest_.substr(0, stop));
      rest_ = std::string_view();
      ended_ = true;
      break;
    }
    std::string_view whole = rest_.substr(0, stop);
    rest_.remove_prefix(stop + 1);
    if (!pending_.empty()) {
      pending_.append(whole);
      whole = pending_;
    }
    // CR LF is a newline; any other CR is a character of the line.
    if (!whole.empty() && whole.back() == '\r') whole.remove_suffix(1);
    *line = UpToNul(whole);
    ++line_number_;
    return true;
  }
  ended_ = true;
  if (pending_.empty()) return false;
  *line = UpToNul(pending_);
  ++line_number_;
  return true;
}

}  // namespace qel
