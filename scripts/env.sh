# Shared by the scripts: folders, the Wine environment and the Xvfb display.
# Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${KESTRAVA_BUILD_DIR:-$ROOT/build}
WIN_BUILD=$BUILD_DIR/win
NATIVE_BUILD=$BUILD_DIR/native

export WINEPREFIX=$BUILD_DIR/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win32
# Wine takes its ANSI code page (1251) and its user locale from LC_ALL; it is
# given to Wine's processes only (no Linux locale needs to be generated).
WINE_LOCALE=ru_RU.UTF-8

build_all() {
  "$ROOT/scripts/setup"
  build_projects
}

# The build alone, once the packages are there.
build_projects() {
  if [ -f "$ROOT/testca/CMakeLists.txt" ]; then
    cmake -S "$ROOT/testca" -B "$NATIVE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$NATIVE_BUILD"
  fi
  local testca=""
  [ -x "$NATIVE_BUILD/testca" ] && testca="$NATIVE_BUILD/testca"
  cmake -S "$ROOT" -B "$WIN_BUILD" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESTCA_EXECUTABLE="$testca" >/dev/null
  cmake --build "$WIN_BUILD"
}

# An Xvfb display of our own on the first free number; stopped by stop_xvfb.
# Another run may take the same number at the same moment: then the next one.
start_xvfb() {
  local n=90
  while :; do
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 50); do
      if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$XVFB_PID" 2>/dev/null; then
        export DISPLAY=":$n"
        return 0
      fi
      kill -0 "$XVFB_PID" 2>/dev/null || break
      sleep 0.1
    done
    stop_xvfb
    n=$((n + 1))
    [ "$n" -lt 190 ] || break
  done
  echo "Xvfb did not start" >&2
  return 1
}

stop_xvfb() {
  if [ -n "${XVFB_PID:-}" ]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=
  fi
}

# What make_prefix sets in a prefix; a prefix made with other settings is
# brought up to date (its marker holds the settings it has).
PREFIX_SETTINGS="no-crash-dialog unmanaged marlett-font own-user-folders"

# The project's own Wine prefix ($WINEPREFIX), made once.
#  - A crash must fail a test at once instead of leaving Wine's crash dialog
#    open.
#  - Our displays have no window manager: Wine would wait up to 2 s for one
#    whenever a window with a caption is shown or hidden, and longer when a
#    program ends. Unmanaged, Wine places and draws every window itself.
#  - Wine draws the caption buttons with its Marlett font (fonts-wine), but
#    this Wine looks for it only in the prefix's Fonts folder.
#  - Wine links the user's Documents, Desktop and the like to the Unix home
#    folder, which every prefix (every test lane) would then share, and
#    which the program's saved certificates would litter: each prefix gets
#    folders of its own.
make_prefix() {
  local marker=$WINEPREFIX/.kestrava-ready
  if [ ! -f "$marker" ]; then
    mkdir -p "$WINEPREFIX"
    LC_ALL=$WINE_LOCALE wineboot -i >/dev/null 2>&1 || true
  fi
  if [ "$(cat "$marker" 2>/dev/null)" != "$PREFIX_SETTINGS" ]; then
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    ln -sf /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf"
    wineserver -w
    local folder
    for folder in "$WINEPREFIX"/drive_c/users/*/*; do
      if [ -L "$folder" ] && [ -d "$folder" ]; then
        rm "$folder"
        mkdir "$folder"
      fi
    done
    echo "$PREFIX_SETTINGS" >"$marker"
  fi
}
