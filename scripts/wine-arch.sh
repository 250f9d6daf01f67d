#!/usr/bin/env bash
# Which Windows build this machine can run under wine: prints win32 when it
# executes 32-bit programs (the product is a 32-bit DLL), else win64, with
# the reason on stderr. Some kernels run 64-bit user code only (IA-32
# emulation off): their execve of an i386 program fails with ENOEXEC, and so
# does 32-bit wine.
loader=/usr/lib/wine/wine # wine32's loader, an i386 program
if [[ -x $loader ]] && out=$("$loader" --version 2>&1); then
  echo win32
  exit 0
fi
why=${out:-"$loader is not installed"}
[[ -x $loader ]] || why="$loader is not installed"
echo "wine-arch: this machine cannot run 32-bit programs ($why)" >&2
echo win64
