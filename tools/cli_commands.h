// The command words of quillmap-cli and how their arguments become requests.
//
// Grammar (also in the --help text):
//   batch    := command { ";" command }
//   command  := NAME { option | argument }
//   option   := "--ip" | "--string" | "--expires" WHEN | "--expires=" WHEN | "--ttl" TTL
//             | "--ttl=" TTL | "--"
// A ";" must stand as a word of its own (quote it for the shell). "--" ends the options of the
// command it stands in, so that a key or value may start with "-". On standard input every line is
// split into words the way a shell would (blanks separate, '...' and "..." quote, \ escapes) and
// may hold one command or several separated by ";" (there a ";" needs no blanks around it and a
// quoted one is an ordinary character); empty lines and lines starting with "#" are
// skipped.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/client_result.h"
#include "client/wire_codec.h"

namespace quillmap {

// What the arguments of a socket command look like.
enum class ArgShape {
  kKey,           // KEY
  kKeyValue,      // KEY [VALUE]  (expiry allowed)
  kNone,          // no arguments
  kOptionalPath,  // [PATH]
};

struct SocketCommand {
  const char* name;
  Action action;
  ArgShape shape;
  const char* usage;  // argument synopsis for --help
  const char* summary;
};

// The commands that become requests on the socket.
std::span<const SocketCommand> socket_commands();

// What applies to every command of a batch unless the command says otherwise.
struct CommandDefaults {
  KeyType ktype = KeyType::kString;
  std::optional<uint32_t> expires;
  // A relative LOAD/DUMP path is taken against this folder (the daemon would open it against its
  // own working directory, "/"); empty leaves paths as given.
  std::string working_dir;
};

// "0" and other plain numbers are absolute seconds since the epoch; "+N" is N seconds from `now`.
// The result must fit the 32-bit field.
Result<uint32_t> parse_expires(std::string_view text, std::time_t now);

// A time to live, "30s", "5m", "2h", "1d" or plain seconds, as the absolute expiry `now` plus it.
// The result must fit the 32-bit field; "0" is refused (it would mean "never expires").
Result<uint32_t> parse_ttl(std::string_view text, std::time_t now);

// What can be checked of a request before it is sent, for every client of the daemon: an address key
// must parse as the daemon parses it (lpctrie/cidr.h), and the request must fit a frame (length,
// zero bytes, UTF-8). A LOAD/DUMP path is made absolute against `working_dir` (when not empty) and
// normalised (no "." or ".." components, which the daemon refuses).
Status prepare_request(Request& request, const std::string& working_dir);

// One command's words (its name first) as a request, checked by prepare_request against
// defaults.working_dir; errors name the command.
Result<Request> parse_command(const std::vector<std::string>& words, const CommandDefaults& defaults,
                              std::time_t now);

// Several commands separated by ";" words; empty commands (";;" or a trailing ";") are skipped.
Result<std::vector<Request>> parse_batch(const std::vector<std::string>& words,
                                         const CommandDefaults& defaults, std::time_t now);

// Splits one input line into commands and their words: blanks separate words, '...' keeps
// everything literally, "..." and unquoted text take \ as an escape of the next character. An
// unquoted ";" ends a command (a quoted one is an ordinary character). An unterminated quote or a
// trailing \ is an error.
Result<std::vector<std::vector<std::string>>> split_line(std::string_view line);

// Every request of a whole input text, one or more commands per line. Errors name the line.
Result<std::vector<Request>> parse_lines(std::string_view text, const CommandDefaults& defaults,
                                         std::time_t now);

}  // namespace quillmap
