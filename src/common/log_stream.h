// The activity log as a stream the writer hands around: a file, a test's buffer,
// or nothing at all when the file could not be opened. Every newline written
// reaches the stream as CR LF, as a Windows text file has it.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace qel {

struct LogStream {
  std::FILE* file = nullptr;
  std::string* buffer = nullptr;
  // Text on its way to `file`: one write call per few lines instead of one per
  // piece of a line. LogClose writes what is left.
  char pending[2048];
  std::size_t used = 0;
};

// printf-style with the conversions the log uses: %d, %0Nd, %f, %s and %%.
// One formatting on every platform: numbers never go through the C runtime's printf.
void LogPrintf(LogStream* log, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Writes `text` as it stands (NUL bytes included), newlines as CR LF.
void LogWrite(LogStream* log, std::string_view text);

// Opens the module's log file, emptied (`truncate`) or for appending. A stream
// that could not be opened stays empty and swallows what is written to it.
LogStream LogOpen(bool truncate);
void LogClose(LogStream* log);

// Where the module's files lie, relative to the process's current directory.
extern const char* const kLogPath;
extern const char* const kPortFilePath;

}  // namespace qel
