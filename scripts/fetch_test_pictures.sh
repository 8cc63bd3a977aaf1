#!/usr/bin/env bash
# Fetches the real metafiles the cross-platform comparison reads, from Debian 12
# packages, into a cache outside the clone, and prints their paths one a line:
#   libreoffice-dev-doc: the clip art of the SDK's forms-and-controls example,
#     usr/lib/libreoffice/sdk/examples/basic/forms_and_controls/
#     {beef,burger,chicken,fish,vegetable}.wmf (placeable WMFs exported by an
#     office suite).
#   openclipart-svg: drawings (maps among them) exported as EMF by LibreOffice
#     (whose paths are MOVETO, LINETO, POLYLINETO and POLYBEZIERTO figures) and
#     as EMF and WMF by Inkscape, into exports/ (with --exports only: the
#     exporters, inkscape and libreoffice-draw-nogui, are installed for it).
# The packages are large (about 580 and 25 MB): each is downloaded only when a
# file is missing, and deleted once the files are out of it.
# Usage: scripts/fetch_test_pictures.sh [--exports] [CACHE_DIR]
#   (default: ${XDG_CACHE_HOME:-$HOME/.cache}/ks318/test-pictures)
set -euo pipefail

exports=0
if [[ ${1:-} == --exports ]]; then exports=1; shift; fi
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

((exports)) || exit 0

# Drawings exported by the programs people make metafiles with. The same
# drawings every time: the maps, and every 400th other drawing of 5 to 60 kB.
out=$cache/exports
if [[ ! -f $out/.done ]]; then
  if ! command -v inkscape >/dev/null || ! command -v soffice >/dev/null; then
    echo "Installing the exporters (inkscape, libreoffice-draw-nogui)" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends inkscape libreoffice-draw-nogui >&2
  fi
  work=$(mktemp -d "$cache/.fetch-XXXXXX")
  (
    cd "$work"
    apt-get download -q -o APT::Sandbox::User=root openclipart-svg >&2 ||
      { echo "cannot download openclipart-svg (run 'apt-get update' first?)" >&2; exit 1; }
    dpkg-deb --fsys-tarfile ./*.deb | tar -x --wildcards './usr/share/openclipart/svg/*'
    svg=usr/share/openclipart/svg
    {
      find "$svg/geography" -name 'map_of_*.svg' -size -120k
      find "$svg" -name '*.svg' -size +5k -size -60k | LC_ALL=C sort | awk 'NR % 400 == 1'
    } | LC_ALL=C sort -u >chosen
    mkdir -p "$out.new"
    i=0
    while read -r file; do
      name=$(printf '%02d-%s' "$i" "$(basename "$file" .svg)")
      cp "$file" "svg-$name.svg"
      i=$((i + 1))
      for kind in emf wmf; do
        timeout 120 inkscape "svg-$name.svg" --export-type="$kind" --export-filename="$out.new/inkscape-$name.$kind" \
          >/dev/null 2>&1 || echo "inkscape could not export $file as $kind" >&2
      done
    done <chosen
    # One office process for every drawing.
    timeout 900 soffice --headless -env:UserInstallation="file://$work/profile" --convert-to emf \
      --outdir "$work/office" svg-*.svg >/dev/null 2>&1 || true
    for file in office/svg-*.emf; do
      [[ -s $file ]] && mv "$file" "$out.new/libreoffice-$(basename "$file" | sed 's/^svg-//')"
    done
    rm -rf "$out"
    mv "$out.new" "$out"
    touch "$out/.done"
  ) || { rm -rf "$work" "$out.new"; exit 1; }
  rm -rf "$work"
fi
find "$out" -type f \( -name '*.emf' -o -name '*.wmf' \) | LC_ALL=C sort
