// The configuration file's line rules, shared by the daemon and by every client that reads the same
// file (socket_path, data_path):
//   - a line is read in pieces of at most kConfigLinePiece characters; each piece counts as a line;
//   - leading blanks (space, tab) are skipped; "#" first makes the line a comment;
//   - the key runs up to the first "=" (a line without one, or starting with it, is skipped), less its
//     trailing trim characters (space, newline, tab, double and single quote); its first character
//     always stays;
//   - the value starts after the "=" and its trim characters and ends before the next trim character.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quillmap {

inline constexpr size_t kConfigLinePiece = 511;

// The (key, value) of one line piece, or nothing for a piece the rules skip.
std::optional<std::pair<std::string, std::string>> parse_config_line(std::string_view line);

enum class ConfigReadResult { kDone, kOpenFailed, kCloseFailed };

// Calls take(key, value) for every piece of the file at `path` that holds a key, in file order.
// On kOpenFailed or kCloseFailed errno tells why.
ConfigReadResult read_config_lines(const char* path,
                                   const std::function<void(const std::string& key, const std::string& value)>& take);

// The same, also telling the number of the file's line (from 1) that the piece belongs to: the pieces
// of one long line share its number.
ConfigReadResult read_numbered_config_lines(
    const char* path,
    const std::function<void(const std::string& key, const std::string& value, unsigned line)>& take);

}  // namespace quillmap
