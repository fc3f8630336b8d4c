// The command line and the key=value configuration file, both read into the global `settings` once,
// before anything else is created. Failures are written to standard error: the log is not open yet.
#pragma once

#include <cstdio>
#include <string>

namespace quillmap {

// Writes the option summary (an empty line, then one line per option) to `out`.
void print_help(FILE* out);

// Parses the options "c:Dh" (--config-path, --no-daemon, --help) into `settings`. The argument vector
// itself is left in its original order (the process title is built from it). Returns -1 to go on, or
// the exit status the process must end with: 0 after -h, 1 after an unknown option or a -c without
// argument; the help text has then been printed. Without -c, config_path is left unset.
int parse_options(int argc, char** argv);

// Applies one key and its value from the configuration file to `settings`; unknown keys are ignored,
// a string key already set keeps its first value.
void take_config_value(const std::string& key, const std::string& value);

// Reads the configuration file at `path` line by line into `settings`. Returns 0, or 1 after writing
// "Could not open config ..." or "Could not close config ..." to standard error.
int read_config(const char* path);

// Checks and completes the values read: data_path is required, a zero data_size, log_level or
// expired_check_interval takes its default, and a data_size below what the store needs or a negative
// expired_check_interval is refused. Returns 0, or 1 after writing the reason to standard error.
int finish_config();

// Fills an unset path with "<base>/quillmap/quillmap<suffix>" ("/" not doubled when base ends in one).
void complete_default_path(char** path, const char* base, const char* suffix);

// Releases the owned strings of `settings` and resets it to its initial state.
void release_settings();

}  // namespace quillmap
