#!/usr/bin/env bash
# The uninstaller's main job in the private Wine prefix: a product installation
# is laid out, then the uninstaller runs through its modes while the log grows.
set -euo pipefail
BUILD=$1
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WINE="$ROOT/tools/wine-run"
OUT=$BUILD/demo
mkdir -p "$OUT"
say() { printf '\n==> %s\n' "$*"; }

INSTALL_WIN='C:\Program Files (x86)\Lumora'
INSTALL_UNIX="$WINEPREFIX/drive_c/Program Files (x86)/Lumora"
TEMP_WIN=$("$WINE" cmd /c 'echo %TEMP%' 2>/dev/null | tr -d '\r')
TEMP_UNIX=$(WINEPREFIX=$WINEPREFIX winepath -u "$TEMP_WIN" 2>/dev/null)
LOG="$TEMP_UNIX/tapis_uninst.log"

say "laying out a Lumora installation at $INSTALL_WIN"
mkdir -p "$INSTALL_UNIX/Utils" "$INSTALL_UNIX/wallpaperhelper"
cp "$BUILD/Uninstall.exe" "$INSTALL_UNIX/Uninstall.exe"
[ -f "$BUILD/7z.dll" ] && cp "$BUILD/7z.dll" "$INSTALL_UNIX/Utils/7z.dll"
"$WINE" reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\Kelwpapp.exe' /v path /d "$INSTALL_WIN" /f /reg:32 >/dev/null 2>&1
rm -f "$LOG"

shot() { import -display "$DISPLAY" -window root "$OUT/$1.png" 2>/dev/null && echo "screenshot: $OUT/$1.png"; }
# Starts a Windows program in the background; its shell job id is in $!.
run_bg() { "$WINE" "$@" >/dev/null 2>&1 & }

say "first launch (no switches): the copy cannot be made yet, so the re-download offer appears"
run_bg "$INSTALL_UNIX/Uninstall.exe"; pid=$!
printf 'message box: '; "$WINE" "$BUILD/winctl.exe" answer 7 20000
wait "$pid" || true

say "temporary copy (/READYUNINSTALL): the main window opens"
run_bg "$INSTALL_UNIX/Uninstall.exe" /READYUNINSTALL; pid=$!
"$WINE" "$BUILD/winctl.exe" wait KelWallPaperSetupMainWnd 20000
sleep 1; shot main-window

say "a second instance while the first runs: refused, and it raises the first"
run_bg "$INSTALL_UNIX/Uninstall.exe" /READYUNINSTALL; pid2=$!
sleep 2; shot second-instance
printf 'message box: '; "$WINE" "$BUILD/winctl.exe" answer 1 20000
wait "$pid2" || true
"$WINE" "$BUILD/winctl.exe" close KelWallPaperSetupMainWnd 20000
wait "$pid" || true

say "restore (/READYUNINSTALL /K)"
"$WINE" "$INSTALL_UNIX/Uninstall.exe" /READYUNINSTALL /K >/dev/null 2>&1 || true

say "silent launch from an unsigned parent (/S): refused"
"$WINE" "$INSTALL_UNIX/Uninstall.exe" /S >/dev/null 2>&1 || true

say "the log: $LOG (Windows: %TEMP%\\tapis_uninst.log, code page 936, shown here as UTF-8)"
iconv -f GBK -t UTF-8 "$LOG" | tr -d '\r'
