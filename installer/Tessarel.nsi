; Tessarel-Setup.exe: Tessarel, Veltrane and Corvane for 64-bit and 32-bit hosts, the OPC
; proxy/stub in both bitnesses, the OPC server list service where none is registered, the
; examples and a Start-menu entry. Built by scripts/installer:
;   makensis -DBIN=<64-bit programs> -DBIN32=<32-bit libraries> -DTOP=<source folder>
;            -DOUTFILE=<setup program> installer/Tessarel.nsi
; Silent use: Tessarel-Setup.exe /S [/DEMO] [/D=folder]; the uninstaller takes /S too.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "LogicLib.nsh"
!include "x64.nsh"
!include "FileFunc.nsh"

!define PRODUCT "Tessarel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tessarel"
; CLSID_OPCServerList: the list service another OPC product may already have registered.
!define SERVER_LIST_CLSID "{13486D51-4821-11D2-A494-3CB306C10000}"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var Failures

; Runs a registration command; a failure is counted, shown in the details and the exit code.
!macro Register COMMAND WHAT
  ClearErrors
  ExecWait '${COMMAND}' $0
  ${If} ${Errors}
  ${OrIf} $0 != 0
    IntOp $Failures $Failures + 1
    DetailPrint "Registration failed ($0): ${WHAT}"
  ${Else}
    DetailPrint "Registered: ${WHAT}"
  ${EndIf}
!macroend

Function .onInit
  SetRegView 64
  ; For every user of the machine: the Start-menu entry goes to the common Start menu.
  SetShellVarContext all
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "Tessarel needs 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  ; /DEMO on the command line selects the demo component in a silent install.
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/DEMO" $R1
  ${IfNot} ${Errors}
    SectionSetFlags 1 ${SF_SELECTED}
  ${EndIf}
FunctionEnd

Section "Tessarel" SecMain
  SectionIn RO
  StrCpy $Failures 0
  SetOutPath "$INSTDIR"
  File "${BIN}/Tessarel.exe"
  File "${BIN}/Veltrane.dll"
  File "${BIN}/Corvane.ocx"
  File "${BIN}/OpcProxy.dll"
  SetOutPath "$INSTDIR\x86"
  File "${BIN32}/Veltrane.dll"
  File "${BIN32}/Corvane.ocx"
  File "${BIN32}/OpcProxy.dll"
  SetOutPath "$INSTDIR\examples"
  File /r "${TOP}/examples/*.*"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The list service only where no product registered one; the uninstaller removes it only then.
  ClearErrors
  ReadRegStr $1 HKCR "CLSID\${SERVER_LIST_CLSID}\LocalServer32" ""
  ${If} ${Errors}
    SetOutPath "$INSTDIR"
    File "${BIN}/OpcEnum.exe"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "ServerListInstalled" 1
    !insertmacro Register '"$INSTDIR\OpcEnum.exe" /regserver' "OPC server list service"
  ${Else}
    DetailPrint "OPC server list service already registered: $1"
  ${EndIf}

  ; 64-bit libraries through the 64-bit regsvr32, 32-bit ones through the 32-bit one (which
  ; writes the 32-bit registry view).
  !insertmacro Register '"$WINDIR\System32\regsvr32.exe" /s "$INSTDIR\OpcProxy.dll"' "OpcProxy.dll (64-bit)"
  !insertmacro Register '"$WINDIR\System32\regsvr32.exe" /s "$INSTDIR\Veltrane.dll"' "Veltrane.dll (64-bit)"
  !insertmacro Register '"$WINDIR\System32\regsvr32.exe" /s "$INSTDIR\Corvane.ocx"' "Corvane.ocx (64-bit)"
  !insertmacro Register '"$WINDIR\SysWOW64\regsvr32.exe" /s "$INSTDIR\x86\OpcProxy.dll" "$INSTDIR\x86\Veltrane.dll" "$INSTDIR\x86\Corvane.ocx"' "OpcProxy.dll, Veltrane.dll, Corvane.ocx (32-bit)"
  !insertmacro Register '"$INSTDIR\Tessarel.exe" /regserver' "Tessarel"

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Tessarel.lnk" "$INSTDIR\Tessarel.exe"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Uninstall Tessarel.lnk" "$INSTDIR\Uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Marrowby"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Demo (simulation server)" SecDemo
  SetOutPath "$INSTDIR"
  File "${BIN}/SimServer.exe"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "DemoInstalled" 1
  !insertmacro Register '"$INSTDIR\SimServer.exe" /regserver' "SimServer (demo)"
SectionEnd

Function .onInstSuccess
  ${If} $Failures != 0
    SetErrorLevel 2
  ${EndIf}
FunctionEnd

; Veltrane leaves its type library registered when it is unregistered (other programs may still
; use it). The uninstaller removes it: the LIBID is ours alone, but the interface identifiers are
; the automation standard's, which another vendor's wrapper registers too, so an interface key
; goes only while it names our type library. In the view the register view is set to.
!define VELTRANE_LIBID "{8C1F4078-B697-4968-96B1-9799D96E3829}"
!macro DropVeltraneInterface IID
  ClearErrors
  ReadRegStr $3 HKCR "Interface\${IID}\TypeLib" ""
  ${If} $3 == "${VELTRANE_LIBID}"
    DeleteRegKey HKCR "Interface\${IID}"
  ${EndIf}
!macroend
!macro DropVeltraneTypeLib
  !insertmacro DropVeltraneInterface "{28E68F92-8D75-11D1-8DC3-3C302A000000}"
  !insertmacro DropVeltraneInterface "{28E68F93-8D75-11D1-8DC3-3C302A000000}"
  !insertmacro DropVeltraneInterface "{28E68F94-8D75-11D1-8DC3-3C302A000000}"
  !insertmacro DropVeltraneInterface "{28E68F95-8D75-11D1-8DC3-3C302A000000}"
  !insertmacro DropVeltraneInterface "{28E68F96-8D75-11D1-8DC3-3C302A000000}"
  !insertmacro DropVeltraneInterface "{28E68F97-8D75-11D1-8DC3-3C302A000000}"
  !insertmacro DropVeltraneInterface "{28E68F98-8D75-11D1-8DC3-3C302A000000}"
  !insertmacro DropVeltraneInterface "{28E68F99-8D75-11D1-8DC3-3C302A000000}"
  !insertmacro DropVeltraneInterface "{28E68F9D-8D75-11D1-8DC3-3C302A000000}"
  !insertmacro DropVeltraneInterface "{2DE71907-186B-46E4-A48A-E8F909328580}"
  DeleteRegKey HKCR "TypeLib\${VELTRANE_LIBID}"
!macroend

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Uninstall"
  ClearErrors
  ReadRegDWORD $2 HKLM "${UNINSTALL_KEY}" "DemoInstalled"
  ${If} $2 == 1
    ExecWait '"$INSTDIR\SimServer.exe" /unregserver'
    Delete "$INSTDIR\SimServer.exe"
  ${EndIf}
  ExecWait '"$INSTDIR\Tessarel.exe" /unregserver'
  ExecWait '"$WINDIR\SysWOW64\regsvr32.exe" /u /s "$INSTDIR\x86\Corvane.ocx" "$INSTDIR\x86\Veltrane.dll" "$INSTDIR\x86\OpcProxy.dll"'
  ExecWait '"$WINDIR\System32\regsvr32.exe" /u /s "$INSTDIR\Corvane.ocx"'
  ExecWait '"$WINDIR\System32\regsvr32.exe" /u /s "$INSTDIR\Veltrane.dll"'
  ExecWait '"$WINDIR\System32\regsvr32.exe" /u /s "$INSTDIR\OpcProxy.dll"'
  !insertmacro DropVeltraneTypeLib
  SetRegView 32
  !insertmacro DropVeltraneTypeLib
  SetRegView 64
  ClearErrors
  ReadRegDWORD $1 HKLM "${UNINSTALL_KEY}" "ServerListInstalled"
  ${If} $1 == 1
    ExecWait '"$INSTDIR\OpcEnum.exe" /unregserver'
    Delete "$INSTDIR\OpcEnum.exe"
  ${EndIf}

  Delete "$INSTDIR\Tessarel.exe"
  Delete "$INSTDIR\Veltrane.dll"
  Delete "$INSTDIR\Corvane.ocx"
  Delete "$INSTDIR\OpcProxy.dll"
  Delete "$INSTDIR\x86\Veltrane.dll"
  Delete "$INSTDIR\x86\Corvane.ocx"
  Delete "$INSTDIR\x86\OpcProxy.dll"
  RMDir "$INSTDIR\x86"
  ; The program's own log, written beside it.
  Delete "$INSTDIR\Tessarel.log"
  RMDir /r "$INSTDIR\examples"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\${PRODUCT}\Tessarel.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall Tessarel.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
