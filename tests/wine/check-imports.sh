#!/usr/bin/env bash
# Fails when a program or library of the Windows build imports a DLL that is neither part
# of Windows nor shipped beside it (a MinGW runtime DLL left dynamic, say).
#   check-imports.sh BIN_DIR
set -euo pipefail
bin=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
# Windows' own DLLs the build may use (API sets resolve to them on Windows 7 and later).
system='^(kernel32|user32|gdi32|gdiplus|advapi32|shell32|shlwapi|ole32|oleaut32|comctl32|comdlg32|ws2_32|crypt32|bcrypt|secur32|ncrypt|winmm|avrt|mmdevapi|msvcrt|ntdll|version|userenv|uxtheme|dwmapi|windowscodecs|imm32|iphlpapi|wldap32|normaliz|rpcrt4|propsys|shcore|api-ms-win-[a-z0-9-]+)\.dll$'
shipped=$(cd "$bin" && find . -iname '*.dll' -printf '%f\n' | tr 'A-Z' 'a-z' | sort -u)
bad=0
checked=0
while IFS= read -r -d '' file; do
  checked=$((checked + 1))
  while IFS= read -r dll; do
    lower=$(echo "$dll" | tr 'A-Z' 'a-z')
    if ! [[ $lower =~ $system ]] && ! grep -qxF "$lower" <<<"$shipped"; then
      echo "$(basename "$file") imports $dll, which is neither Windows' nor shipped"
      bad=1
    fi
  done < <("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p')
done < <(find "$bin" \( -iname '*.exe' -o -iname '*.dll' \) -print0)
[ "$checked" -gt 0 ] || { echo "no programs in $bin"; exit 1; }
echo "$checked files checked"
exit $bad
