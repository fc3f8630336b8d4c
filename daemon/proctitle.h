// The process title: the master and the worker show their role in the process list by writing
// "quillmap: <text>" over their own argument strings. The area that may be overwritten is the
// argument strings plus the environment strings that directly follow them; the environment strings
// are first moved to one heap block (kept for the process's life) so that the title may use their room.
#pragma once

namespace quillmap {

// The argument vector of main; set by main before shm_init_setproctitle. Its strings are overwritten
// by the title, so nothing may keep pointers into them (option arguments are copied).
extern char** saved_argv;

// The last byte of the title area. The title and its NUL end before this byte.
extern char* title_end;

// Moves the environment strings that follow the argument strings to a heap block and computes
// title_end. Returns 0, or -1 when the heap block cannot be obtained. Call once.
int shm_init_setproctitle();

// Writes "quillmap: " and `title` over the area (cut to fit) and clears the rest of it, so no trace of
// a longer earlier title remains. Also cuts saved_argv to the title alone.
void shm_setproctitle(const char* title);

}  // namespace quillmap
