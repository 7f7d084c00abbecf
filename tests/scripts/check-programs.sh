#!/usr/bin/env bash
# Checks that each program is a PE32+ x86-64 GUI image that imports only
# Windows system DLLs, stays within its size budget and carries icon group 1
# (language 1033), a manifest and a version resource of the given version.
#   check-programs.sh <version> <program>...
set -uo pipefail
version=$1
shift
objdump=x86_64-w64-mingw32-objdump
# bcrypt: CNG, with which the setup program opens a sealed move file.
allowed='^(kernel32|user32|shell32|gdi32|advapi32|msvcrt|ole32|shlwapi|comctl32|bcrypt)\.dll$'
failures=0
fail() { echo "FAIL: $1: $2"; failures=$((failures + 1)); }

for exe in "$@"; do
  name=$(basename "$exe")
  headers=$("$objdump" -p "$exe") || { fail "$name" "not readable by objdump"; continue; }
  grep -q '^Magic.*020b' <<<"$headers" || fail "$name" "not PE32+ (optional header magic 0x20b)"
  grep -q 'file format pei-x86-64' <<<"$headers" || fail "$name" "not an x86-64 image"
  grep -qE '^Subsystem\s+00000002' <<<"$headers" || fail "$name" "not a Windows GUI program"
  dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers")
  [ -n "$dlls" ] || fail "$name" "imports nothing at all"
  for dll in $dlls; do
    grep -qE "$allowed" <<<"$dll" || fail "$name" "imports $dll, which is not a Windows system DLL"
  done

  resources=$(wrestool -l "$exe" 2>&1) || { fail "$name" "resources unreadable: $resources"; continue; }
  grep -qE -- '--type=14 --name=1 --language=1033' <<<"$resources" || fail "$name" "no icon group 1 in language 1033"
  grep -qE -- '--type=24 --name=1 ' <<<"$resources" || fail "$name" "no application manifest"
  icons=$(grep -c -- '--type=3 ' <<<"$resources")
  [ "$icons" -eq 7 ] || fail "$name" "expected 7 icon images, found $icons"
  manifest=$(wrestool -x --raw --type=24 --name=1 "$exe" 2>/dev/null)
  grep -q 'level="asInvoker"' <<<"$manifest" || fail "$name" "manifest does not run asInvoker"
  # Windows 10/11, 8.1, 8 and 7; no DPI awareness, so windows keep their stated size.
  for os in 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
            4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 35138b9a-5d96-4fbd-8e2d-a2440225f93a; do
    grep -qi "supportedOS Id=\"{$os}\"" <<<"$manifest" || fail "$name" "manifest lacks supportedOS {$os}"
  done
  grep -qi 'dpiAware' <<<"$manifest" && fail "$name" "manifest declares DPI awareness"

  # Version resource 1 in language 1033 with US English Unicode strings.
  budget=32768 description=Vorlasta
  [ "$name" = Vorlasta-Setup.exe ] && budget=40960 description="Vorlasta Setup"
  [ "$(stat -c %s "$exe")" -le "$budget" ] || fail "$name" "larger than its budget of $budget bytes"
  grep -qE -- '--type=16 --name=1 --language=1033' <<<"$resources" || fail "$name" "no version resource 1 in language 1033"
  raw=$(wrestool -x --raw --type=16 --name=1 "$exe" 2>/dev/null | od -An -v -tx1 | tr -d ' \n')
  # Each string is its key, zero, alignment, its value, zero; in UTF-16LE.
  utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 | tr -d ' \n'; }
  has_value() { grep -qE "$(utf16 "$1")0000(0000)?$(utf16 "$2")0000" <<<"$raw"; }
  for pair in "CompanyName=Morvenhale" "ProductName=Vorlasta" "FileDescription=$description" \
              "OriginalFilename=$name" "InternalName=${name%.exe}" "FileVersion=$version" \
              "ProductVersion=$version" "LegalCopyright=Copyright (C) 2026 Morvenhale"; do
    has_value "${pair%%=*}" "${pair#*=}" || fail "$name" "version resource lacks ${pair%%=*} \"${pair#*=}\""
  done
  grep -q "$(utf16 040904B0)" <<<"$raw" || fail "$name" "version strings are not US English Unicode (040904B0)"
  grep -qE "$(utf16 Translation)0000(0000)?0904b004" <<<"$raw" || fail "$name" "version translation is not 1033/1200"
  echo "checked $name: $(stat -c %s "$exe") bytes, imports: $(echo $dlls)"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
