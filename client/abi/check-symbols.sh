#!/bin/sh
# Compares the symbols that libVelDataClient exports with the committed list,
# so that a change of the library's binary interface is made on purpose and
# never by accident: any difference fails, and shows as a diff.
#   check-symbols.sh <library> <list>            check
#   check-symbols.sh --update <library> <list>   write the list anew
set -eu
update=false
if [ "${1:-}" = "--update" ]; then
    update=true
    shift
fi
library=$1
list=$2

# Demangled names without addresses, in a fixed order; the linker's own
# markers (the symbol version entries) are no part of the interface.
symbols() {
    nm -D --defined-only --demangle "$library" | sed -E 's/^[0-9a-fA-F]* *[A-Za-z] //' |
        grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$|^VERS_|^Qt_' | LC_ALL=C sort -u
}

if $update; then
    symbols >"$list"
    echo "wrote $(wc -l <"$list") symbols to $list"
    exit 0
fi
current=$(mktemp)
trap 'rm -f "$current"' EXIT
symbols >"$current"
if ! diff -u "$list" "$current"; then
    echo "The exported symbols of $library differ from $list (- committed, + built)." >&2
    echo "If the change is intended, update the list with:" >&2
    echo "  $0 --update $library $list" >&2
    exit 1
fi
echo "$(wc -l <"$current") exported symbols as listed"
