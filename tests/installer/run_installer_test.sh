#!/usr/bin/env bash
# Tessarel-Setup.exe in a prefix of its own, made fresh for the run:
#  1. a silent install with the demo component (/S /DEMO) into a prefix with no OPC server list:
#     the files are in place, both registry views name the installed libraries, and from the
#     installed folder a 64-bit script host reads and writes the demo's SimServer through the
#     installed Veltrane (and the 32-bit one where tests/x86/run_x86.sh says the machine can run
#     it: TESSAREL_X86_HOSTS=1);
#  2. a silent uninstall: none of our files, and no key naming our files, classes or
#     identifiers, in either registry view;
#  3. with a server list another product registered: the setup leaves it to that product, and
#     it is still registered after our uninstall.
#   run_installer_test.sh SETUP_EXE
set -uo pipefail
setup_exe=$(readlink -f "$1")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/env.sh"
tessarel_ensure_display || exit 1

export WINEPREFIX="$BUILD_DIR/installer-prefix"
fail=0
check() { if eval "$1"; then echo "ok: $2"; else echo "FAIL: $2"; fail=1; fi; }
# Everything in this prefix has ended and its registry is written out.
settle() { wineserver -w; }
trap 'wineserver -k >/dev/null 2>&1' EXIT

wineserver -k >/dev/null 2>&1
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
settle
# (grep reads to the end: with pipefail, grep -q would make cat fail early and the pipe fail.)
# Checks let grep read to the end: with pipefail, grep -q would end cat early and fail the pipe.
regs() { cat "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg"; }
dir="$WINEPREFIX/drive_c/Program Files/Tessarel"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tessarel"
# What names our files, classes and identifiers in the registry (both views live in the same
# files; the 32-bit one under Wow6432Node): the install folder, our ProgIDs, the proxy/stub
# class and the type libraries (their interfaces name them).
ours='Program Files\\\\Tessarel|Kestrov\.OPCAutomation|Corvane\.Corvex|Marrowby\.Tessarel|Sim\.OPCDA|98C8BCFB-7BF3-4000-9660-4D1A35FB0380|8C1F4078-B697-4968-96B1-9799D96E3829|148C249B-15F8-4BC3-9B59-B4B453F9670E|Uninstall\\\\Tessarel'
check "! regs | grep -Ei '$ours|OPC\.ServerList' >/dev/null" "the fresh prefix holds nothing of ours"

install() {
  wine "$setup_exe" /S "$@" </dev/null >/dev/null 2>&1
  local rc=$?
  settle
  return $rc
}
uninstall() {
  # The uninstaller copies itself to the temporary folder and runs from there; settle waits.
  wine "C:\\Program Files\\Tessarel\\Uninstall.exe" /S </dev/null >/dev/null 2>&1
  settle
}
script_host() {  # script_host CSCRIPT: reads and writes SimServer from the installed folder
  local vbs="$WINEPREFIX/drive_c/rw.vbs"
  cat > "$vbs" <<'EOF'
Dim s, g, reg
Set s = CreateObject("Kestrov.OPCAutomation.1")
s.Connect "Sim.OPCDA.2"
Set g = s.OPCGroups.Add("installed")
Set reg = g.OPCItems.AddItem("Register.I4", 1)
reg.Write 2468
reg.Read 2
WScript.Echo "read " & reg.Value & " state " & s.ServerState
s.Disconnect
EOF
  wine "$1" //nologo 'C:\rw.vbs' </dev/null 2>/dev/null | tr -d '\r'
}

# 1. A fresh machine.
install /DEMO
check "[ $? -eq 0 ]" "the silent install reports success"
for f in Tessarel.exe Veltrane.dll Corvane.ocx OpcProxy.dll OpcEnum.exe SimServer.exe Uninstall.exe \
         x86/Veltrane.dll x86/Corvane.ocx x86/OpcProxy.dll examples/demo/tags.csv; do
  check "[ -f '$dir/$f' ]" "installed: $f"
done
check "[ -f '$menu/Tessarel.lnk' ]" "the Start-menu entry"
check "wine reg query 'HKCR\\CLSID\\{5C163340-1BFF-4165-BD0F-88F38B969E81}\\InprocServer32' /ve /reg:64 2>/dev/null | grep -qi 'Tessarel\\\\Veltrane.dll'" \
  "the 64-bit view names the installed 64-bit Veltrane"
check "wine reg query 'HKCR\\CLSID\\{5C163340-1BFF-4165-BD0F-88F38B969E81}\\InprocServer32' /ve /reg:32 2>/dev/null | grep -qi 'Tessarel\\\\x86\\\\Veltrane.dll'" \
  "the 32-bit view names the installed 32-bit Veltrane"
check "wine reg query 'HKCR\\CLSID\\{060A26E6-75AB-4B55-A66B-E273AAD0569B}\\InprocServer32' /ve /reg:32 2>/dev/null | grep -qi 'Tessarel\\\\x86\\\\Corvane.ocx'" \
  "the 32-bit view names the installed 32-bit Corvane"
check "regs | grep 'OPC.ServerList' >/dev/null" "the server list service is registered"
check "regs | grep 'Marrowby.Tessarel' >/dev/null" "Tessarel registered itself"
out=$(script_host cscript)
check "[ \"\$out\" = 'read 2468 state 1' ]" "the 64-bit script host reads and writes SimServer (got: $out)"
settle
if [ -n "${TESSAREL_X86_HOSTS:-}" ]; then
  out=$(script_host "$TESSAREL_SYSWOW64\\cscript.exe")
  check "[ \"\$out\" = 'read 2468 state 1' ]" "the 32-bit script host reads and writes SimServer (got: $out)"
  settle
else
  echo "note: the 32-bit script host is left out on this machine (see x86 platform above)"
fi

# 2. Uninstalled: nothing of ours is left.
uninstall
check "[ ! -e '$dir' ]" "the install folder is gone"
check "[ ! -e '$menu' ]" "the Start-menu folder is gone"
left=$(regs | grep -Ei "$ours|OPC\.ServerList" | head -5)
check "[ -z \"\$left\" ]" "no key or value of ours in either view (left: $left)"

# 3. A server list another product registered stays its own.
wine "Z:$(echo "$BUILD_DIR/bin/OpcEnum.exe" | tr / '\\')" /regserver </dev/null >/dev/null 2>&1
settle
install
check "[ $? -eq 0 ]" "the second silent install reports success"
check "[ ! -e '$dir/OpcEnum.exe' ]" "the setup leaves the registered server list alone"
uninstall
check "regs | grep 'OPC.ServerList' >/dev/null" "the other product's server list is still registered"
left=$(regs | grep -Ei "$ours" | head -5)
check "[ -z \"\$left\" ]" "nothing else of ours is left (left: $left)"

[ $fail -eq 0 ] && echo "installer_test: all passed" || echo "installer_test: FAILED"
exit $fail
