#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine, when it is missing.
# Needs root (or sudo) only when something is missing.
#   scripts/install-deps.sh            everything make check uses (Windows cross compilers, Wine, Mono, ...)
#   scripts/install-deps.sh --minimal  only what the Linux library and its tools need: make demo
set -euo pipefail

minimal=
[ "${1:-}" = --minimal ] && minimal=1

need=()
have() { command -v "$1" >/dev/null 2>&1; }
SUDO=
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
# The library, korvessa, posterm and bankhost: a C++17 compiler, CMake and make (iconv and the rest of
# the demo script are in every Debian system).
have cmake || need+=(cmake)
have g++ || need+=(g++)
have make || need+=(make)
if [ -n "$minimal" ]; then
  [ ${#need[@]} -eq 0 ] && exit 0
  echo "Installing: ${need[*]}"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
  exit 0
fi
have file || need+=(file)
have socat || need+=(socat)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -d /usr/src/googletest/googletest ] || need+=(googletest)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
have i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686-posix)
have x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64-posix)
have i686-w64-mingw32-objdump || need+=(binutils-mingw-w64-i686)
[ -x /usr/lib/wine/wine64 ] || need+=(wine wine64)
# The binding tests: Mono (with code page 936), Free Pascal, Java with JNA, Python's venv and pytest.
have mcs || need+=(mono-mcs)
have mono || need+=(mono-runtime)
[ -f /usr/lib/mono/4.5/I18N.CJK.dll ] || need+=(libmono-i18n-cjk4.0-cil)
have fpc || need+=(fp-compiler)
have javac || need+=(openjdk-17-jdk-headless)
[ -f /usr/share/java/jna.jar ] || need+=(libjna-java)
/usr/bin/python3 -c 'import ensurepip, setuptools, wheel, pytest' 2>/dev/null ||
  need+=(python3-venv python3-setuptools python3-wheel python3-pytest)
# Packages and their checks: CPack's .deb dependencies, pkg-config, the import libraries and
# their link test.
have dpkg-shlibdeps || need+=(dpkg-dev)
have pkg-config || need+=(pkg-config)
have llvm-dlltool-14 && have llvm-readobj-14 || need+=(llvm-14)
have lld-link-14 || need+=(lld-14)
# The fuzz leg: clang 14 and its libFuzzer and sanitizer runtimes (clang only recommends them).
have clang++-14 || need+=(clang)
compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null || need+=(libclang-rt-14-dev)
# The 32-bit Wine loader runs the 32-bit DLL's tests where the kernel can start 32-bit programs.
want32=
no32="${XDG_CACHE_HOME:-$HOME/.cache}/korvessa-no-wine32"
[ -x /usr/lib/wine/wine ] || [ -e "$no32" ] || want32=wine32:i386

if [ ${#need[@]} -eq 0 ] && [ -z "$want32" ]; then
  exit 0
fi
if [ -n "$want32" ]; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
if [ -n "$want32" ]; then
  echo "Installing: $want32 (optional)"
  if ! $SUDO apt-get install -y -qq "$want32" >/dev/null; then
    echo "wine32 is not available; the Windows tests run as 64-bit programs under wine64"
    mkdir -p "$(dirname "$no32")" && : >"$no32"
  fi
fi
