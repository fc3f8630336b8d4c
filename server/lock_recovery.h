// The one recovery from a segment lock that a dead holder left taken.
#pragma once

#include "store/layout.h"

namespace quillmap {

// Logs WARN "Forcibly removing all locks and repeating" and clears the lock word, whoever holds it
// (readers in other processes included). The caller then repeats its step once.
void break_lock(SlabPool* pool);

}  // namespace quillmap
