#!/bin/sh
# Builds the Debian packages and checks them the way a user meets them:
# lintian over them, their fields and contents, then an install into a fresh
# root with dpkg, where the installed orvel-say speaks, the man pages open, a C
# host builds with pkg-config and runs, and the binding installs with pip into
# a venv and speaks; then a purge that must leave nothing behind.
#   packaging/test-packages.sh [WORK_DIR]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-$ROOT/build-package/test}
DEBS=$WORK/debs
unset LD_LIBRARY_PATH PKG_CONFIG_PATH ORVEL_LIBRARY

fail() { echo "test-packages: $*" >&2; exit 1; }
step() { echo "== $*"; }

rm -rf "$WORK"
mkdir -p "$WORK"
step "build"
"$ROOT/scripts/package" "$DEBS" >"$WORK/package.log" 2>&1 || { cat "$WORK/package.log"; fail "scripts/package failed"; }

version=$(sed -n 's/^project([^)]*VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
lib=libtalmerin-orvel1 dev=libtalmerin-orvel-dev tools=talmerin-orvel-tools voices=talmerin-orvel-voices
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=usr/lib/$multiarch
deb() { ls "$DEBS/$1"_*.deb; }
# The package names of a Depends field, one a line.
dep_names() { echo "$1" | tr ',' '\n' | sed 's/^ *//; s/ .*//'; }
for p in $lib $dev $tools $voices; do
    [ "$(ls "$DEBS/$p"_*.deb 2>/dev/null | wc -l)" -eq 1 ] || fail "expected one package $p in $DEBS"
    [ "$(dpkg-deb -f "$(deb $p)" Version)" = "$version" ] || fail "$p is not version $version"
    dpkg-deb -c "$(deb $p)" | awk '{print $6}' | sed 's|^\./||' >"$WORK/$p.files"
    grep -qx "usr/share/doc/$p/copyright" "$WORK/$p.files" || fail "$p has no copyright file"
done

step "lintian"
# Every tag that is not an error or a warning is information only; the
# overrides (packaging/*.lintian-overrides) say why each is accepted.
lintian --pedantic --info "$DEBS"/*.deb >"$WORK/lintian.txt" 2>&1 || true
grep -E '^(E|W): ' "$WORK/lintian.txt" && fail "lintian reports errors or warnings (all: $WORK/lintian.txt)"
grep -E '^(E|W|I|P|X): ' "$WORK/lintian.txt" | sed 's/^/lintian: /' || true

step "fields and contents"
depends=$(dpkg-deb -f "$(deb $lib)" Depends)
for d in libespeak-ng1 espeak-ng-data libc6 libstdc++6; do
    dep_names "$depends" | grep -Fqx "$d" || fail "$lib does not depend on $d: $depends"
done
tools_depends=$(dpkg-deb -f "$(deb $tools)" Depends)
echo "$tools_depends" | grep -q "$lib (= $version)" || fail "$tools does not depend on $lib (= $version): $tools_depends"
dpkg-deb -f "$(deb $dev)" Depends | grep -q "$lib (= $version)" || fail "$dev does not depend on $lib (= $version)"
[ "$(dpkg-deb -f "$(deb $voices)" Architecture)" = all ] || fail "$voices is not Architecture: all"
dpkg-deb --ctrl-tarfile "$(deb $lib)" | tar xO ./shlibs >"$WORK/shlibs"
[ "$(cat "$WORK/shlibs")" = "libtalmerin-orvel 1 $lib (>= $version)" ] || fail "unexpected shlibs: $(cat "$WORK/shlibs")"
# The symbols file names exactly what the library exports.
dpkg-deb --ctrl-tarfile "$(deb $lib)" | tar xO ./symbols | sed -n 's/^ \([^@]*\)@Base .*/\1/p' | sort >"$WORK/symbols"
dpkg-deb -x "$(deb $lib)" "$WORK/lib-unpacked"
nm -D --defined-only "$WORK/lib-unpacked/$libdir/libtalmerin-orvel.so.1" | awk '$2 == "T" {print $3}' | sort >"$WORK/exports"
cmp -s "$WORK/symbols" "$WORK/exports" || { diff "$WORK/symbols" "$WORK/exports"; fail "the symbols file and the library's exports differ"; }
[ "$(wc -l <"$WORK/exports")" -eq 14 ] || fail "the library exports $(wc -l <"$WORK/exports") functions, not 14"
grep -qx "$libdir/talmerin-orvel/libonnxruntime.so.1" "$WORK/$lib.files" || fail "ONNX Runtime is not in the private folder"
grep -q "^$libdir/libonnxruntime" "$WORK/$lib.files" && fail "ONNX Runtime is in the public library folder"
for p in $lib $tools $voices; do
    if grep -E '\.(h|pc|cmake)$|\.so$' "$WORK/$p.files"; then fail "$p carries development files"; fi
done
for f in usr/include/orvel.h "$libdir/libtalmerin-orvel.so" "$libdir/pkgconfig/talmerin-orvel.pc" \
         "$libdir/cmake/talmerin-orvel/talmerin-orvelConfig.cmake" usr/share/man/man3/orvel.3.gz; do
    grep -qx "$f" "$WORK/$dev.files" || fail "$dev lacks $f"
done
for f in usr/bin/orvel-say usr/share/man/man1/orvel-say.1.gz usr/bin/orvel-server usr/share/man/man1/orvel-server.1.gz \
         etc/speech-dispatcher/modules/orvel.conf usr/lib/speech-dispatcher-modules/sd_orvel; do
    grep -qx "$f" "$WORK/$tools.files" || fail "$tools lacks $f"
done
dpkg-deb --ctrl-tarfile "$(deb $tools)" | tar xO ./conffiles >"$WORK/conffiles"
grep -qx /etc/speech-dispatcher/modules/orvel.conf "$WORK/conffiles" || fail "orvel.conf is not a conffile"
# The service: a unit that nothing enables (off until the administrator
# enables it, as Debian does for daemons that listen) and its options file.
for f in lib/systemd/system/orvel-server.service etc/default/orvel-server; do
    grep -qx "$f" "$WORK/$tools.files" || fail "$tools lacks $f"
done
grep -qx /etc/default/orvel-server "$WORK/conffiles" || fail "/etc/default/orvel-server is not a conffile"
if grep -q '^etc/systemd' "$WORK/$tools.files"; then fail "$tools enables its service itself"; fi
if dpkg-deb --ctrl-tarfile "$(deb $tools)" | tar t | grep -Eq 'postinst|prerm'; then
    fail "$tools has maintainer scripts (nothing should start or enable the service)"
fi
dpkg-deb --fsys-tarfile "$(deb $tools)" | tar xO ./etc/speech-dispatcher/modules/orvel.conf >"$WORK/orvel.conf"
grep -q '"/usr/bin/orvel-say"' "$WORK/orvel.conf" || fail "the speech-dispatcher module does not run /usr/bin/orvel-say"
if grep -n "$ROOT\|_CPack_Packages" "$WORK/orvel.conf"; then fail "a build path is in orvel.conf"; fi
grep -Eq '^usr/share/talmerin-orvel/voices/[^/]+\.onnx$' "$WORK/$voices.files" || fail "$voices holds no voice"

step "install into a fresh root"
# dpkg needs only its database there. The packages' own scripts do nothing,
# so they may run outside the root; eSpeak NG is the host's (--force-depends).
root=$WORK/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers" "$root/var/log"
: >"$root/var/lib/dpkg/status"
: >"$root/var/lib/dpkg/available"
dpkg_root() { dpkg --root="$root" --log="$WORK/dpkg.log" --force-depends --force-script-chrootless "$@"; }
dpkg_root -i "$(deb $lib)" "$(deb $dev)" "$(deb $tools)" "$(deb $voices)" >"$WORK/dpkg-install.log" 2>&1 \
    || { cat "$WORK/dpkg-install.log"; fail "dpkg could not install the packages"; }
[ "$(dpkg-query --root="$root" -W -f='${db:Status-Abbrev}\n' | grep -c '^ii')" -eq 4 ] || fail "not all four packages installed"

step "orvel-say from the root"
# The root's library folder stands in for the linker's search path; ONNX
# Runtime must come through the library's own run path.
export LD_LIBRARY_PATH="$root/$libdir"
ldd "$root/usr/bin/orvel-say" >"$WORK/ldd.txt"
grep -q "libtalmerin-orvel.so.1 => $root/$libdir/libtalmerin-orvel.so.1" "$WORK/ldd.txt" || { cat "$WORK/ldd.txt"; fail "orvel-say does not find the root's library"; }
grep -q "libonnxruntime.so.1 => $root/$libdir/talmerin-orvel/libonnxruntime.so.1" "$WORK/ldd.txt" || { cat "$WORK/ldd.txt"; fail "the library does not find its ONNX Runtime"; }
[ "$("$root/usr/bin/orvel-say" --version)" = "orvel-say $version" ] || fail "orvel-say --version is not $version"
"$root/usr/bin/orvel-say" -v -o "$WORK/hello.wav" "Hello" 2>"$WORK/say.log" || { cat "$WORK/say.log"; fail "orvel-say failed"; }
grep -q "$root/usr/share/talmerin-orvel/voices/.*\.onnx" "$WORK/say.log" || { cat "$WORK/say.log"; fail "orvel-say did not use the packaged voice"; }
[ "$(wc -c <"$WORK/hello.wav")" -gt 10000 ] || fail "orvel-say wrote no audio"

step "orvel-server from the root, as its systemd unit runs it"
unit=$root/lib/systemd/system/orvel-server.service
grep -qx 'ExecStart=/usr/bin/orvel-server $ORVEL_SERVER_OPTS' "$unit" || fail "unexpected ExecStart in the unit"
grep -qx 'EnvironmentFile=-/etc/default/orvel-server' "$unit" || fail "the unit does not read /etc/default/orvel-server"
grep -qx 'Type=notify' "$unit" || fail "the unit does not wait for the server's readiness"
# The unit as it would run from the root: systemd-analyze checks its
# settings, that the program exists and that its man page opens.
sed "s|=/usr/bin/|=$root/usr/bin/|; s|=-/etc/|=-$root/etc/|" "$unit" >"$WORK/orvel-server.service"
if command -v systemd-analyze >/dev/null 2>&1; then
    MANPATH="$root/usr/share/man" systemd-analyze verify "$WORK/orvel-server.service" >"$WORK/verify.log" 2>&1 \
        || { cat "$WORK/verify.log"; fail "systemd-analyze verify rejects the unit"; }
fi
# No systemd runs the test (none runs on the build machines): its ExecStart
# line is run here as systemd would run it, with the packaged options, a
# socket for its readiness (NOTIFY_SOCKET) and SIGTERM to stop it.
cat >"$WORK/server.py" <<'PY'
import json, os, shlex, signal, socket, subprocess, sys, urllib.request
unit, log = sys.argv[1:3]
lines = open(unit).read().splitlines()
command = next(l for l in lines if l.startswith("ExecStart=")).split("=", 1)[1]
options_file = next(l for l in lines if l.startswith("EnvironmentFile=")).split("=", 1)[1].lstrip("-")
options = subprocess.run(["sh", "-c", '. "$0" && printf %s "$ORVEL_SERVER_OPTS"', options_file],
                         capture_output=True, text=True, check=True).stdout
argv = [options.split() if word == "$ORVEL_SERVER_OPTS" else [word] for word in shlex.split(command)]
argv = sum(argv, []) + ["--port", "0"]  # the packaged port may be taken on a build machine
notify_path = os.path.join(os.path.dirname(log), "notify.socket")
notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
notify.bind(notify_path)
notify.settimeout(120)
server = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=open(log, "w"), text=True,
                          env=dict(os.environ, NOTIFY_SOCKET=notify_path))
try:
    line = server.stdout.readline()
    assert "listening on http://" in line, "no listening line: %r" % line
    assert notify.recv(4096) == b"READY=1", "no readiness on NOTIFY_SOCKET"
    base = line.split("listening on ")[1].strip()
    assert json.load(urllib.request.urlopen(base + "/health", timeout=60)) is not None
    request = urllib.request.Request(base + "/v1/audio/speech", method="POST",
        data=json.dumps({"model": "tts-1", "input": "Hello.", "response_format": "wav"}).encode(),
        headers={"Content-Type": "application/json"})
    audio = urllib.request.urlopen(request, timeout=120).read()
    assert audio[:4] == b"RIFF" and len(audio) > 10000, audio[:64]
finally:
    server.send_signal(signal.SIGTERM)
    code = server.wait(timeout=60)
assert notify.recv(4096) == b"STOPPING=1", "no STOPPING=1 on NOTIFY_SOCKET"
assert code == 0, "orvel-server exited with %d" % code
PY
/usr/bin/python3 "$WORK/server.py" "$WORK/orvel-server.service" "$WORK/server.log" \
    || { cat "$WORK/server.log"; fail "the installed orvel-server did not serve speech as its unit runs it"; }

step "man pages"
for page in man1/orvel-say.1.gz man1/orvel-server.1.gz man3/orvel.3.gz; do
    [ -f "$root/usr/share/man/$page" ] || fail "$page is not installed"
    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$root/usr/share/man/$page" \
        >/dev/null 2>"$WORK/man.log" && [ ! -s "$WORK/man.log" ] || { cat "$WORK/man.log"; fail "man warns about $page"; }
done
MANPATH="$root/usr/share/man" man -w orvel-say | grep -q "^$root/usr/share/man/man1/orvel-say.1.gz$" || fail "man does not find orvel-say"
MANPATH="$root/usr/share/man" man 3 orvel | grep -q "orvel_speak_to_buffer" || fail "man 3 orvel does not show the API"
MANPATH="$root/usr/share/man" man orvel_speak_to_buffer | grep -q "orvel_free_audio" || fail "man orvel_speak_to_buffer does not show orvel(3)"

step "C host with pkg-config"
export PKG_CONFIG_PATH="$root/$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root"
[ "$(pkg-config --modversion talmerin-orvel)" = "$version" ] || fail "pkg-config gives another version"
flags=$(pkg-config --cflags --libs talmerin-orvel)
echo "pkg-config: $flags"
case "$flags" in *onnxruntime*) fail "ONNX Runtime leaks into pkg-config's flags" ;; esac
voice=$(ls "$root"/usr/share/talmerin-orvel/voices/*.onnx | head -n 1)
# shellcheck disable=SC2086
cc -std=c99 -pedantic -Wall -Wextra -Werror -o "$WORK/hello-c" "$ROOT/examples/c/hello.c" $flags \
    || fail "the C example does not build with pkg-config"
"$WORK/hello-c" "$voice" "$WORK/hello-c.wav" "Hello from C." 2>"$WORK/hello-c.log" || { cat "$WORK/hello-c.log"; fail "the C example failed"; }
[ "$(wc -c <"$WORK/hello-c.wav")" -gt 10000 ] || fail "the C example wrote no audio"
unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR

step "C++ host with find_package"
cmake -S "$ROOT/examples" -B "$WORK/cmake-consumer" -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_BUILD_TYPE=Release \
    >"$WORK/cmake-consumer.log" 2>&1 && cmake --build "$WORK/cmake-consumer" >>"$WORK/cmake-consumer.log" 2>&1 \
    || { cat "$WORK/cmake-consumer.log"; fail "the examples do not build with find_package"; }
grep -q "$root/usr/lib/$multiarch/cmake/talmerin-orvel" "$WORK/cmake-consumer/CMakeCache.txt" || fail "find_package did not take the root's package"
"$WORK/cmake-consumer/orvel-hello-cpp" "$voice" "$WORK/hello-cpp.wav" "Hello from C++." 2>"$WORK/hello-cpp.log" \
    || { cat "$WORK/hello-cpp.log"; fail "the C++ example failed"; }

step "pip install ./python into a venv"
/usr/bin/python3 -m venv "$WORK/venv"
# No index: the install must need nothing from outside.
PIP_NO_INDEX=1 "$WORK/venv/bin/pip" install --no-cache-dir "$ROOT/python" >"$WORK/pip.log" 2>&1 \
    || { cat "$WORK/pip.log"; fail "pip install ./python failed"; }
cat >"$WORK/speak.py" <<'PY'
import importlib.metadata, os, sys
import talmerin_orvel
version, voice, wav = sys.argv[1:4]
assert os.path.dirname(talmerin_orvel.__file__).endswith("site-packages"), talmerin_orvel.__file__
assert importlib.metadata.version("talmerin-orvel") == version, importlib.metadata.version("talmerin-orvel")
with talmerin_orvel.Engine() as engine:
    assert engine.version == version, engine.version
    with engine.load_voice(voice) as v:
        samples = v.speak("Hello from Python.")
        assert len(samples) > v.sample_rate // 4, len(samples)
        v.speak("Hello again.", wav)
        print("python: %d samples at %d Hz" % (len(samples), v.sample_rate))
PY
# By SONAME, through the search path; then by ORVEL_LIBRARY alone.
(cd "$WORK" && "$WORK/venv/bin/python" "$WORK/speak.py" "$version" "$voice" "$WORK/py1.wav") 2>"$WORK/py.log" \
    || { cat "$WORK/py.log"; fail "the binding did not speak (found by SONAME)"; }
unset LD_LIBRARY_PATH
(cd "$WORK" && ORVEL_LIBRARY="$root/$libdir/libtalmerin-orvel.so.1" "$WORK/venv/bin/python" "$WORK/speak.py" \
    "$version" "$voice" "$WORK/py2.wav") 2>"$WORK/py.log" || { cat "$WORK/py.log"; fail "the binding did not speak (ORVEL_LIBRARY)"; }
# The build writes nothing into the sources (no build/, dist/ or egg-info).
built=$(cd "$ROOT" && git status --porcelain --ignored python | grep -v __pycache__ || true)
[ -z "$built" ] || fail "pip left files in python/: $built"

step "purge"
dpkg_root --purge $voices $tools $dev $lib >"$WORK/dpkg-purge.log" 2>&1 || { cat "$WORK/dpkg-purge.log"; fail "dpkg could not purge the packages"; }
left=$(cd "$root" && find . -mindepth 1 ! -path './var' ! -path './var/lib' ! -path './var/lib/dpkg' ! -path './var/lib/dpkg/*' \
    ! -path './var/log' | sort)
[ -z "$left" ] || fail "left behind after the purge: $left"
held=$(ls "$root/var/lib/dpkg/info" | grep -vx format || true)
[ -z "$held" ] || fail "dpkg still holds files of the packages: $held"

rm -rf "$WORK"
echo "test-packages: OK"
