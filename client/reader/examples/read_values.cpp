// Prints the value of a key, the entry matching an address, and the number of entries, read straight
// from a running quillmap.
//   read_values_cpp DATA_PATH KEY [ADDRESS]
// Build: c++ -std=c++17 read_values.cpp $(pkg-config --cflags --libs quillmap-reader)
#include <cstdio>
#include <string>

#include <quillmap_reader.hpp>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DATA_PATH KEY [ADDRESS]\n", argv[0]);
    return 2;
  }
  quillmap::Reader reader;
  quillmap::ReadStatus s = quillmap::Reader::open(argv[1], &reader);
  if (s != quillmap::ReadStatus::kOk) {
    std::fprintf(stderr, "open: %s\n", quillmap::read_status_text(s));
    return 1;
  }

  std::string value;  // reused across lookups: no allocation once it is large enough
  quillmap::EntryInfo info;
  s = reader.get(argv[2], &value, &info);
  if (s == quillmap::ReadStatus::kOk) {
    std::printf("%s = %s (expires %llu)\n", argv[2], value.c_str(), static_cast<unsigned long long>(info.expires));
  } else {
    std::printf("%s: %s\n", argv[2], quillmap::read_status_text(s));
  }

  {
    quillmap::ReadGuard guard(reader);  // one read share for several lookups
    quillmap::EntryView e;
    if (argc > 3 && guard.match(argv[3], &e) == quillmap::ReadStatus::kOk) {
      std::printf("%s is in %.*s\n", argv[3], static_cast<int>(e.key.size()), e.key.data());
    }
  }  // the views end with the guard

  size_t entries = 0;
  reader.for_each([&](const quillmap::EntryView&) {
    ++entries;
    return true;
  });
  std::printf("%zu entries\n", entries);
  return 0;
}
