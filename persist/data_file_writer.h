// Writing a complete dump over the data file without ever leaving it worse than before.
//
// The data file's inode keys the shared segment, so the file is rewritten in place and never renamed
// or replaced. The order of steps makes a full disk or an I/O error show before the file is touched:
//   1. the text goes to "<path>.tmp" beside the data file, which is synced; a failure here removes the
//      temporary file and leaves the data file as it was;
//   2. the data file's blocks for the new text are reserved (where the file system can), then the
//      text is written over the old one from offset 0, the file is cut to the text's length and
//      synced; a failure after the reservation keeps the temporary file, which holds the whole dump;
//   3. the temporary file is removed.
// When the directory does not let the daemon's account create the temporary file (a data file in a
// directory owned by another account), step 1 is skipped with a WARN: the dump still reaches the data
// file, protected by the reservation of step 2 only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "persist/data_file.h"

namespace quillmap {

// "<path>.tmp": where a dump is kept until the data file holds it.
std::string dump_temp_path(const std::string& path);

// Replaces the contents of the file at `file` (created with mode 0600 when missing) by `text`, as
// above. 0, or -1 after an ERROR: "Could not dump to %s: %s" (the file that could not be opened,
// written or synced, with the system error text), or, when the data file was being rewritten, one
// naming the temporary file that still holds the complete dump.
int64_t write_data_file(const FileLocation& file, std::string_view text);

}  // namespace quillmap
