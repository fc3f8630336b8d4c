// The command line and the key=value configuration file, both read into the global `settings` once,
// before anything else is created. Failures are written to standard error: the log is not open yet.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace quillmap {

// Writes the option summary (an empty line, then one line per option) to `out`.
void print_help(FILE* out);

// Parses the options "c:Dh" (--config-path, --no-daemon, --help) and --version into `settings`. The
// argument vector itself is left in its original order (the process title is built from it). Returns
// -1 to go on, or the exit status the process must end with: 0 after -h (the help text printed) or
// --version ("quillmap <version>" printed), 1 after an unknown option or a -c without argument (the
// help text printed). Without -c, config_path is left unset.
int parse_options(int argc, char** argv);

// Applies one key and its value from the configuration file to `settings`; unknown keys are ignored,
// a string key already set keeps its first value.
void take_config_value(const std::string& key, const std::string& value);

// Reads the configuration file at `path` line by line into `settings`. Returns 0, or 1 after writing
// "Could not open config ..." or "Could not close config ..." to standard error.
int read_config(const char* path);

// The lines of the last file read_config read that are probably typing errors, one text each in file
// order, naming the line and the key: a key the daemon does not know, a log_level word that is not a
// level name (a hint when only its case is wrong), a number or flag that is not wholly a decimal
// number. They change nothing of what was read: the key is ignored or its value taken as the rules say.
const std::vector<std::string>& config_warnings();

// Writes every one of config_warnings() as a WARN line to the log, and in the foreground to standard
// error as well ("[WARN]: " and the text), both subject to log_level. Called once, when the log is open.
void report_config_warnings();

// Checks and completes the values read: data_path is required, a zero data_size, log_level or
// expired_check_interval takes its default, and a data_size below what the store needs or a negative
// expired_check_interval is refused. Returns 0, or 1 after writing the reason to standard error.
int finish_config();

// Fills an unset path with "<base>/quillmap/quillmap<suffix>" ("/" not doubled when base ends in one).
void complete_default_path(char** path, const char* base, const char* suffix);

// Releases the owned strings of `settings` and resets it to its initial state.
void release_settings();

}  // namespace quillmap
