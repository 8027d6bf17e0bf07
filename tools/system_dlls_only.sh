#!/bin/sh
# Fails when a Windows program needs a DLL that not every Windows has: the
# programs are linked statically and copied alone to a shop's PC.
#   tools/system_dlls_only.sh PROGRAM.exe...
status=0
for program in "$@"; do
  for dll in $(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/.*DLL Name: //p'); do
    case $(echo "$dll" | tr 'A-Z' 'a-z') in
      kernel32.dll|msvcrt.dll|ws2_32.dll|iphlpapi.dll|advapi32.dll|shell32.dll) ;;
      *) echo "$program needs $dll"; status=1 ;;
    esac
  done
done
exit $status
