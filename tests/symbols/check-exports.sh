#!/usr/bin/env bash
# Checks the dynamic symbol table of libzelhostlibmultimedia.so.
#   check-exports.sh LIBRARY HEADER_DIR CHECK
# CHECK is one of: exceptions, version, hidden, foreign, or the name of a file
# class (tmmfb2filewriter, ...). A file class whose header does not exist yet
# is reported as skipped (exit 77).
set -u

# ---- What the library must and must not export -----------------------------
NS='hostlib::multimedia'
EXCEPTION_CLASSES=(Exception UnexpectedException InputFileNotFoundException
  OutputFileLocationNotFoundException FilterCreationFailedException
  ConverterCreationFailedException ChannelCreationFailedException
  VideoWriteException AudioWriteException VideoReadException)
C_DATA_SYMBOLS=(libzelhostlibmultimedia_version libzelhostlibmultimedia_build_date)
# File classes and the constants they must export at least; every other static
# constant their header declares is required as well.
declare -A FILE_CLASS_CONSTANTS=(
  [tmmfb2filewriter]="OUTPUT_STREAM_LIMIT INPUT_STREAM_LIMIT"
  [tmmfb2audiowriter]="SAMPLE_RATE NUM_CHANNELS DEFAULT_OGG_QUALITY"
  [tmmfb2videowriter]="FRAME_RATE FILENAME"
  [fmmfb2audioreader]="FILENAME OUTPUT_STREAM_LIMIT INPUT_STREAM_LIMIT"
  [fmmfb2audioinfo]=""
  [fmmfb2videoreader]=""
)
INTERNAL_CLASSES=(ChannelManager EventHandler AudioEventHandler VideoEventHandler
  VideoReadEventHandler)
INTERNAL_FUNCTIONS=(audioErrorCatalogue videoErrorCatalogue videoReadErrorCatalogue)
# ------------------------------------------------------------------------------

if [ $# -ne 3 ]; then
  echo "usage: $0 LIBRARY HEADER_DIR CHECK" >&2
  exit 2
fi
lib=$1
headers=$2
check=$3

if [ ! -f "$lib" ]; then
  echo "FAIL: $lib does not exist"
  exit 1
fi
# One line per symbol: "TYPE demangled-name".
symbols=$(nm -D --defined-only -C "$lib" | sed -E 's/^[0-9a-fA-F]+ //') || {
  echo "FAIL: nm could not read $lib"
  exit 1
}

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# has_symbol NAME: an exported symbol whose demangled name is exactly NAME.
has_symbol() {
  grep -qxF -- "$1" < <(printf '%s\n' "$symbols" | cut -c3-)
}
# has_prefix TEXT: an exported symbol whose demangled name starts with TEXT.
has_prefix() {
  printf '%s\n' "$symbols" | cut -c3- | awk -v p="$1" 'index($0, p) == 1 { found = 1 } END { exit !found }'
}
require() {
  if has_symbol "$1"; then echo "ok: $1"; else fail "missing export: $1"; fi
}
require_prefix() {
  if has_prefix "$1"; then echo "ok: $1..."; else fail "missing export: $1..."; fi
}

# The entity a symbol belongs to: the name without the "typeinfo for " kind of
# prefix, the return type of a template function, or the parameter list.
entities() {
  printf '%s\n' "$symbols" | cut -c3- | sed -E \
    -e 's/^(typeinfo name for|typeinfo for|vtable for|VTT for|construction vtable for|guard variable for|non-virtual thunk to|virtual thunk to|covariant return thunk to) //'
}

case "$check" in
  exceptions)
    for c in "${EXCEPTION_CLASSES[@]}"; do
      require "typeinfo for $NS::$c"
      require "typeinfo name for $NS::$c"
      require "vtable for $NS::$c"
      require "$NS::$c::~$c()"
    done
    ;;

  version)
    for s in "${C_DATA_SYMBOLS[@]}"; do
      if printf '%s\n' "$symbols" | grep -qxE "[DRB] $s"; then
        echo "ok: $s (data)"
      else
        fail "missing data symbol: $s"
      fi
    done
    ;;

  hidden)
    for c in "${INTERNAL_CLASSES[@]}"; do
      leaked=$(entities | grep -E "^$NS::$c(::|<|$)")
      [ -n "$leaked" ] && fail "internal class $c exported:" && printf '  %s\n' "$leaked"
    done
    for f in "${INTERNAL_FUNCTIONS[@]}"; do
      leaked=$(entities | grep -E "^$NS::$f\(")
      [ -n "$leaked" ] && fail "internal function $f exported:" && printf '  %s\n' "$leaked"
    done
    leaked=$(entities | grep -F '(anonymous namespace)')
    [ -n "$leaked" ] && fail "anonymous-namespace symbols exported:" && printf '  %s\n' "$leaked"
    ;;

  foreign)
    # Everything exported belongs to the library's namespace or is one of the
    # C data symbols; code that Boost, ostra or the standard library headers
    # put into the library stays inside it.
    allowed="^($NS::|typeinfo (name )?for $NS::|vtable for $NS::|VTT for $NS::|(non-)?virtual thunk to $NS::)"
    for s in "${C_DATA_SYMBOLS[@]}"; do allowed="$allowed|^$s\$"; done
    foreign=$(printf '%s\n' "$symbols" | cut -c3- | grep -vE "$allowed")
    if [ -n "$foreign" ]; then
      fail "symbols outside $NS exported:"
      printf '%s\n' "$foreign" | sed 's/^/  /' | head -50
    else
      echo "ok: only $NS and the C data symbols are exported"
    fi
    ;;

  *)
    if [ -z "${FILE_CLASS_CONSTANTS[$check]+set}" ]; then
      echo "unknown check: $check" >&2
      exit 2
    fi
    header="$headers/$check.h"
    if [ ! -f "$header" ]; then
      echo "SKIPPED: $check is not declared yet ($header missing)"
      exit 77
    fi
    # Constants named above, and every static constant the header declares.
    declared=$(sed -nE 's/^[[:space:]]*static[[:space:]].*[^A-Za-z0-9_]([A-Z][A-Z0-9_]*)[[:space:]]*;.*/\1/p' "$header")
    for k in $(printf '%s\n' ${FILE_CLASS_CONSTANTS[$check]} $declared | sort -u); do
      require "$NS::$check::$k"
    done
    require_prefix "$NS::$check::$check("
    require "$NS::$check::~$check()"
    # Polymorphic when it declares a virtual member or derives from a class.
    if grep -qE '(^|[^A-Za-z_])virtual[[:space:]]|class[^;{]*[[:space:]]:[[:space:]]*public[[:space:]]' "$header"; then
      require "typeinfo for $NS::$check"
      require "typeinfo name for $NS::$check"
      require "vtable for $NS::$check"
    else
      echo "note: $check has no virtual members and no base, so no typeinfo or vtable to export"
    fi
    ;;
esac

if [ "$failures" -ne 0 ]; then
  echo "$failures problem(s) in $(basename "$lib")"
  exit 1
fi
exit 0
