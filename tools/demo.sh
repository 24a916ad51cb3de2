#!/usr/bin/env bash
# The uninstaller's main job in the private Wine prefix: a Lumora installation
# is laid out, the uninstaller's temporary copy removes it, and the log and the
# requests the web services received are shown.
set -euo pipefail
BUILD=$1
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WINE="$ROOT/tools/wine-run"
OUT=$BUILD/demo
mkdir -p "$OUT"
say() { printf '\n==> %s\n' "$*"; }
winpath() { WINEPREFIX=$WINEPREFIX winepath -u "$1" 2>/dev/null; }

INSTALL_WIN='C:\Program Files (x86)\Lumora'
INSTALL_UNIX=$(winpath "$INSTALL_WIN")
TEMP_WIN=$("$WINE" cmd /c 'echo %TEMP%' 2>/dev/null | tr -d '\r')
TEMP_UNIX=$(winpath "$TEMP_WIN")
LOG="$TEMP_UNIX/tapis_uninst.log"
COPY_NAME="{5A1F0C2E-7B3D-4e8e-A521-86DD34FF011F}.tmp"
COPY_UNIX="$TEMP_UNIX/$COPY_NAME"

shot() { import -display "$DISPLAY" -window root "$OUT/$1.png" 2>/dev/null && echo "screenshot: $OUT/$1.png"; }
# Starts a Windows program in the background; its shell job id is in $!.
run_bg() { "$WINE" "$@" >/dev/null 2>&1 & }
listing() { (cd "$INSTALL_UNIX" 2>/dev/null && find . -mindepth 1 | sort | sed 's|^\./|    |') || echo "    (the installation directory is gone)"; }

say "laying out a Lumora installation at $INSTALL_WIN"
rm -rf "$INSTALL_UNIX" "$COPY_UNIX"
mkdir -p "$INSTALL_UNIX"/{Utils,wallpaperhelper,skin,cache/thumbs,logs,RarOzo}
cp "$BUILD/Uninstall.exe" "$INSTALL_UNIX/Uninstall.exe"
cp "$BUILD/7z.dll" "$INSTALL_UNIX/Utils/7z.dll"
cp "$BUILD/DarIR.dll" "$INSTALL_UNIX/wallpaperhelper/DarIR.dll"
cp "$BUILD/testdata/signing/signed.exe" "$INSTALL_UNIX/lumdesk.exe"
printf '[auto_run]\r\nopen=1\r\n' > "$INSTALL_UNIX/config.set"
for f in wallpaper.db thumbcache.db version.dat skin/default.skin cache/thumbs/0001.jpg logs/lumdesk.log; do
  echo "lumora data" > "$INSTALL_UNIX/$f"
done
echo "a wallpaper the user saved here" > "$INSTALL_UNIX/我的壁纸.jpg"
"$WINE" reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\Kelwpapp.exe' /v path /d "$INSTALL_WIN" /f /reg:32 >/dev/null 2>&1
rm -f "$LOG"
listing

say "first launch (no switches): it offers the re-download while it cannot start its copy"
run_bg "$INSTALL_UNIX/Uninstall.exe"; pid=$!
printf '    message box: '; "$WINE" "$BUILD/winctl.exe" answer 7 20000
wait "$pid" || true

say "restore (/READYUNINSTALL /K)"
"$WINE" "$INSTALL_UNIX/Uninstall.exe" /READYUNINSTALL /K >/dev/null 2>&1 || true

say "silent launch from an unsigned parent (/S): refused"
"$WINE" "$INSTALL_UNIX/Uninstall.exe" /S >/dev/null 2>&1 || true

say "the temporary copy, as the first launch prepares it: $TEMP_WIN\\$COPY_NAME"
mkdir -p "$COPY_UNIX"
cp "$INSTALL_UNIX/Uninstall.exe" "$COPY_UNIX/Uninstall.exe"
cp "$INSTALL_UNIX/Utils/7z.dll" "$COPY_UNIX/7z.dll"
cp "$INSTALL_UNIX/wallpaperhelper/DarIR.dll" "$COPY_UNIX/DarIR.dll"
run_bg "$COPY_UNIX/Uninstall.exe" /READYUNINSTALL; pid=$!
"$WINE" "$BUILD/winctl.exe" wait KelWallPaperSetupMainWnd 20000
sleep 1; shot 1-main-window

say "a second instance while the copy runs: refused, and it raises the running window"
run_bg "$COPY_UNIX/Uninstall.exe" /READYUNINSTALL; pid2=$!
sleep 2; shot 2-second-instance
printf '    message box: '; "$WINE" "$BUILD/winctl.exe" answer 1 20000
wait "$pid2" || true

say "the user starts the removal"
"$WINE" "$BUILD/winctl.exe" enter KelWallPaperSetupMainWnd 20000
for _ in $(seq 600); do grep -q "main window: removal ended" "$LOG" 2>/dev/null && break; sleep 0.1; done
sleep 1; shot 3-removed
"$WINE" "$BUILD/winctl.exe" close KelWallPaperSetupMainWnd 20000
wait "$pid" || true
echo "    what is left of $INSTALL_WIN:"
listing
if [ -d "$COPY_UNIX" ]; then echo "    the copy's folder: $(ls "$COPY_UNIX" | tr '\n' ' ')(locked files go at restart)"; else echo "    the copy's folder is gone"; fi

if [ -n "${SERVICE_DIR:-}" ] && [ -f "$SERVICE_DIR/requests.jsonl" ]; then
  say "what the web services received ($LUMORA_TEST_SERVICE)"
  python3 - "$SERVICE_DIR/requests.jsonl" <<'PY'
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    r = json.loads(line)
    if r["path"].startswith("/__"):
        continue
    detail = r.get("query", "")
    for key in ("decoded", "payload", "form"):
        if key in r:
            detail = json.dumps(r[key], ensure_ascii=False)[:300]
            break
    print(f"    {r['method']} {r['path']}  {detail}")
PY
fi

say "the log: $LOG (Windows: %TEMP%\\tapis_uninst.log, code page 936, shown here as UTF-8)"
iconv -f GBK -t UTF-8 "$LOG" | tr -d '\r'
