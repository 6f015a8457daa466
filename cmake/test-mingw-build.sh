#!/bin/sh
# Cross-builds the library, orvel-say and the examples for Windows x86-64 with
# MinGW-w64 against ONNX Runtime's onnxruntime.dll, checks what the DLL exports
# and imports, and installs the result into a temporary prefix. Nothing runs:
# this keeps the Windows side of the code compiling and linking.
#   test-mingw-build.sh SOURCE_DIR BUILD_DIR EXPORTS_LIST
set -eu
source=$1 build=$2 exports=$3
fail() { echo "test-mingw-build: $*" >&2; exit 1; }

command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 \
    || fail "x86_64-w64-mingw32-g++ not found: install g++-mingw-w64-x86-64 (scripts/setup does)"
cmake -S "$source" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DORVEL_BUILD_TESTS=OFF -DORVEL_BUILD_EXAMPLES=ON >"$build.log" 2>&1 \
    || { cat "$build.log"; fail "configure failed"; }
# Serial: the tests around it already keep the cores busy.
cmake --build "$build" || fail "build failed"

objdump=x86_64-w64-mingw32-objdump
dll=$build/libtalmerin-orvel.dll
"$objdump" -p "$dll" >"$build/dll.txt"
# The export table lists "[ordinal] name" lines after "[Ordinal/Name Pointer] Table".
actual=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$build/dll.txt" | awk '/^\t\[/ {print $NF}' | sort)
[ "$actual" = "$(sort "$exports")" ] || fail "DLL exports differ: $actual"
imports=$(awk '/DLL Name:/ {print $3}' "$build/dll.txt" | sort | tr '\n' ' ')
echo "DLL imports: $imports"
case "$imports" in *onnxruntime.dll*) ;; *) fail "DLL does not import onnxruntime.dll" ;; esac
case "$imports" in *libstdc++*|*libgcc*|*libwinpthread*) fail "DLL needs the MinGW runtime DLLs" ;; esac
for exe in tools/orvel-say.exe examples/orvel-hello-c.exe examples/orvel-hello-cpp.exe; do
    exe_imports=$("$objdump" -p "$build/$exe" | awk '/DLL Name:/ {print $3}' | tr '\n' ' ')
    case "$exe_imports" in *libtalmerin-orvel.dll*) ;; *) fail "$exe does not import libtalmerin-orvel.dll" ;; esac
    case "$exe_imports" in *libstdc++*|*libgcc*|*libwinpthread*) fail "$exe needs the MinGW runtime DLLs" ;; esac
done

rm -rf "$build/prefix"
cmake --install "$build" --prefix "$build/prefix" >/dev/null || fail "install failed"
for f in bin/libtalmerin-orvel.dll bin/onnxruntime.dll bin/orvel-say.exe lib/libtalmerin-orvel.dll.a include/orvel.h \
         lib/pkgconfig/talmerin-orvel.pc lib/cmake/talmerin-orvel/talmerin-orvelConfig.cmake; do
    [ -e "$build/prefix/$f" ] || fail "install misses $f"
done
echo "test-mingw-build: OK"
