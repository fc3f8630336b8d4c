// Owners of libyaml's process-local objects and of stdio files: each releases what it holds on every
// path out of its scope.
#pragma once

#include <yaml.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace quillmap {

class YamlParser {
 public:
  YamlParser() noexcept { initialized_ = yaml_parser_initialize(&parser_) != 0; }
  ~YamlParser() {
    if (initialized_) yaml_parser_delete(&parser_);
  }
  YamlParser(const YamlParser&) = delete;
  YamlParser& operator=(const YamlParser&) = delete;

  // False when libyaml could not set the parser up (problem() then tells why).
  bool ok() const noexcept { return initialized_; }
  yaml_parser_t* get() noexcept { return &parser_; }
  const char* problem() const noexcept { return parser_.problem != nullptr ? parser_.problem : ""; }

 private:
  yaml_parser_t parser_{};
  bool initialized_ = false;
};

class YamlEmitter {
 public:
  YamlEmitter() noexcept { initialized_ = yaml_emitter_initialize(&emitter_) != 0; }
  ~YamlEmitter() {
    if (initialized_) yaml_emitter_delete(&emitter_);
  }
  YamlEmitter(const YamlEmitter&) = delete;
  YamlEmitter& operator=(const YamlEmitter&) = delete;

  bool ok() const noexcept { return initialized_; }
  yaml_emitter_t* get() noexcept { return &emitter_; }
  const char* problem() const noexcept { return emitter_.problem != nullptr ? emitter_.problem : ""; }

 private:
  yaml_emitter_t emitter_{};
  bool initialized_ = false;
};

// One event. An event handed to yaml_emitter_emit belongs to the emitter from then on, whatever the
// result: call release() right after handing it over.
class YamlEvent {
 public:
  YamlEvent() noexcept { std::memset(&event_, 0, sizeof event_); }
  ~YamlEvent() {
    if (event_.type != YAML_NO_EVENT) yaml_event_delete(&event_);
  }
  YamlEvent(const YamlEvent&) = delete;
  YamlEvent& operator=(const YamlEvent&) = delete;

  yaml_event_t* get() noexcept { return &event_; }
  const yaml_event_t& operator*() const noexcept { return event_; }
  const yaml_event_t* operator->() const noexcept { return &event_; }

  // Frees what the event holds and leaves it empty (YAML_NO_EVENT).
  void reset() noexcept {
    if (event_.type != YAML_NO_EVENT) yaml_event_delete(&event_);
    std::memset(&event_, 0, sizeof event_);
  }
  // Forgets the event without freeing it (its owner is now the emitter). Only the type is cleared:
  // an event of YAML_NO_EVENT holds nothing to free.
  void release() noexcept { event_.type = YAML_NO_EVENT; }

 private:
  yaml_event_t event_;
};

struct FileCloser {
  void operator()(FILE* fp) const noexcept { fclose(fp); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

}  // namespace quillmap
