#!/usr/bin/env bash
# tidy-one.sh <compile database folder> <cache folder> <source file>
# Runs clang-tidy on one translation unit unless the same unit passed before. The unit is keyed by
# its preprocessed text with comments kept (a NOLINT is part of it), the compile flags, the rules
# that apply to it and the clang-tidy version; only a pass is remembered, so a finding is reported
# on every run.
set -uo pipefail
db=$1 cache=$2 file=$3

entry=$(python3 - "$db/compile_commands.json" "$file" <<'PY'
import json, shlex, sys
for e in json.load(open(sys.argv[1])):
    if e["file"] == sys.argv[2]:
        args = e.get("arguments") or shlex.split(e["command"])
        # Drop the output, keep every flag that shapes the unit; preprocess instead of compiling.
        out, skip = [], False
        for a in args:
            if skip: skip = False; continue
            if a in ("-o", "-MF", "-MT", "-MQ"): skip = True; continue
            if a in ("-c", "-MD", "-MMD"): continue
            out.append(a)
        print(e["directory"]); print(shlex.join(out)); break
PY
)
dir=${entry%%$'\n'*}
command=${entry#*$'\n'}
[ -n "$dir" ] || { echo "tidy-one.sh: $file is not in $db/compile_commands.json" >&2; exit 1; }

# Paths of the checkout (in __FILE__ expansions, say) are left out, so that another clone of the same
# commit finds the same keys.
root=$(git -C "$(dirname "$file")" rev-parse --show-toplevel)
key=$( {
  (cd "$dir" && eval "$command -E -C -P" 2>/dev/null) || echo "preprocessing failed"
  echo "$command"
  # The rules that apply: every .clang-tidy from the unit's folder up to the root.
  d=$(dirname "$file")
  while :; do
    [ -f "$d/.clang-tidy" ] && cat "$d/.clang-tidy"
    [ "$d" = "$root" ] || [ "$d" = / ] && break
    d=$(dirname "$d")
  done
  clang-tidy --version
} | sed "s|$root|<root>|g" | sha256sum | cut -c1-40)
[ -f "$cache/$key" ] && exit 0

if clang-tidy -quiet -p "$db" "$file" 2> >(grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' >&2); then
  mkdir -p "$cache" && touch "$cache/$key"
else
  exit 1
fi
