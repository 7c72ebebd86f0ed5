#!/usr/bin/env bash
# No folder includes one above it: app > review > settings > capture > recordings.
set -u
root=$1
rank() { case $1 in app) echo 5;; review) echo 4;; settings) echo 3;; capture) echo 2;; recordings) echo 1;; *) echo 0;; esac; }
bad=0
for dir in app review settings capture recordings; do
  [ -d "$root/$dir" ] || continue
  while IFS=: read -r file _ included; do
    target=${included#*\"}; target=${target%%/*}
    if [ "$(rank "$target")" -gt "$(rank "$dir")" ]; then
      echo "$file includes $included"; bad=1
    fi
  done < <(grep -rn '#include "' "$root/$dir" --include='*.h' --include='*.cpp')
done
exit $bad
