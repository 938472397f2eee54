#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The manual pages render without warnings, and every option a program's --help names is on its
# page (the pages are written by hand from the help texts).
set -euo pipefail
bin=$1
man_dir=$2
status=0
for page in "$man_dir"/*.1; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null || true)
    [ -z "$warnings" ] || { echo "$page: $warnings" >&2; status=1; }
done
for program in journal-read journal-sim journal-collect; do
    # On the page an option is written with escaped hyphens (\-\-device).
    page=$(sed 's/\\-/-/g' "$man_dir/$program.1")
    options=$("$bin/$program" --help 2>&1 | grep -oE -- '--[a-z][a-z-]*' | sort -u)
    [ -n "$options" ] || { echo "$program --help names no option" >&2; status=1; }
    for option in $options; do
        grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" <<<"$page" || { echo "$program.1 lacks $option" >&2; status=1; }
    done
done
[ "$status" = 0 ] && echo "manual pages: ok"
exit $status
