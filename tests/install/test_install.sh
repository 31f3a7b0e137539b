#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds the dictation probe against it with
# find_package() as a host would, and runs one dictation through the installed device and
# the installed whisper_helper.py in an environment that lacks faster-whisper.
# Usage: test_install.sh <build dir> <source dir>
set -euo pipefail
build="$1"
source="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" > "$work/install.log"

for header in whisperspeechtotextdevice.h whisperspeechtotextpluginjob.h whisperspeechtotextutils.h \
              earlobe_export.h earlobe_setup_export.h texttospeechkokoro.h texttospeechcompat.h \
              texttospeechkokoroutils.h larynx_export.h larynx_setup_export.h; do
    [ -n "$(find "$prefix/include" -name "$header")" ] || fail "header $header not installed"
done
for package in Earlobe Larynx HostKit; do
    [ -f "$prefix/lib/cmake/$package/${package}Config.cmake" ] || \
        [ -n "$(find "$prefix" -name "${package}Config.cmake")" ] || fail "no ${package}Config.cmake"
done
for program in whisper_helper.py kokoro_helper.py earlobe-larynx-editor earlobe-dictate larynx-say earlobe-larynx-setup; do
    [ -x "$prefix/bin/$program" ] || fail "$program not installed as an executable"
done

# A host compiles and links against both installed packages.
mkdir -p "$work/larynx-host"
cat > "$work/larynx-host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(LarynxHost LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_INSTALL_RPATH_USE_LINK_PATH ON)
find_package(Larynx REQUIRED)
find_package(Earlobe REQUIRED)
add_executable(larynx-host main.cpp)
target_link_libraries(larynx-host PRIVATE Larynx::larynx Larynx::larynx_setup Earlobe::earlobe Earlobe::earlobe_setup)
CMAKE
# Every installed header compiles on its own terms in a host.
for header in "$prefix"/include/*/*.h; do
    echo "#include <$(basename "$header")>"
done > "$work/larynx-host/main.cpp"
cat >> "$work/larynx-host/main.cpp" <<'CPP'
#include <cstdio>
int main()
{
    using namespace TextEditTextToSpeech;
    TextToSpeechKokoro engine;
    std::printf("%d voices, %s\n", int(TextToSpeechKokoroUtils::kokoroVoices(TextToSpeechKokoroUtils::VoiceFilter::All).size()),
                engine.state() == TextToSpeechState::Ready ? "ready" : "not ready");
    return 0;
}
CPP
cmake -S "$work/larynx-host" -B "$work/larynx-host/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > "$work/larynx.log" \
    || { cat "$work/larynx.log"; fail "find_package(Larynx)"; }
cmake --build "$work/larynx-host/build" > "$work/larynx-build.log" || { cat "$work/larynx-build.log"; fail "building a Larynx host"; }
[ "$("$work/larynx-host/build/larynx-host")" = "54 voices, ready" ] || fail "the Larynx host does not run"

# Any Qt application finds the installed read-aloud engine through QT_PLUGIN_PATH, and the
# plug-in finds the installed libraries beside it in the prefix.
plugin=$(find "$prefix" -path "*/qt6/plugins/texttospeech/libqtexttospeech_kokoro.so")
[ -n "$plugin" ] || fail "the texttospeech plug-in is not installed under <libdir>/qt6/plugins/texttospeech"
# Through a file: with pipefail, grep -q leaving early would fail the pipe when ldd gets SIGPIPE.
ldd "$plugin" > "$work/plugin-ldd.txt"
grep -q "liblarynx.so.* => $prefix/" "$work/plugin-ldd.txt" || { cat "$work/plugin-ldd.txt"; fail "the plug-in does not load the prefix's liblarynx"; }
mkdir -p "$work/qt-host"
cat > "$work/qt-host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(QtHost LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(Qt6 REQUIRED COMPONENTS TextToSpeech)
add_executable(qt-host main.cpp)
target_link_libraries(qt-host PRIVATE Qt6::TextToSpeech)
CMAKE
cat > "$work/qt-host/main.cpp" <<'CPP'
#include <QCoreApplication>
#include <QTextToSpeech>
#include <cstdio>
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextToSpeech speech(QStringLiteral("kokoro"));
    std::printf("%s|%s|%d|%d\n", qPrintable(QTextToSpeech::availableEngines().join(QLatin1Char(','))), qPrintable(speech.engine()),
                int(speech.state()), int(speech.errorReason()));
    return 0;
}
CPP
cmake -S "$work/qt-host" -B "$work/qt-host/build" -G Ninja > "$work/qt-host.log" || { cat "$work/qt-host.log"; fail "configuring a Qt host"; }
cmake --build "$work/qt-host/build" > "$work/qt-host-build.log" || { cat "$work/qt-host-build.log"; fail "building a Qt host"; }
# No kokoro environment in this home: the engine loads, and reports Error with reason Initialization.
mkdir -p "$work/qt-home"
output=$(HOME="$work/qt-home" QT_PLUGIN_PATH="$(dirname "$(dirname "$plugin")")" "$work/qt-host/build/qt-host")
echo "$output"
grep -Eq '(^|,)kokoro(,|$)' <<<"${output%%|*}" || fail "QTextToSpeech::availableEngines() does not list kokoro"
[ "${output#*|}" = "kokoro|3|1" ] || fail "the installed kokoro engine does not load: $output"

cmake -S "$source/apps/dictation-probe" -B "$work/probe" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > "$work/probe.log" \
    || { cat "$work/probe.log"; fail "find_package(Earlobe)"; }
cmake --build "$work/probe" > "$work/probe-build.log" || { cat "$work/probe-build.log"; fail "building against the installed headers"; }

# A whisper environment whose interpreter has numpy but no faster-whisper: the installed
# helper must say so, and the device must report it.
home="$work/home"
mkdir -p "$home/.venv/whisper/bin"
ln -s /usr/bin/python3 "$home/.venv/whisper/bin/python"
output=$(HOME="$home" PATH="$prefix/bin:/usr/bin:/bin" QT_QPA_PLATFORM=offscreen "$work/probe/dictation-probe" --timeout 30 2>&1) && status=0 || status=$?
echo "$output"
[ "$status" -eq 1 ] || fail "expected exit code 1, got $status"
grep -qx "error: Whisper is not installed. Missing: faster-whisper" <<<"$output" || fail "missing-package report"

# The installed tools find the installed libraries and helpers from any prefix.
output=$(HOME="$home" PATH="$prefix/bin:/usr/bin:/bin" "$prefix/bin/earlobe-larynx-setup" check whisper 2>&1) && status=0 || status=$?
echo "$output"
[ "$status" -eq 2 ] || fail "setup check: expected exit code 2, got $status"
grep -q "Whisper is not installed. Missing: faster-whisper" <<<"$output" || fail "setup check report"
HOME="$home" QT_QPA_PLATFORM=offscreen "$prefix/bin/earlobe-larynx-editor" --help > /dev/null || fail "the installed editor does not start"
echo "PASS"
