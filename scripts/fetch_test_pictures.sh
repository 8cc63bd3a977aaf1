#!/usr/bin/env bash
# Fetches the real metafiles the cross-platform comparison reads, from Debian 12
# packages, into a cache outside the clone, and prints their paths one a line:
#   libreoffice-dev-doc: the clip art of the SDK's forms-and-controls example,
#     usr/lib/libreoffice/sdk/examples/basic/forms_and_controls/
#     {beef,burger,chicken,fish,vegetable}.wmf (placeable WMFs exported by an
#     office suite).
# The package is large (about 580 MB): it is downloaded only when a file is
# missing, and deleted once the files are out of it.
# Usage: scripts/fetch_test_pictures.sh [CACHE_DIR]
#   (default: ${XDG_CACHE_HOME:-$HOME/.cache}/ks318/test-pictures)
set -euo pipefail

cache=${1:-${XDG_CACHE_HOME:-$HOME/.cache}/ks318/test-pictures}
mkdir -p "$cache"

# package | folder inside it | files
sources=(
  "libreoffice-dev-doc|usr/lib/libreoffice/sdk/examples/basic/forms_and_controls|beef.wmf burger.wmf chicken.wmf fish.wmf vegetable.wmf"
)

for source in "${sources[@]}"; do
  IFS='|' read -r package folder files <<<"$source"
  missing=()
  for file in $files; do
    [[ -s $cache/$package/$file ]] || missing+=("$file")
  done
  if ((${#missing[@]})); then
    echo "Fetching ${missing[*]} from $package" >&2
    work=$(mktemp -d "$cache/.fetch-XXXXXX")
    (
      cd "$work"
      # The folder is private: apt downloads as the caller, not as its _apt user.
      apt-get download -q -o APT::Sandbox::User=root "$package" >&2 ||
        { echo "cannot download $package (run 'apt-get update' first?)" >&2; exit 1; }
      patterns=()
      for file in "${missing[@]}"; do patterns+=("./$folder/$file"); done
      dpkg-deb --fsys-tarfile ./*.deb | tar -x --wildcards "${patterns[@]}"
      mkdir -p "$cache/$package"
      for file in "${missing[@]}"; do mv "$folder/$file" "$cache/$package/$file"; done
    ) || { rm -rf "$work"; exit 1; }
    rm -rf "$work"  # the .deb with it
  fi
  for file in $files; do echo "$cache/$package/$file"; done
done
