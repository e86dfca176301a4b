# Shell pieces that script/test and script/demo share. Source it from a script that has already
# done `cd` to the repository root and set `set -euo pipefail`:
#   . script/lib/build.sh
# It sets root (the repository) and build (the build folder: $LUM_BUILD or build/, made absolute).

root=$(pwd)
build=${LUM_BUILD:-build}
case "$build" in /*) ;; *) build="$root/$build" ;; esac

# Installs the toolchain, Wine, GoogleTest, tmux (the terminal the lumhost test types into) and the
# package tools when one of them is missing (script/bootstrap).
lum_bootstrap_if_needed() {
  local need=0 tool
  for tool in cmake x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump wine ccache tmux wixl msiinfo; do
    command -v "$tool" >/dev/null 2>&1 || need=1
  done
  [ -f /usr/src/googletest/CMakeLists.txt ] || need=1
  if [ "$need" -eq 1 ]; then
    "$root/script/bootstrap"
  fi
}

# lum_configure <folder> <toolchain file> <ON|OFF: tests, stand-ins and lumhost> [cmake arguments...]
# Configures a build folder once; later builds re-check the source globs by themselves. Further
# arguments (a build type, say) follow the defaults and so override them.
# Compiles through ccache when it is installed; several work trees of the repository then share
# one cache, since paths below the root are hashed relative to it.
lum_configure() {
  local launcher=()
  if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  if [ ! -f "$1/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$2" "${launcher[@]}" \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUM_BUILD_TESTS="$3" "${@:4}" >/dev/null
  fi
}
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1

# The number of parallel build jobs.
lum_jobs() {
  nproc 2>/dev/null || echo 2
}

# lum_ensure_prefix <prefix>: creates the Wine prefix (about 5 s) unless it exists.
lum_ensure_prefix() {
  if [ ! -f "$1/system.reg" ]; then
    WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX="$1" wineserver -w || true
    [ -f "$1/system.reg" ] || { echo "could not create the Wine prefix in $1" >&2; return 1; }
  fi
}
