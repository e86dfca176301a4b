# Shell pieces of the MSI packages, shared by script/package and script/lib/package-tests.sh.
# Source it after script/lib/build.sh. It knows where the packages install, how to make Wine
# prefixes quickly, how to read a prefix's machine registry as comparable records, and how to
# capture the registration that regsvr32 writes.

# Where the packages put the DLL, below the Program Files folder of their architecture. The data
# folder (below the all-users application-data folder) is the plug-in's own, fixed in its code.
lum_vendor_folder='Tessaly Corporation'
lum_product_folder='LumSiftDbNotifyWex'
lum_data_vendor_folder='Tessaly Corporation'
lum_data_folder='LUM Siftwell'
lum_dll_name='LumSiftDbNotifyWex.dll'

# lum_wine <prefix> <program> [args...]: runs a Windows program in that prefix, quietly.
lum_wine() {
  WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wine "${@:2}"
}

# lum_prefix_template <folder>: a booted prefix that the package work copies; made once (wineboot,
# 5 to 30 s on a loaded machine) and kept in the build folder.
lum_prefix_template() {
  mkdir -p "$(dirname "$1")"
  lum_ensure_prefix "$1"
}

# lum_prefix_copy <template> <prefix>: a private prefix in a fraction of a second. Files are
# hard-linked (Wine writes new files rather than into existing ones); the hive files, which it
# saves in place of the old ones, are real copies all the same, so the template never changes.
lum_prefix_copy() {
  rm -rf "$2"
  cp -al "$1" "$2"
  local hive
  for hive in "$1"/*.reg; do
    cp --remove-destination "$hive" "$2/"
  done
}

# lum_prefix_settle <prefix>: waits until the prefix's Wine server has ended, which saves the hives.
lum_prefix_settle() {
  WINEPREFIX="$1" wineserver -w 2>/dev/null || true
}

# lum_prefix_drop <prefix>: ends what still runs in the prefix and removes it.
lum_prefix_drop() {
  WINEPREFIX="$1" wineserver -k 2>/dev/null || true
  rm -rf "$1"
}

# lum_reg_records <prefix>: the prefix's HKEY_LOCAL_MACHINE, settled, as sorted lines
# "key<TAB>value line" in the hive file's own notation (a key alone: "key<TAB>"). Long hexadecimal
# values, which the hive file wraps, are joined; time stamps are left out.
lum_reg_records() {
  lum_prefix_settle "$1"
  awk '
    /^\[/ { key = $0; sub(/^\[/, "", key); sub(/\] [0-9]+$/, "", key); print key "\t"; next }
    /^#/ || /^$/ || key == "" { next }
    { line = $0
      if (cont != "") { sub(/^ +/, "", line); line = cont line; cont = "" }
      if (line ~ /\\$/) { sub(/\\$/, "", line); cont = line; next }
      print key "\t" line }
  ' "$1/system.reg" | LC_ALL=C sort
}

# Records that are neither the package's nor regsvr32's: the devices and network cards Wine
# enumerates afresh at each start, and the installer's own bookkeeping of the products it installed.
lum_reg_churn='^System\\\\CurrentControlSet\\\\(Control\\\\Class|Control\\\\DeviceClasses|Enum)\\\\'
lum_reg_churn+='|^Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\\\NetworkCards('$'\t''|\\\\)'
lum_reg_churn+='|^Software\\\\(Wow6432Node\\\\)?Microsoft\\\\Windows\\\\CurrentVersion\\\\(Installer|Uninstall)('$'\t''|\\\\)'
lum_reg_churn+='|^Software\\\\Classes\\\\Installer\\\\'

# lum_reg_added <before> <after>: the records of file after that file before lacks, churn aside.
# lum_reg_removed <before> <after>: the records of file before that file after lacks, churn aside.
lum_reg_added() {
  LC_ALL=C comm -13 "$1" "$2" | grep -Ev "$lum_reg_churn" || true
}
lum_reg_removed() {
  LC_ALL=C comm -23 "$1" "$2" | grep -Ev "$lum_reg_churn" || true
}

# lum_installed_dll <view: 64|32>: the DLL's installed path as Windows writes it.
lum_installed_dll() {
  local programs='C:\Program Files'
  [ "$1" = 64 ] || programs='C:\Program Files (x86)'
  printf '%s\\%s\\%s\\%s' "$programs" "$lum_vendor_folder" "$lum_product_folder" "$lum_dll_name"
}

# lum_unix_path <prefix> <Windows path on C:>: the same file seen from Linux.
lum_unix_path() {
  local rest=${2#C:\\}
  printf '%s/drive_c/%s' "$1" "${rest//\\//}"
}

# lum_capture_registration <x86_64 DLL> <template prefix> <work folder> <records file>: what
# regsvr32 of the DLL writes to the machine registry, as records, in a prefix of its own. The DLL
# is put where the x64 package installs it first, so that the path it registers is the installed
# one.
lum_capture_registration() {
  local dll=$1 prefix="$3/prefix"
  local target
  target=$(lum_installed_dll 64)
  lum_prefix_copy "$2" "$prefix"
  lum_reg_records "$prefix" >"$3/before.records"
  mkdir -p "$(dirname "$(lum_unix_path "$prefix" "$target")")"
  cp "$dll" "$(lum_unix_path "$prefix" "$target")"
  if ! lum_wine "$prefix" regsvr32 /s "$target"; then
    echo "package: regsvr32 of $dll failed" >&2
    return 1
  fi
  lum_reg_records "$prefix" >"$3/after.records"
  lum_reg_added "$3/before.records" "$3/after.records" >"$4"
  lum_prefix_drop "$prefix"
  local class stray
  class=$(sed -n 's/.*\\\\\({[0-9A-Fa-f-]*}\)\\\\InprocServer32\t.*/\1/p' "$4" | head -1)
  if [ -z "$class" ]; then
    echo "package: regsvr32 wrote no class registration" >&2
    return 1
  fi
  # Everything the DLL registers names its class or its module. Anything else would be Wine's own
  # doing that the churn filter does not know yet, and must not go into the package.
  stray=$(grep -viF -e "$class" -e "${lum_dll_name%.dll}" "$4" || true)
  if [ -n "$stray" ]; then
    echo "package: regsvr32's capture holds entries that name neither $class nor the module:" >&2
    echo "$stray" >&2
    return 1
  fi
}

# lum_name_guid <text>: a GUID that is always the same for the same text (a name-based one, from
# MD5), upper-case and braced as the installer writes them.
lum_name_guid() {
  local h
  h=$(printf '%s' "$1" | md5sum | cut -c1-32)
  # Version 3 (name-based, MD5) and the standard variant, as RFC 4122 marks them.
  h="${h:0:12}3${h:13:3}$(printf '%x' $(( (0x${h:16:1} & 0x3) | 0x8 )))${h:17:15}"
  h=${h^^}
  printf '{%s-%s-%s-%s-%s}' "${h:0:8}" "${h:8:4}" "${h:12:4}" "${h:16:4}" "${h:20:12}"
}

# lum_build_msi <x86|x64> <version> <DLL> <registry include> <output .msi>: one package.
# wixl writes every registry string as REG_SZ (it ignores Type="expandable" and escapes a leading
# '#'), so the rows the include marks as expandable are given the installer's "#%" prefix
# afterwards, in the package's Registry table.
lum_build_msi() {
  local arch=$1 version=$2 dll=$3 include=$4 msi=$5
  local work
  work=$(mktemp -d)
  # wixl finds sources and includes only by relative names: it builds in a folder of copies.
  cp "$dll" "$work/$lum_dll_name"
  cp "$include" "$work/registry.wxi"
  (cd "$work" && wixl -a "$arch" -o "$msi" \
       -D Arch="$arch" -D Version="$version" -D DllSource="$lum_dll_name" -D RegistryInclude=registry.wxi \
       -D ProductCode="$(lum_name_guid "LumSiftDbNotifyWex $arch $version")" \
       -D VendorFolder="$lum_vendor_folder" -D ProductFolder="$lum_product_folder" \
       -D DataVendorFolder="$lum_data_vendor_folder" -D DataFolder="$lum_data_folder" \
       "$root/packaging/LumSiftDbNotifyWex.wxs" 2>"$work/wixl.err") || { cat "$work/wixl.err" >&2; rm -rf "$work"; return 1; }
  if grep -q 'WARNING\|CRITICAL' "$work/wixl.err"; then
    # wixl reports an attribute it does not know as a warning and leaves it out of the package.
    cat "$work/wixl.err" >&2
    rm -rf "$work" "$msi"
    return 1
  fi
  if grep -q 'Id="expandable_' "$include"; then
    (cd "$work" && msidump -t -d . "$msi" >/dev/null)
    awk -F'\t' 'BEGIN { OFS = "\t" } NR > 3 && $1 ~ /^expandable_/ { $5 = "#%" $5 } { print }' \
        "$work/Registry.idt" >"$work/Registry.fixed" && mv "$work/Registry.fixed" "$work/Registry.idt"
    msibuild "$msi" -i "$work/Registry.idt"
  fi
  # wixl has no Permission or PermissionEx element: the data folder's rights go into the
  # MsiLockPermissionsEx table directly, as the DACL the plug-in itself gives the folder
  # (notify/DataFolderSecurity.cpp). An installer-made folder would otherwise inherit the
  # all-users application data folder's rights, which let ordinary users create files in it.
  printf '%s\n' $'MsiLockPermissionsEx\tLockObject\tTable\tSDDL\tCondition' \
                 $'s72\ts72\ts32\ts0\tS255' \
                 $'MsiLockPermissionsEx\tMsiLockPermissionsEx' \
                 "DataFolderRights"$'\t'"DATAFOLDER"$'\t'"CreateFolder"$'\t'"$(lum_data_folder_sddl)"$'\t' \
    >"$work/MsiLockPermissionsEx.idt"
  msibuild "$msi" -i "$work/MsiLockPermissionsEx.idt"
  rm -rf "$work"
}

# lum_data_folder_sddl: the data folder's DACL as the plug-in asks for it, read from its source so
# that the package and the plug-in cannot drift apart.
lum_data_folder_sddl() {
  sed -n 's/^const wchar_t kDataFolderSddl\[\] = L"\(.*\)";$/\1/p' "$root/notify/DataFolderSecurity.cpp"
}
