#!/usr/bin/env bash
# Runs setup_window_driver.exe under Wine for the ctest entries of the setup
# program. Unix paths among the driver's arguments are handed over as Z: paths.
#
#   setup_wine_test.sh plain DRIVER ARGS...
#       in the shared prefix $VARDOKEEP_WINEPREFIX (tools/environment.sh)
#   setup_wine_test.sh prepare PREFIX DOUBLE
#       makes our own prefix for window tests: a virtual desktop, so the
#       screenshot shows the caption Wine draws, and the PowerShell test double
#   setup_wine_test.sh window PREFIX SHOT_DIR DRIVER ARGS...
#       under a new Xvfb display, taking screenshots when the driver asks
set -euo pipefail
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;powershell.exe=n"

windows_path() {
  case "$1" in
    /*) printf 'Z:%s' "${1//\//\\}" ;;
    *) printf '%s' "$1" ;;
  esac
}

run_driver() {
  local driver=$1
  shift
  local args=()
  for a in "$@"; do args+=("$(windows_path "$a")"); done
  wine "$driver" "${args[@]}"
}

make_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
}

mode=$1
shift
case "$mode" in
  plain)
    # The shared prefix of the test command; it serves other tests at the same
    # time, so it is never stopped here.
    source "$(dirname "$0")/../../tools/environment.sh"
    bash "$(dirname "$0")/../../tools/wine-prefix.sh"
    export WINEPREFIX="$VARDOKEEP_WINEPREFIX"
    run_driver "$@"
    ;;
  prepare)
    export WINEPREFIX=$1
    make_prefix
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    target="$WINEPREFIX/drive_c/windows/system32/WindowsPowerShell/v1.0"
    mkdir -p "$target"
    cp "$2" "$target/powershell.exe"
    # The caption buttons are drawn with Marlett; without it the screenshot shows letters.
    if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
      cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
    wineserver -k || true
    wineserver -w || true
    ;;
  window)
    export WINEPREFIX=$1
    shots=$2
    shift 2
    mkdir -p "$shots"
    rm -f "$shots"/*.request "$shots"/*.done
    cat > "$shots/.inner.sh" <<'INNER'
#!/usr/bin/env bash
# Inside xvfb-run: answer screenshot requests while the driver runs.
set -u
shots=$1
shift
"$@" &
driver=$!
while kill -0 "$driver" 2>/dev/null; do
  for request in "$shots"/*.request; do
    [ -e "$request" ] || continue
    name=$(basename "$request" .request)
    sleep 0.5
    xwd -root -silent -display "$DISPLAY" | convert xwd:- "png:$shots/$name.png"
    rm -f "$request"
    touch "$shots/$name.done"
  done
  sleep 0.2
done
wait "$driver"
status=$?
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
exit $status
INNER
    driver=$1
    shift
    args=()
    for a in "$@"; do args+=("$(windows_path "$a")"); done
    xvfb-run -a -s "-screen 0 1024x768x24" bash "$shots/.inner.sh" "$shots" wine "$driver" "${args[@]}"
    ;;
  *)
    echo "usage: setup_wine_test.sh plain|prepare|window ..." >&2
    exit 2
    ;;
esac
