#!/usr/bin/env bash
# Checks a built VelquoraORN.dll: its export table must be exactly the functions the public
# header declares plus "?ornReOpenPort@@YAHXZ" (nothing missing, nothing extra), and it must
# import only system DLLs. Given the Visual Studio import library too, it checks that the
# library imports exactly those names as an MSVC compiler references them: __imp__ and the
# name for a C function, __imp_ and the name for the decorated one.
#   scripts/check-exports.sh build-win32/VelquoraORN.dll include/velquoraorn.h [VelquoraORN.lib]
set -euo pipefail
dll="$1"
header="$2"
import_lib="${3:-}"
objdump="${OBJDUMP:-i686-w64-mingw32-objdump}"
work="$(mktemp -d)"
trap 'rm -rf "${work}"' EXIT

sed -n 's/^ORN_API[^(]*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "${header}" >"${work}/expected"
echo '?ornReOpenPort@@YAHXZ' >>"${work}/expected"
sort -o "${work}/expected" "${work}/expected"

"${objdump}" -p "${dll}" >"${work}/dump"
# The name pointer table: "[ n] +base[ m] hint name" lines after its heading.
sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' "${work}/dump" |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]\+\(+base\[[[:space:]]*[0-9]*\][[:space:]]\+[0-9a-f]\+[[:space:]]\+\)\?\([^[:space:]]\+\)$/\2/p' |
  sort >"${work}/actual"

status=0
if ! diff -u "${work}/expected" "${work}/actual" >"${work}/diff"; then
  echo "check-exports: the export table differs from the header (- missing, + extra):" >&2
  grep '^[-+][^-+]' "${work}/diff" >&2 || true
  status=1
fi

allowed='^(kernel32|user32|advapi32|msvcrt|ws2_32|bcrypt|ntdll)\.dll$'
sed -n 's/^[[:space:]]*DLL Name: //p' "${work}/dump" | tr 'A-Z' 'a-z' >"${work}/imports"
if grep -Ev "${allowed}" "${work}/imports" >"${work}/foreign"; then
  echo "check-exports: imports of non-system DLLs:" >&2
  cat "${work}/foreign" >&2
  status=1
fi

if [ -n "${import_lib}" ]; then
  nm="${NM:-$(command -v llvm-nm-14 || command -v llvm-nm || echo llvm-nm)}"
  sed -e 's/^?/__imp_?/' -e 's/^[^_]/__imp__&/' "${work}/expected" | sort >"${work}/expected-lib"
  "${nm}" "${import_lib}" 2>/dev/null | awk '$2 == "T" && $3 ~ /^__imp_/ { print $3 }' |
    sort >"${work}/actual-lib"
  if ! diff -u "${work}/expected-lib" "${work}/actual-lib" >"${work}/diff-lib"; then
    echo "check-exports: ${import_lib} imports other names (- missing, + extra):" >&2
    grep '^[-+][^-+]' "${work}/diff-lib" | head -20 >&2 || true
    status=1
  fi
fi

if [ "${status}" -eq 0 ]; then
  echo "check-exports: $(wc -l <"${work}/actual") exports as declared; imports: $(tr '\n' ' ' <"${work}/imports")"
fi
exit "${status}"
