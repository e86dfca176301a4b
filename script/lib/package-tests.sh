#!/usr/bin/env bash
# The package tests: each installs packages in a Wine prefix of its own (a copy of one template)
# and reads back the prefix's registry hive and files. No 32-bit code runs: the x86 package writes
# its registry tables and copies its file, which is all it does.
#   script/lib/package-tests.sh <packages folder> <version>
# script/package --test builds the packages and runs this; script/test runs it after the unit tests.
set -euo pipefail
cd "$(dirname "$0")/../.."
. script/lib/build.sh
. script/lib/package.sh

packages=$(cd "$1" && pwd)
version=$2
work="$build/packages-wine"
template="$work/template"
expected="$packages/registration.records"
probe="$build/x64/tests/package/package_probe.exe"
dll64="$build/x64-release/host/$lum_dll_name"
dll32="$build/i686/host/$lum_dll_name"
msi64="$packages/LumSiftDbNotifyWex-$version-x64.msi"
msi32="$packages/LumSiftDbNotifyWex-$version-x86.msi"
product_root='Software\Tessaly Corporation\LUM Siftwell'

# check <what> <command...>: runs the command, prints ok or FAIL with the command's output.
check() {
  local what=$1 output
  shift
  if output=$("$@" 2>&1); then
    echo "  ok    $what"
  else
    echo "  FAIL  $what"
    [ -z "$output" ] || sed 's/^/          /' <<<"$output"
    return 1
  fi
}

# msi <prefix> <log> <msiexec arguments...>: silent, with a verbose log.
msi() {
  local prefix=$1 log=$2
  shift 2
  lum_wine "$prefix" msiexec "$@" /qn /l*v "Z:${log//\//\\}"
}

# installs <prefix> <log> <msiexec arguments...>: msiexec succeeds.
installs() {
  local rc=0
  msi "$@" || rc=$?
  [ "$rc" -eq 0 ] || { echo "msiexec $3 $(basename "$4") ended with $rc; log: $2"; return 1; }
}

# same_records <expected> <actual>: equal record lists, else their difference.
same_records() {
  diff -u --label expected --label installed "$1" "$2"
}

# In the 32-bit view as a 64-bit program reads the hive: Software\Wow6432Node and
# Software\Classes\Wow6432Node. Mapped to the plain view, with the 32-bit Program Files folder
# written as the 64-bit one, the x86 package's entries compare with the x64 package's.
from_32bit_view() {
  sed -e 's/^Software\\\\Classes\\\\Wow6432Node\\\\/Software\\\\Classes\\\\/' \
      -e 's/^Software\\\\Wow6432Node\\\\/Software\\\\/' \
      -e 's/C:\\\\Program Files (x86)\\\\/C:\\\\Program Files\\\\/g' "$1" | LC_ALL=C sort
}

# only_in_32bit_view <records>: no record below Software outside the 32-bit view.
only_in_32bit_view() {
  ! grep -Ev '^Software\\\\(Classes\\\\)?Wow6432Node\\\\|^System\\\\' "$1"
}

# files <prefix>: the files and folders of drive C: outside Wine's own folders.
files() {
  (cd "$1/drive_c" && find . -mindepth 1 -not -path './windows*' -not -path './users*' | LC_ALL=C sort)
}

# leaves_nothing <before records> <after records> <before files> <after files>: the registry is as
# it was before the install, but for the product's root key (which uninstall may leave, as
# DllUnregisterServer does), and so are the files. A key that was empty may be gone: Wine's
# installer deletes each key it leaves empty and then its parents while they are empty too, which
# reaches a key such as Software\Classes\Wow6432Node\CLSID, empty in a new prefix. A value, or a key
# with anything in it, cannot go that way unnoticed: its records are listed.
leaves_nothing() {
  local left removed
  left=$(lum_reg_added "$1" "$2" | grep -Ev '^Software\\\\(Wow6432Node\\\\)?Tessaly Corporation(\\\\LUM Siftwell)?	$' || true)
  removed=$(lum_reg_removed "$1" "$2" | grep -v '	$' || true)
  [ -z "$left" ] || echo "left in the registry:"$'\n'"$left"
  [ -z "$removed" ] || echo "removed from the registry:"$'\n'"$removed"
  diff -u --label before --label after "$3" "$4" || return 1
  [ -z "$left$removed" ]
}

# probe_answers <prefix>: the plug-in, created from the registration in the prefix, comes from the
# installed DLL and answers GetPendingCount.
probe_answers() {
  local output
  output=$(lum_wine "$1" "$probe" | tr -d '\r') || { echo "$output"; return 1; }
  echo "$output"
  grep -qixF "module $(lum_installed_dll 64)" <<<"$output" && grep -qx 'pending count 0' <<<"$output"
}

# refuses_32bit_windows: the x64 package's launch condition. Wine sets VersionNT64 in a 64-bit
# prefix whatever the command line says, and runs no 32-bit Windows, so the condition is read from
# the package's LaunchCondition table instead of being met.
refuses_32bit_windows() {
  msiinfo export "$msi64" LaunchCondition | grep -q $'^VersionNT64\t.*64-bit Windows' &&
    ! msiinfo export "$msi32" LaunchCondition | grep -q VersionNT64
}

# locks_the_data_folder: both packages give the data folder the plug-in's own protected DACL.
locks_the_data_folder() {
  local sddl msi
  sddl=$(lum_data_folder_sddl)
  [ -n "$sddl" ] || return 1
  for msi in "$msi64" "$msi32"; do
    msiinfo export "$msi" MsiLockPermissionsEx | tr -d '\r' | grep -qxF "DataFolderRights"$'\t'"DATAFOLDER"$'\t'"CreateFolder"$'\t'"$sddl"$'\t' || return 1
  done
}

# installed_version <records> <version>: the installer lists the x64 product of that version.
installed_version() {
  grep -qF "Uninstall\\\\$(lum_name_guid "LumSiftDbNotifyWex x64 $2")"$'\t''"DisplayVersion"="'"$2"'"' "$1"
}

# lower_version <major.minor.build>: a version below it, for the upgrade test.
lower_version() {
  local major minor build
  IFS=. read -r major minor build <<<"$1"
  if [ "$build" -gt 0 ]; then echo "$major.$minor.$((build - 1))"
  elif [ "$minor" -gt 0 ]; then echo "$major.$((minor - 1)).0"
  else echo "$((major - 1)).0.0"
  fi
}

data_folder() {
  printf '%s/drive_c/ProgramData/%s/%s' "$1" "$lum_data_vendor_folder" "$lum_data_folder"
}

# install_and_uninstall <name> <msi> <checks>: installs the package silently in a prefix of its own,
# runs the checks function with the prefix (its records of what the install added are in
# <prefix>.added), uninstalls the package and checks that nothing of ours is left.
install_and_uninstall() {
  local name=$1 msi=$2 checks=$3 p="$work/$1" status=0
  lum_prefix_copy "$template" "$p"
  lum_reg_records "$p" >"$p.before"
  files "$p" >"$p.files-before"
  check "$name: msiexec /i installs silently" installs "$p" "$p-install.log" /i "$msi" || return 1
  lum_reg_records "$p" >"$p.installed"
  lum_reg_added "$p.before" "$p.installed" >"$p.added"
  "$checks" "$p" || status=1
  check "$name: msiexec /x uninstalls silently" installs "$p" "$p-uninstall.log" /x "$msi" || return 1
  lum_reg_records "$p" >"$p.uninstalled"
  files "$p" >"$p.files-after"
  check "$name: the uninstall leaves no key and no file of ours" \
        leaves_nothing "$p.before" "$p.uninstalled" "$p.files-before" "$p.files-after" || status=1
  lum_prefix_drop "$p"
  return $status
}

# The test build compiles contract and lock-order checks in; the text of a failed contract is
# their mark. The packaged DLLs must not carry them.
without_checks() {
  local dll
  for dll in "$@"; do
    if grep -aq 'contract failed' "$dll"; then echo "$dll carries the run-time checks"; return 1; fi
  done
}

# The x64 package: its entries are regsvr32's, and the plug-in can be created and answers.
x64_checks() {
  local p=$1 status=0
  check "x64: the registry holds exactly what regsvr32 of the DLL writes" same_records "$expected" "$p.added" || status=1
  check "x64: the DLL is in Program Files" cmp "$dll64" "$(lum_unix_path "$p" "$(lum_installed_dll 64)")" || status=1
  check "x64: the data folder is created" test -d "$(data_folder "$p")" || status=1
  check "both packaged DLLs are built without the test build's run-time checks" without_checks "$dll64" "$dll32" || status=1
  check "both packages give the data folder the plug-in's protected DACL (MsiLockPermissionsEx)" \
        locks_the_data_folder || status=1
  check "x64: the package refuses 32-bit Windows (launch condition VersionNT64), the x86 one does not" \
        refuses_32bit_windows || status=1
  check "x64: CoCreateInstance creates the plug-in, which answers GetPendingCount" probe_answers "$p" || status=1
  return $status
}
test_x64() {
  install_and_uninstall x64 "$msi64" x64_checks
}

# The x86 package in the 64-bit prefix: its file goes to Program Files (x86), its entries to the
# 32-bit view, and they are the x64 package's.
x86_checks() {
  local p=$1 status=0
  check "x86: the DLL is in Program Files (x86), and only there" \
        eval "cmp '$dll32' '$(lum_unix_path "$p" "$(lum_installed_dll 32)")' &&
              ! test -e '$(lum_unix_path "$p" "$(lum_installed_dll 64)")'" || status=1
  check "x86: its entries are in the 32-bit view only" only_in_32bit_view "$p.added" || status=1
  from_32bit_view "$p.added" >"$p.added-plain"
  check "x86: the 32-bit view holds the x64 package's entries" same_records "$expected" "$p.added-plain" || status=1
  return $status
}
test_x86() {
  install_and_uninstall x86 "$msi32" x86_checks
}

# Upgrade from a lower version: the newer product replaces the older one and keeps the data
# folder; the older one then refuses to install; uninstall keeps a plug-in list that still lists
# another plug-in, and the data folder's files.
test_upgrade() {
  local p="$work/upgrade" status=0 lower queue other
  lower=$(lower_version "$version")
  lum_build_msi x64 "$lower" "$dll64" "$packages/registry.wxi" "$work/LumSiftDbNotifyWex-$lower-x64.msi"
  lum_prefix_copy "$template" "$p"
  lum_reg_records "$p" >"$p.before"
  check "upgrade: version $lower installs" installs "$p" "$p-install-$lower.log" /i "$work/LumSiftDbNotifyWex-$lower-x64.msi" || return 1
  queue="$(data_folder "$p")/DbWexDelayQueue.dat"
  printf '\xff\xfe' >"$queue"
  printf 'lum-7\t300\tC:\\Media\\clip.mp4\r\n' | iconv -f UTF-8 -t UTF-16LE >>"$queue"
  cp "$queue" "$p.queue"
  check "upgrade: version $version installs over it" installs "$p" "$p-install-$version.log" /i "$msi64" || return 1
  lum_reg_records "$p" >"$p.installed"
  check "upgrade: version $lower is removed, version $version is installed" eval "
        ! installed_version '$p.installed' $lower && installed_version '$p.installed' $version" || status=1
  check "upgrade: the delay-queue file in the data folder is kept" cmp "$p.queue" "$queue" || status=1
  lum_reg_added "$p.before" "$p.installed" >"$p.added"
  check "upgrade: the registry holds exactly what regsvr32 writes" same_records "$expected" "$p.added" || status=1
  # Wine's installer logs no launch condition's message; the refusal shows in the exit code and
  # in what stays installed.
  check "upgrade: version $lower then refuses to install, and $version stays" eval "
        ! msi '$p' '$p-downgrade.log' /i '$work/LumSiftDbNotifyWex-$lower-x64.msi' &&
        lum_reg_records '$p' >'$p.refused' && installed_version '$p.refused' $version &&
        ! installed_version '$p.refused' $lower && lum_reg_added '$p.before' '$p.refused' | same_records '$expected' -" || status=1
  other="HKLM\\$product_root\\DB Notify Plugins\\{00000000-0000-0000-0000-0000000000AB}"
  lum_wine "$p" reg add "$other" /v "Module ID" /t REG_SZ /d OtherPlugin /f >/dev/null
  check "upgrade: msiexec /x uninstalls silently" installs "$p" "$p-uninstall.log" /x "$msi64" || return 1
  lum_reg_records "$p" >"$p.uninstalled"
  check "uninstall: a plug-in list that lists another plug-in stays, without our entry" eval "
        lum_reg_added '$p.before' '$p.uninstalled' | grep -F 'DB Notify Plugins' | grep -qF OtherPlugin &&
        ! grep -qi 'E8356F7A-A97E-4794-97DD-C715322472E3' '$p.uninstalled'" || status=1
  check "uninstall: the data folder's files stay" cmp "$p.queue" "$queue" || status=1
  lum_prefix_drop "$p"
  return $status
}

# The registry entries survive the way from regsvr32's hive to a package and back into a hive:
# names and texts with quotes, backslashes, brackets, braces and markup, an expandable string with
# the DLL's path inside it, a DWORD with the top bit set, a default value. Records in the hive
# file's notation, as lum_reg_records gives them.
test_generator() {
  local p="$work/generator" key='Software\\Lum Package Test\\{0A1B2C3D-0000-0000-0000-00000000000E}'
  local dll
  dll=$(lum_installed_dll 64)
  dll=${dll//\\/\\\\}
  {
    printf '%s\t\n' "$key"
    printf '%s\t%s\n' "$key" '@="default [x] {y}"' \
      "$key" '"expandable"=str(2):"\"'"$dll"'\",1 %SystemRoot%"' \
      "$key" '"name \"quoted\" & <b> [c] {d}"="v \\ [e] {f} & <g> \"h\""' \
      "$key" '"top bit"=dword:80000001'
  } | LC_ALL=C sort >"$p.expected"
  LUM_DLL_PATH="$(lum_installed_dll 64)" awk -f script/lib/wix-registry.awk "$p.expected" >"$p.wxi"
  lum_build_msi x64 "$version" "$dll64" "$p.wxi" "$p.msi"
  lum_prefix_copy "$template" "$p"
  lum_reg_records "$p" >"$p.before"
  check "generator: a package of unusual entries installs" installs "$p" "$p-install.log" /i "$p.msi" || return 1
  lum_reg_records "$p" >"$p.installed"
  lum_reg_added "$p.before" "$p.installed" >"$p.added"
  check "generator: the hive holds the entries it was made from" same_records "$p.expected" "$p.added"
  local status=$?
  lum_prefix_drop "$p"
  return $status
}

started=$(date +%s)
lum_prefix_template "$template"
[ -f "$probe" ] || { echo "package tests: $probe is not built" >&2; exit 1; }
# The tests run side by side, each in its own prefix; their reports follow in order.
names=(x64 x86 upgrade generator)
pids=()
for name in "${names[@]}"; do
  "test_$name" >"$work/$name.report" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!names[@]}"; do
  wait "${pids[$i]}" || status=1
  cat "$work/${names[$i]}.report"
done
echo "package tests: $( [ $status -eq 0 ] && echo passed || echo FAILED ) in $(( $(date +%s) - started )) s"
exit $status
