// The tries' invariant checks. They guard against a damaged segment: none of them can fail while the
// trie is consistent. A failed check writes a newline to standard output, logs at CRIT
// "BUG! <condition> (./shm_lpctrie, line <line>)" and aborts the process.
#pragma once

namespace quillmap {

// Reports the failed `condition` (its source text) found at `line`, then aborts.
[[noreturn]] void lpctrie_bug(const char* condition, unsigned line) noexcept;

// Calls lpctrie_bug when `failed`; the reported line is the caller's. (__builtin_LINE rather than
// std::source_location, which clang 14 with this libstdc++ does not provide.)
inline void lpctrie_bug_on(bool failed, const char* condition, unsigned line = __builtin_LINE()) noexcept {
  if (failed) [[unlikely]]
    lpctrie_bug(condition, line);
}

}  // namespace quillmap
