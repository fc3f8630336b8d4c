#!/usr/bin/env bash
# The manual pages (configured into the folder $1) render without a warning, with groff -wall and,
# when it is installed, mandoc -T lint; and they name every option, configuration key, command and
# result code that the sources define, so that a new one cannot go undocumented.
# shellcheck source=packaging/tests/lib.sh
source "$(dirname "$0")/lib.sh"
man_dir=$1
pages=(quillmap.8 quillmap.conf.5 quillmap-cli.1 quillmap_reader.3)
have_groff=0 have_mandoc=0
command -v groff >/dev/null 2>&1 && have_groff=1
command -v mandoc >/dev/null 2>&1 && have_mandoc=1
[ $have_groff = 1 ] || [ $have_mandoc = 1 ] || skip "neither groff (Debian groff-base) nor mandoc is installed"

for page in "${pages[@]}"; do
  file=$man_dir/$page
  [ -f "$file" ] || fail "$page was not generated"
  if [ $have_groff = 1 ]; then
    warnings=$(groff -wall -man -Tutf8 "$file" 2>&1 >/dev/null) || fail "groff failed on $page: $warnings"
    [ -z "$warnings" ] || fail "groff warns about $page:"$'\n'"$warnings"
  fi
  if [ $have_mandoc = 1 ]; then
    warnings=$(mandoc -T lint -W warning "$file" 2>&1) || fail "mandoc warns about $page:"$'\n'"$warnings"
    [ -z "$warnings" ] || fail "mandoc warns about $page:"$'\n'"$warnings"
  fi
done

# Names as roff writes them: "-" as "\-".
roff() { sed 's/-/\\-/g' <<<"$1"; }
expect_in() {  # page, description, names...
  local page=$1 what=$2
  shift 2
  local name
  for name in "$@"; do
    grep -qF -- "$(roff "$name")" "$man_dir/$page" || fail "$page does not document the $what $name"
  done
}

src=$QM_SOURCE_DIR
mapfile -t daemon_options < <(grep -oE '\{"[a-z-]+", (no|required|optional)_argument' "$src/daemon/config.cpp" |
  sed -E 's/^\{"([a-z-]+)".*/--\1/')
[ ${#daemon_options[@]} -ge 3 ] || fail "found only ${#daemon_options[@]} options in daemon/config.cpp"
expect_in quillmap.8 "option" "${daemon_options[@]}"

mapfile -t keys < <(grep -oE '(key == |key, )"[a-z_]+"' "$src/daemon/config.cpp" | sed -E 's/.*"([a-z_]+)"/\1/')
[ ${#keys[@]} -ge 10 ] || fail "found only ${#keys[@]} configuration keys in daemon/config.cpp"
for key in "${keys[@]}"; do
  grep -qE "^\.BI $key= " "$man_dir/quillmap.conf.5" || fail "quillmap.conf.5 has no entry for the key $key"
done

mapfile -t cli_options < <(grep -ohE 'name == "--?[a-z-]+"' "$src/tools/quillmap-cli/main.cpp" |
  sed -E 's/.*"(.*)"/\1/' | grep -v '^-$')
[ ${#cli_options[@]} -ge 8 ] || fail "found only ${#cli_options[@]} options in tools/quillmap-cli/main.cpp"
expect_in quillmap-cli.1 "option" "${cli_options[@]}"
mapfile -t commands < <(grep -ohE '\{"[a-z]+", Action::|\[\] = "[a-z]+";' "$src"/tools/*.cpp |
  sed -E 's/[^"]*"([a-z]+)".*/\1/')
[ ${#commands[@]} -ge 9 ] || fail "found only ${#commands[@]} commands in tools/"
for c in "${commands[@]}"; do
  grep -qE "^\.B(R|I)? $c( |$)" "$man_dir/quillmap-cli.1" || fail "quillmap-cli.1 has no entry for the command $c"
done

mapfile -t codes < <(grep -oE '^#define QUILLMAP_READER_[A-Z_]+ +\(?-?[0-9]' "$src/client/reader/quillmap_reader.h" |
  awk '{print $2}')
[ ${#codes[@]} -ge 13 ] || fail "found only ${#codes[@]} result codes in quillmap_reader.h"
expect_in quillmap_reader.3 "result code" "${codes[@]}"
mapfile -t functions < <(grep -oE '\bquillmap_reader_[a-z_]+\(' "$src/client/reader/quillmap_reader.h" | tr -d '(' | sort -u)
expect_in quillmap_reader.3 "function" "${functions[@]}"
echo "PASS"
