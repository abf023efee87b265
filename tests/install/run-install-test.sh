#!/usr/bin/env bash
# run-install-test.sh CMAKE BUILD_DIR SOURCE_DIR WORK_DIR CXX EXTRA_FLAGS LIBDIR
# Everything it writes stays under WORK_DIR, inside the build tree.
set -euo pipefail
cmake_cmd=$1 build=$2 here=$3 work=$4 cxx=$5 flags=$6 libdir=$7

prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work"
# The host must find nothing from the build tree: only the installed copy.
unset LD_LIBRARY_PATH SLUICE_PLUGIN_PATH || true

"$cmake_cmd" --install "$build" --prefix "$prefix" > "$work/install.log"

for f in include/hostlib/multimedia/exceptions.h include/sluice/sluice.h include/ostra/i18n.h \
         "$libdir/libzelhostlibmultimedia.so" "$libdir/libsluice.so" "$libdir/libostra.a" \
         "$libdir/cmake/zelhostlibmultimedia/zelhostlibmultimediaConfig.cmake" \
         "$libdir/pkgconfig/zelhostlibmultimedia.pc"; do
  [ -e "$prefix/$f" ] || { echo "FAIL: $f not installed"; exit 1; }
done

plugin=$prefix/$libdir/sluice/plugins/passthrough.so
host_args=()
if [ -f "$plugin" ]; then
  host_args=(--converter passthrough)
else
  echo "note: passthrough plug-in not installed; converter check left out"
fi

expected_exception="OutputFileLocationNotFound: The output file location specified is invalid"

# check_host BINARY: runs it and checks its output and that it uses the install.
check_host() {
  local bin=$1 out
  out=$("$bin" "${host_args[@]}") || { echo "FAIL: $bin exited with $?"; echo "$out"; exit 1; }
  echo "$out"
  grep -qxF "$expected_exception" <<< "$out" || { echo "FAIL: exception text"; exit 1; }
  if [ ${#host_args[@]} -gt 0 ]; then
    grep -qxF "converter passthrough loaded" <<< "$out" || { echo "FAIL: converter"; exit 1; }
  fi
  local resolved
  resolved=$(ldd "$bin" | awk '/libzelhostlibmultimedia|libsluice/ { print $3 }')
  while read -r lib; do
    case "$(readlink -f "$lib")" in
      "$(readlink -f "$prefix")"/*) ;;
      *) echo "FAIL: $bin loads $lib, not the installed copy"; exit 1 ;;
    esac
  done <<< "$resolved"
}

echo "== CMake package"
CXXFLAGS="$flags" LDFLAGS="$flags" "$cmake_cmd" -S "$here/consumer" -B "$work/cmake-host" \
  -DCMAKE_PREFIX_PATH="$prefix" -DHOST_SOURCE="$here/host.cpp" \
  -DCMAKE_CXX_COMPILER="$cxx" > "$work/cmake-host.log" || { cat "$work/cmake-host.log"; exit 1; }
"$cmake_cmd" --build "$work/cmake-host" > "$work/cmake-host-build.log" \
  || { cat "$work/cmake-host-build.log"; exit 1; }
check_host "$work/cmake-host/installed_host"

echo "== pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
pc_flags=$(pkg-config --cflags --libs zelhostlibmultimedia)
# shellcheck disable=SC2086
"$cxx" -std=c++17 $flags "$here/host.cpp" -o "$work/pkgconfig-host" $pc_flags \
  -Wl,-rpath,"$(pkg-config --variable=libdir zelhostlibmultimedia)"
check_host "$work/pkgconfig-host"
echo "installed host passed"
