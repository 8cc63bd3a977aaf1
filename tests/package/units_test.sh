#!/usr/bin/env bash
# The services of ks318-web and ks318-bridge as the package installs them:
# systemd-analyze verify passes on their units (programs, man pages, targets
# found in the installed tree), and every option their command lines give,
# in the unit or in its settings file, is one the program lists in --help.
# Usage: units_test.sh BUILD_DIR
set -euo pipefail
build=$1
root=$(mktemp -d /tmp/ks318-units-XXXXXX)
trap 'rm -rf "$root"' EXIT

for component in libks318 ks318-tools; do
  cmake --install "$build" --component $component --prefix "$root/usr" >/dev/null
done
units=(usr/lib/systemd/system/ks318-web.service usr/lib/systemd/system/ks318-bridge.service)
for unit in "${units[@]}"; do [[ -f $root/$unit ]] || { echo "not installed: /$unit" >&2; exit 1; }; done
# The targets the units are ordered against, as the system has them.
mkdir -p "$root/lib/systemd"
cp -r /lib/systemd/system "$root/lib/systemd/system"

out=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" "${units[@]/#//}" 2>&1) ||
  { echo "systemd-analyze verify failed: $out" >&2; exit 1; }
[[ -z $out ]] || { echo "systemd-analyze verify: $out" >&2; exit 1; }
echo "systemd-analyze verify: ${units[*]##*/} pass"

for unit in "${units[@]}"; do
  exec_start=$(sed -n 's/^ExecStart=//p' "$root/$unit")
  program=${exec_start%% *}
  env_file=$(sed -n 's/^EnvironmentFile=-\{0,1\}//p' "$root/$unit")
  [[ -x $root$program && -f $root$env_file ]] || { echo "$unit: no $program or $env_file" >&2; exit 1; }
  # The settings file as systemd reads it: the unit's variables, each set once.
  settings=$(env -i bash -c "set -a; . '$root$env_file'; env" | grep '^KS318_')
  options=$(printf '%s\n%s\n' "$exec_start" "$settings" | grep -o -- '--[a-z][a-z-]*' | sort -u)
  [[ -n $options ]] || { echo "$unit: no options found" >&2; exit 1; }
  for variable in $(grep -o '\${\{0,1\}KS318_[A-Z_]*' <<<"$exec_start" | tr -d '${'); do
    grep -q "^$variable=" <<<"$settings" || { echo "$unit: $variable is not in $env_file" >&2; exit 1; }
  done
  usage=$("$root$program" --help)
  for option in $options; do
    grep -Eq -- "^ +(-[a-zA-Z],)?$option( |$)" <<<"$usage" ||
      { echo "$unit: ${program##*/} has no option $option" >&2; exit 1; }
  done
  echo "${unit##*/}: ${program##*/} takes $(echo $options)"
done
