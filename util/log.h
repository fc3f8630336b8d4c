// The daemon's log: one timestamped line per message, appended under a whole-file lock so that the
// master and the worker, each with its own open of the file, never interleave their lines.
//
// Line layout: "%F %X" local time, " [LEVEL]: ", the message, "\n". Nothing is written while no log
// is open, or for a level above settings.log_level; processes that only read the segment never open one.
#pragma once

#include <cstdio>

namespace quillmap {

enum LogLevel : unsigned {
  kLogCrit = 1,
  kLogError = 2,
  kLogWarn = 3,
  kLogInfo = 4,
  kLogDebug = 5,
};

// Opens `path` for appending with a 077 creation mask (a new file gets mode 0600) and makes it the
// unbuffered log stream. On failure writes "Could not open log file %s: %s\n" to standard error and
// ends the process with status 1.
void log_open(const char* path);

// Closes the log stream; later messages are dropped until the next log_open.
void log_close();

// Adopts an open stream as the log (unbuffered); nullptr stops logging.
void log_setfp(FILE* fp);

// Writes one line at `level` (kLogCrit .. kLogDebug). Never fails visibly.
void log_msg(unsigned level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace quillmap
