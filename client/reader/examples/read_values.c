/* Prints the value of a key and the entry matching an address, read straight from a running quillmap.
 *   read_values_c DATA_PATH KEY [ADDRESS]
 * Build: cc read_values.c $(pkg-config --cflags --libs quillmap-reader) */
#include <stdio.h>
#include <string.h>

#include <quillmap_reader.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s DATA_PATH KEY [ADDRESS]\n", argv[0]);
    return 2;
  }
  quillmap_reader* reader;
  int rc = quillmap_reader_open(argv[1], 0, &reader);
  if (rc != QUILLMAP_READER_OK) {
    fprintf(stderr, "open: %s\n", quillmap_reader_strerror(rc));
    return 1;
  }

  char value[4096];
  quillmap_reader_info info;
  rc = quillmap_reader_get(reader, argv[2], strlen(argv[2]), value, sizeof value, &info);
  if (rc == QUILLMAP_READER_OK) {
    printf("%s = %.*s (expires %llu)\n", argv[2], (int)info.value_len, value, (unsigned long long)info.expires);
  } else {
    printf("%s: %s\n", argv[2], quillmap_reader_strerror(rc));
  }

  if (argc > 3) {
    /* Many lookups under one read share: the entry points into the segment until the section ends. */
    if (quillmap_reader_begin(reader) == QUILLMAP_READER_OK) {
      quillmap_reader_entry e;
      rc = quillmap_reader_match_view(reader, argv[3], strlen(argv[3]), &e);
      if (rc == QUILLMAP_READER_OK) {
        printf("%s is in %.*s: %.*s\n", argv[3], (int)e.key_len, e.key, (int)e.value_len, (const char*)e.value);
      } else {
        printf("%s: %s\n", argv[3], quillmap_reader_strerror(rc));
      }
      quillmap_reader_end(reader);
    }
  }
  quillmap_reader_close(reader);
  return 0;
}
