// The log's own formatter and its CR LF writer.
#include "common/log_stream.h"

#include <charconv>
#include <cstdarg>
#include <cstring>

#include "os/os_calls.h"

namespace qel {

#if defined(_WIN32)
const char* const kLogPath = "modules\\Qel.log";
const char* const kPortFilePath = "modules\\Qel.ini";
#else
const char* const kLogPath = "modules/Qel.log";
const char* const kPortFilePath = "modules/Qel.ini";
#endif

namespace {

void Flush(LogStream* log) {
  if (log->used != 0) std::fwrite(log->pending, 1, log->used, log->file);
  log->used = 0;
}

void PutRaw(LogStream* log, const char* text, std::size_t length) {
  if (length == 0) return;
  if (log->buffer != nullptr) log->buffer->append(text, length);
  if (log->file == nullptr) return;
  if (log->used + length > sizeof log->pending) Flush(log);
  if (length >= sizeof log->pending) {
    std::fwrite(text, 1, length, log->file);
    return;
  }
  std::memcpy(log->pending + log->used, text, length);
  log->used += length;
}

// Text mode: each LF goes out as CR LF.
void Put(LogStream* log, const char* text, std::size_t length) {
  const char* end = text + length;
  while (text < end) {
    const char* newline = static_cast<const char*>(std::memchr(text, '\n', end - text));
    if (newline == nullptr) {
      PutRaw(log, text, end - text);
      return;
    }
    PutRaw(log, text, newline - text);
    PutRaw(log, "\r\n", 2);
    text = newline + 1;
  }
}

void PutPadded(LogStream* log, const char* digits, std::size_t length, int width, char pad) {
  // A '-' sign goes before zero padding, as printf puts it.
  if (pad == '0' && length > 0 && digits[0] == '-') {
    Put(log, digits, 1);
    ++digits;
    --length;
    --width;
  }
  for (int i = static_cast<int>(length); i < width; ++i) Put(log, &pad, 1);
  Put(log, digits, length);
}

}  // namespace

void LogPrintf(LogStream* log, const char* format, ...) {
  if (log == nullptr || (log->file == nullptr && log->buffer == nullptr)) return;
  va_list args;
  va_start(args, format);
  const char* run = format;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') continue;
    Put(log, run, p - run);
    ++p;
    char pad = ' ';
    if (*p == '0') {
      pad = '0';
      ++p;
    }
    int width = 0;
    while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    // Wide enough for any double in fixed notation with six decimals.
    char number[400];
    switch (*p) {
      case 'd': {
        auto end = std::to_chars(number, number + sizeof number, va_arg(args, int)).ptr;
        PutPadded(log, number, end - number, width, pad);
        break;
      }
      case 'f': {
        double value = va_arg(args, double);
        auto end =
            std::to_chars(number, number + sizeof number, value, std::chars_format::fixed, 6).ptr;
        PutPadded(log, number, end - number, width, pad);
        break;
      }
      case 's': {
        const char* text = va_arg(args, const char*);
        if (text == nullptr) text = "(null)";
        PutPadded(log, text, std::strlen(text), width, ' ');
        break;
      }
      case '%':
        Put(log, "%", 1);
        break;
      default:  // an unknown conversion is written as it stands
        --p;
        Put(log, "%", 1);
        break;
    }
    run = p + 1;
  }
  Put(log, run, std::strlen(run));
  va_end(args);
}

void LogWrite(LogStream* log, std::string_view text) {
  if (log == nullptr) return;
  Put(log, text.data(), text.size());
}

LogStream LogOpen(bool truncate) {
  LogStream log;
  log.file = os::Os().fopen(kLogPath, truncate ? "wb" : "ab");
  return log;
}

void LogClose(LogStream* log) {
  if (log->file != nullptr) {
    Flush(log);
    std::fclose(log->file);
  }
  log->file = nullptr;
}

}  // namespace qel
