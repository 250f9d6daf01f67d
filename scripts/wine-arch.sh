#!/usr/bin/env bash
# Which Windows build this machine can run under wine: prints win32 when
# 32-bit wine is installed and runs (the product is a 32-bit DLL), else
# win64, with the cause on stderr. Found afresh each time: is the package
# installed (dpkg-query on PATH), and does its loader run. Some kernels run
# 64-bit user code only (IA-32 emulation off): their execve of an i386
# program fails with ENOEXEC, and so does 32-bit wine.
loader=/usr/lib/wine/wine # wine32's loader, an i386 program
status=$(dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null)
if [[ $status != "install ok installed" ]]; then
  why="32-bit wine (the package wine32:i386) is not installed"
elif [[ ! -x $loader ]]; then
  why="32-bit wine is installed, but its loader $loader is missing"
elif out=$("$loader" --version 2>&1); then
  echo win32
  exit 0
elif [[ $out == *"Exec format error"* ]]; then
  why="this machine cannot run 32-bit programs ($out)"
else
  why="32-bit wine's loader does not run: ${out:-no output}"
fi
echo "wine-arch: $why" >&2
echo win64
