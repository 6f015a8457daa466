#!/bin/sh
# Installs a build into a temporary prefix, moves the prefix elsewhere (the
# package must be relocatable), then checks its layout and builds and runs
# consumers outside the source tree: the examples through find_package, and
# the C example through pkg-config.
#   test-install.sh BUILD_DIR SOURCE_DIR WORK_DIR VOICE.onnx
set -eu
build=$1 source=$2 work=$3 voice=$4
unset LD_LIBRARY_PATH

fail() { echo "test-install: $*" >&2; exit 1; }
step() { echo "== $*"; }

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/stage" >"$work/install.log" || { cat "$work/install.log"; fail "install failed"; }
mv "$work/stage" "$work/prefix"
prefix=$work/prefix

step "layout"
for f in lib/libtalmerin-orvel.so lib/libtalmerin-orvel.so.1 lib/libonnxruntime.so.1 include/orvel.h bin/orvel-say \
         lib/pkgconfig/talmerin-orvel.pc lib/cmake/talmerin-orvel/talmerin-orvelConfig.cmake \
         lib/cmake/talmerin-orvel/talmerin-orvelConfigVersion.cmake lib/cmake/talmerin-orvel/talmerin-orvelTargets.cmake; do
    [ -e "$prefix/$f" ] || fail "missing $f"
done
real=$(readlink -f "$prefix/lib/libtalmerin-orvel.so.1")
case "$real" in */libtalmerin-orvel.so.[0-9]*.[0-9]*.[0-9]*) ;; *) fail "no versioned library file: $real" ;; esac
readelf -d "$prefix/lib/libtalmerin-orvel.so.1" | grep -q 'SONAME.*\[libtalmerin-orvel.so.1\]' || fail "wrong SONAME"
readelf -d "$prefix/lib/libtalmerin-orvel.so.1" | grep -Eq '(RUNPATH|RPATH).*\[\$ORIGIN\]' || fail "library rpath is not \$ORIGIN"
readelf -d "$prefix/bin/orvel-say" | grep -Eq '(RUNPATH|RPATH).*\[\$ORIGIN/\.\./lib\]' || fail "orvel-say rpath is not \$ORIGIN/../lib"
# speech-dispatcher's module: its configuration names the prefix it was installed into.
[ "$(readlink "$prefix/lib/speech-dispatcher-modules/sd_orvel")" = sd_generic ] || fail "no sd_orvel link to sd_generic"
grep -q "\"$work/stage/bin/orvel-say\"" "$prefix/etc/speech-dispatcher/modules/orvel.conf" \
    || fail "the speech-dispatcher configuration does not name the installed orvel-say"
if find "$prefix" -name '*.onnx' | grep -v '/share/talmerin-orvel/voices/' | grep -q .; then
    fail "voices installed outside share/talmerin-orvel/voices: $(find "$prefix" -name '*.onnx')"
fi

step "installed orvel-say"
"$prefix/bin/orvel-say" -m "$voice" -o "$work/say.wav" "Hello from the installed tool." || fail "orvel-say failed"
[ "$(wc -c <"$work/say.wav")" -gt 44 ] || fail "orvel-say wrote no audio"

if [ -f "$source/voices/orvel-en-us-arctic.onnx" ]; then
    step "bundled voice"
    [ -f "$prefix/share/talmerin-orvel/voices/orvel-en-us-arctic.onnx.json" ] || fail "the bundled voice is not installed"
    "$prefix/bin/orvel-say" -v -o "$work/bundled.wav" "Hello." 2>"$work/bundled.log" || { cat "$work/bundled.log"; fail "orvel-say without -m failed"; }
    grep -q "Loading ONNX model: $prefix/share/talmerin-orvel/voices/orvel-en-us-arctic.onnx" "$work/bundled.log" \
        || { cat "$work/bundled.log"; fail "orvel-say did not use the installed voice"; }
fi

step "find_package consumer"
cp -r "$source/examples" "$work/cmake-consumer"
cmake -S "$work/cmake-consumer" -B "$work/cmake-consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >"$work/cmake-consumer.log" 2>&1 || { cat "$work/cmake-consumer.log"; fail "configure failed"; }
cmake --build "$work/cmake-consumer/build" --verbose >>"$work/cmake-consumer.log" 2>&1 \
    || { cat "$work/cmake-consumer.log"; fail "build failed"; }
# ONNX Runtime stays behind the library: nothing of it on the consumer's command lines.
if grep -i onnxruntime "$work/cmake-consumer.log"; then fail "ONNX Runtime leaks into the consumer's build"; fi
"$work/cmake-consumer/build/orvel-hello-c" "$voice" "$work/cmake-c.wav" "Hello from CMake." || fail "C host failed"
"$work/cmake-consumer/build/orvel-hello-cpp" "$voice" "$work/cmake-cpp.wav" "Hello from CMake." || fail "C++ host failed"

step "pkg-config consumer"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
[ "$(pkg-config --modversion talmerin-orvel)" = "$(sed -n 's/^Version: //p' "$prefix/lib/pkgconfig/talmerin-orvel.pc")" ] \
    || fail "pkg-config does not find the package"
flags=$(pkg-config --cflags --libs talmerin-orvel)
echo "pkg-config: $flags"
case "$flags" in *onnxruntime*) fail "ONNX Runtime leaks into pkg-config's flags" ;; esac
libdir=$(pkg-config --variable=libdir talmerin-orvel)
mkdir -p "$work/pc-consumer"
cp "$source/examples/c/hello.c" "$work/pc-consumer/"
# shellcheck disable=SC2086
cc -std=c99 -pedantic -Wall -Wextra -Werror -o "$work/pc-consumer/hello" "$work/pc-consumer/hello.c" $flags \
    "-Wl,-rpath,$libdir" || fail "pkg-config build failed"
"$work/pc-consumer/hello" "$voice" "$work/pc.wav" "Hello from pkg-config." || fail "pkg-config host failed"

for wav in cmake-c cmake-cpp pc; do
    [ "$(wc -c <"$work/$wav.wav")" -gt 44 ] || fail "$wav.wav holds no audio"
done
rm -rf "$work"
echo "test-install: OK"
