// Writing a complete dump over the data file without ever leaving it worse than before, and finishing
// a rewrite that a killed worker cut short.
//
// The data file's inode keys the shared segment, so the file is rewritten in place and never renamed
// or replaced. The order of steps makes a full disk or an I/O error show before the file is touched,
// and leaves at every instant either the old file whole or a complete copy of the new one:
//   1. any earlier "<path>.tmp" is removed; the text goes to a new "<path>.tmp" beside the data file,
//      followed by a trailer line that proves it complete (entry count, length and CRC-32 of the
//      text), the file is synced and then its folder, so that the complete copy is still found after
//      a power cut during the rewrite; a failure here removes the temporary file and leaves the data
//      file as it was. When the temporary file cannot be created (a folder the daemon's account may
//      not write), the dump fails with an ERROR: the data file is never rewritten without it;
//   2. the data file's blocks for the new text are reserved (where the file system can), then the
//      text is written over the old one from offset 0, the file is cut to the text's length and
//      synced;
//   3. the temporary file is removed.
// A start-up that finds a complete temporary file (the trailer checks out) copies its text into the
// data file in place; one that finds an incomplete one removes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "persist/data_file.h"

namespace quillmap {

// "<path>.tmp": where a dump is kept until the data file holds it.
std::string dump_temp_path(const std::string& path);

// The trailer line that ends a complete temporary file of `text` with `entries` entries.
std::string dump_trailer(std::string_view text, int64_t entries);

// Replaces the contents of the file at `file` (created with mode 0600 when missing) by `text`, as
// above. 0, or -1 after an ERROR: "Could not dump to %s: %s" (the file that could not be opened,
// written or synced, with the system error text), or, when the data file was being rewritten, one
// naming the temporary file that still holds the complete dump.
// While the data file is held (keep_unloadable_copy below could not keep its copy), a dump to it
// first tries that copy again; when it still cannot be made, the data file is left as it was and the
// dump fails (ERROR "Could not dump to %s: it did not load whole and no copy of it could be kept
// (%s: %s); it is left as it was"). A dump to any other file goes ahead.
int64_t write_data_file(const FileLocation& file, std::string_view text, int64_t entries);

// Looks for "<path>.tmp" left by a dump that did not finish. A complete one is copied into the data
// file in place and removed (WARN "The last dump of %s was cut short; it was completed from %s (%ld
// entries)"), an incomplete one removed (WARN "Removed the incomplete dump %s"). Returns 1 when the
// data file was completed, 0 when there was nothing to finish or the temporary was incomplete, -1
// after an ERROR when the copy failed (the temporary is then kept).
int64_t finish_interrupted_dump(const char* path);

// Keeps a copy of a data file that could not be loaded whole, before anything can overwrite it:
// "<path>.unloadable-<UTC time>" in its folder (mode 0600, synced with its folder), with CRIT "The
// data file %s could not be loaded whole; a copy is kept as %s". An empty or missing file is not
// copied. Returns 0, or -1 after an ERROR when the copy could not be made (a part written is
// removed): the data file is then held (note_data_file_held), so that no dump overwrites it until a
// later try keeps the copy, and the first such failure logs CRIT "The data file %s could not be
// loaded whole and no copy of it could be kept; ...".
int64_t keep_unloadable_copy(const char* path);

}  // namespace quillmap
