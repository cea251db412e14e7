#!/usr/bin/env bash
# Turns a tool's man-style --help (sections in capitals at the start of a line, text indented below)
# into a gzipped manual page: help2man.sh NAME VERSION OUTPUT COMMAND...
set -euo pipefail
name="$1" version="$2" out="$3"
shift 3
help="$("$@" --help 2>&1)" || { echo "help2man.sh: $* --help failed" >&2; exit 1; }
{
    printf '.TH %s 1 "" "Quillbarn %s" "Quillbarn"\n' "$(printf '%s' "$name" | tr 'a-z' 'A-Z')" "$version"
    printf '%s\n' "$help" | sed -e 's/\\/\\e/g' -e "s/^[.']/\\\\\\&&/" | awk '
        /^[A-Z][A-Z ]+$/ { if (open) print ".fi"; print ".SH " $0; print ".nf"; open = 1; next }
        { sub(/^    /, ""); print }
        END { if (open) print ".fi" }'
} | gzip -9n >"$out"
