#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and checks what a package holds: both
# programs runnable from bin/ (the renderer with its picture module), the examples, and manual
# pages that render without a warning and carry the project's version.
# Usage: install_test.sh BUILD_DIR VERSION
set -euo pipefail
build="$1" version="$2"
prefix=$(mktemp -d "${TMPDIR:-/tmp}/oplbench-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
for program in oplbench oplrender; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program is not installed"
done
for example in music.vgm coin.vgm jump.vgm laser.vgm explosion.vgm alarm.vgm powerup.vgm demo.txt; do
  [ -s "$prefix/share/oplbench/examples/$example" ] || fail "examples/$example is not installed"
done

# The installed renderer plays the installed example script from the installed data folder.
(cd "$prefix/share/oplbench" && "$prefix/bin/oplrender" --quiet --seconds 1 \
  --out "$prefix/demo.wav" examples/demo.txt >/dev/null) || fail "oplrender cannot render demo.txt"
[ -s "$prefix/demo.wav" ] || fail "oplrender wrote no WAV file"
# It finds its picture module where that is installed.
(cd "$prefix/share/oplbench" && "$prefix/bin/oplrender" --quiet --seconds 1 \
  --out "$prefix/demo.wav" --picture "$prefix/demo.png" examples/demo.txt >/dev/null) ||
  fail "oplrender cannot draw the picture of demo.txt"
[ "$(head -c 4 "$prefix/demo.png" | tail -c 3)" = PNG ] || fail "oplrender wrote no PNG file"

if ! command -v man >/dev/null; then echo "man is not installed: pages not rendered"; exit 77; fi
for page in oplbench oplrender; do
  file="$prefix/share/man/man1/$page.1"
  [ -f "$file" ] || fail "share/man/man1/$page.1 is not installed"
  grep -q '@[A-Z_]*@' "$file" && fail "$page.1 has an unreplaced @VARIABLE@"
  # -ww: every groff warning; the text goes nowhere, the warnings into the log.
  text=$(MANWIDTH=80 man --warnings=w -l "$file" 2>"$prefix/warnings") || fail "man -l $page.1 failed"
  [ -s "$prefix/warnings" ] && fail "man -l $page.1 warns: $(cat "$prefix/warnings")"
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES EXAMPLES; do
    grep -q "^$section" <<<"$text" || fail "$page.1 has no $section section"
  done
  grep -q "oplbench $version" <<<"$text" || fail "$page.1 does not show version $version"
done
echo "installed and rendered: $(cd "$prefix" && find . -type f | sort | tr '\n' ' ')"
