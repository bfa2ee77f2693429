# Sourced by scripts/test-windows-window and scripts/demo --windows: what the
# Windows window needs to run under Wine on this machine, next to the Linux
# stand-in. The caller sets `root` (the repository) and `work` (a temporary
# folder), keeps an array `pids` and calls ww_cleanup when it ends.

# A virtual screen; every Wine call after this one sees it through DISPLAY.
ww_xvfb() {
  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
  pids+=("$!")
  local _
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  if [ ! -s "$work/display" ]; then
    echo "$ww_name: Xvfb did not start:" >&2
    cat "$work/xvfb.err" >&2
    return 1
  fi
  export DISPLAY=":$(tr -dc '0-9' <"$work/display")"
}

# What the prefix's registry needs for the window: Wine draws the frame and
# the caption itself (there is no window manager under Xvfb), 宋体 and 隶书
# stand for the WenQuanYi faces, and the dialog font (Tahoma) falls back on
# WenQuanYi for the Chinese texts of message boxes and captions.
ww_registry_file() {
  local link
  link=$(printf 'wqy-microhei.ttc,WenQuanYi Micro Hei\0\0' | iconv -f UTF-8 -t UTF-16LE |
    od -An -v -tx1 | tr -s ' \n' ',' | sed 's/^,//; s/,$//')
  {
    printf '\xef\xbb\xbf'  # iconv turns the UTF-8 mark into UTF-16's
    cat <<EOF
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]
"Decorated"="N"

[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]
"SimSun"="WenQuanYi Micro Hei"
"宋体"="WenQuanYi Micro Hei"
"NSimSun"="WenQuanYi Micro Hei"
"新宋体"="WenQuanYi Micro Hei"
"LiSu"="WenQuanYi Zen Hei Mono"
"隶书"="WenQuanYi Zen Hei Mono"

[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]
"Tahoma"=hex(7):$link
"Tahoma Bold"=hex(7):$link
EOF
  } | sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE
}

# The prefix PREFIX made and booted with a persistent Wine server (ended by
# ww_cleanup). Wine's own fonts (fonts-wine: System, Tahoma, Marlett) are
# linked into its Fonts folder, where this Wine looks for them, so the system
# font has Windows' metrics; then the registry above is imported once.
ww_prefix() {
  # A UTF-8 locale: Wine converts file names and arguments through it.
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
  ww_wineserver_started=1
  # Made (or made again for another Wine) by the first run, then left alone.
  "$root/cmake/wine-run" "$WINEPREFIX" wineboot </dev/null >/dev/null 2>&1
  "$root/cmake/wine-run" --server "$WINEPREFIX" -w
  local fonts=$WINEPREFIX/drive_c/windows/Fonts f
  mkdir -p "$fonts"
  for f in /usr/share/wine/fonts/*; do
    [ -e "$fonts/${f##*/}" ] || ln -s "$f" "$fonts/${f##*/}"
  done
  "$root/cmake/wine-run" --server "$WINEPREFIX" -p </dev/null >/dev/null 2>&1
  "$root/cmake/wine-run" "$WINEPREFIX" wineboot </dev/null >/dev/null 2>&1
  ww_registry_file >"$work/window.reg"
  if ! cmp -s "$work/window.reg" "$WINEPREFIX/.window.reg"; then
    "$root/cmake/wine-run" "$WINEPREFIX" regedit /S "$(winepath_of "$work/window.reg")" </dev/null >/dev/null 2>&1
    cp "$work/window.reg" "$WINEPREFIX/.window.reg"
  fi
}

# A Unix path as Wine's Z: drive spells it.
winepath_of() {
  printf 'Z:%s' "${1//\//\\}"
}

# unixODBC's driver list, in a folder of our own: Microsoft's driver name,
# answered by FreeTDS (the build's word size: 32-bit or 64-bit programs).
ww_odbc() {
  local bits=$1 lib=/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so
  [ "$bits" = 32 ] && lib=/usr/lib/i386-linux-gnu/odbc/libtdsodbc.so
  mkdir -p "$work/odbc"
  printf '[ODBC Driver 17 for SQL Server]\nDescription=FreeTDS answering for the Microsoft driver\nDriver=%s\n' \
    "$lib" >"$work/odbc/odbcinst.ini"
  : >"$work/odbc/odbc.ini"
  export ODBCSYSINI=$work/odbc
}

# The stand-in with the demo databases on a free port; sets ww_port.
ww_standin() {
  local standin=$1 fixture=$2
  "$standin" --port 0 --fixture "$fixture" --journal "$work/journal.jsonl" --dump "$work/dump.json" \
    >"$work/standin.out" 2>"$work/standin.err" &
  ww_standin_pid=$!
  pids+=("$ww_standin_pid")
  local listening= _
  for _ in $(seq 100); do
    listening=$(grep -m1 '^listening on ' "$work/standin.out" || true)
    [ -n "$listening" ] && break
    if ! kill -0 "$ww_standin_pid" 2>/dev/null; then
      echo "$ww_name: the stand-in did not start:" >&2
      cat "$work/standin.err" >&2
      return 1
    fi
    sleep 0.1
  done
  if [ -z "$listening" ]; then
    echo "$ww_name: the stand-in did not report its port within 10 s" >&2
    return 1
  fi
  ww_port=${listening##*:}
}

# The two values the login reads, in the registry's 32-bit view.
ww_registry() {
  local name
  for name in SERVERNAME DATABASE; do
    local value=$1
    [ "$name" = DATABASE ] && value=$2
    "$root/cmake/wine-run" "$WINEPREFIX" reg add 'HKLM\SOFTWARE\velmora' /v "$name" /d "$value" /reg:32 /f \
      </dev/null >/dev/null 2>&1
  done
}

# Everything started here ends, the last first; then the prefix's Wine server.
ww_cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  if [ -n "${ww_wineserver_started:-}" ]; then
    "$root/cmake/wine-run" --server "$WINEPREFIX" -k >/dev/null 2>&1 || true
  fi
}
