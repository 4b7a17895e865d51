; The Windows installer of the Velmara 6 OPC server.
;
; makensis -DARCH=x86|x64 -DBIN=<the build's bin> -DOTHER_BIN=<the other architecture's bin> -DSRC=<source>
;          -DVERSION=6.0.0 -DOUTFILE=<setup.exe> lx6opc.nsi
;
; ARCH=x86 is the product: a 32-bit installer with the 32-bit server. ARCH=x64 is the same installation with the
; 64-bit server (a 64-bit installer; it runs only on 64-bit Windows). Either way both bitnesses of the proxy/stub
; DLL are installed, each registered in its own registry view, so that 32-bit and 64-bit clients can talk to the
; server; the other bitness's proxy and client live in the subfolder x64 (or x86).
;
; Silent install: setup.exe /S [/NODE=demo|/NODE=C:\path\node.dbb] [/D=C:\install\folder]
; (/D last, unquoted). NodeFilePath is written only with /NODE (silent) or when a node is picked on the
; "Startup node" page. Silent uninstall: "<folder>\uninstall.exe" /S.
; Exit codes: 0 done, 1 cancelled, 2 failed (the server is running, or a registration failed).

!ifndef ARCH | BIN | OTHER_BIN | SRC | VERSION | OUTFILE
  !error "define ARCH, BIN, OTHER_BIN, SRC, VERSION and OUTFILE"
!endif

Unicode true
!if ${ARCH} == x64
  Target amd64-unicode
  !define OTHER_DIR x86
!else if ${ARCH} == x86
  Target x86-unicode
  !define OTHER_DIR x64
!else
  !error "ARCH is x86 or x64"
!endif

!include MUI2.nsh
!include LogicLib.nsh
!include nsDialogs.nsh
!include FileFunc.nsh
!include x64.nsh

!define PRODUCT "Velmara 6 OPC Server"
!define PUBLISHER "Corvane Works, Ltd"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Velmara6OpcServer"
!define SETTINGS_KEY "Software\CorvanE\VELMARA\6\OPC\SERVER"
!define PROXY_CLSID "{F892DF06-6364-42EC-9450-9CB663F71255}"
!define SERVER_MUTEX "VELMARA_6_OPC_SERVER"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
!if ${ARCH} == x64
  InstallDir "$PROGRAMFILES64\Corvane\${PRODUCT}"
!else
  InstallDir "$PROGRAMFILES32\Corvane\${PRODUCT}"
!endif
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
BrandingText "${PRODUCT} ${VERSION}"
ShowUninstDetails show
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 ProductName "${PRODUCT}"
VIAddVersionKey /LANG=1033 CompanyName "${PUBLISHER}"
VIAddVersionKey /LANG=1033 FileDescription "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 FileVersion "${VERSION}"
VIAddVersionKey /LANG=1033 ProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 LegalCopyright "${PUBLISHER}"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
Page custom NodePage NodePageLeave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Var Node          ; "" (keep NodeFilePath as it is), "demo", or a node file path
Var NodeDemo
Var NodeOther
Var NodeKeep
Var NodePath
Var NodeBrowse

; ---------------------------------------------------------------------------------------------------------------
; Helpers shared by the installer and the uninstaller.

; Sets $R0 to 1 while the server runs (its single-instance mutex exists), else 0.
!macro ServerRunning UN
Function ${UN}ServerRunning
  StrCpy $R0 0
  System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${SERVER_MUTEX}") p .r1'
  ${If} $1 P<> 0
    System::Call 'kernel32::CloseHandle(p r1)'
    StrCpy $R0 1
  ${EndIf}
FunctionEnd

; Waits until the server is closed; in silent mode, or when the user cancels, ends with exit code 2.
Function ${UN}WaitForServerClosed
  ${Do}
    Call ${UN}ServerRunning
    ${IfThen} $R0 == 0 ${|} ${Break} ${|}
    ${If} ${Silent}
      SetErrorLevel 2
      Quit
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PRODUCT} is running. Close its window, then choose Retry." \
      IDRETRY +3
    SetErrorLevel 2
    Quit
  ${Loop}
FunctionEnd
!macroend
!insertmacro ServerRunning ""
!insertmacro ServerRunning "un."

; regsvr32 of the native bitness ($SYSDIR) or of the other one; $R1 = the file, $R2 = "" or "/u ".
; 32-bit installer: the 64-bit regsvr32 is System32 with file-system redirection off.
; 64-bit installer: the 32-bit one is SysWOW64.
!macro ProxyRegistration UN
Function ${UN}RegsvrNative
  ClearErrors
  ExecWait '"$SYSDIR\regsvr32.exe" /s $R2"$R1"' $R3
  ${If} ${Errors}
    StrCpy $R3 -1
  ${EndIf}
FunctionEnd

Function ${UN}RegsvrOther
  ClearErrors
!if ${ARCH} == x64
  ${If} ${FileExists} "$WINDIR\SysWOW64\regsvr32.exe"
    ExecWait '"$WINDIR\SysWOW64\regsvr32.exe" /s $R2"$R1"' $R3
  ${Else}
    SetErrors
  ${EndIf}
!else
  ${DisableX64FSRedirection}
  ExecWait '"$WINDIR\System32\regsvr32.exe" /s $R2"$R1"' $R3
  ${EnableX64FSRedirection}
!endif
  ${If} ${Errors}
    StrCpy $R3 -1
  ${EndIf}
FunctionEnd
!macroend
!insertmacro ProxyRegistration ""
!insertmacro ProxyRegistration "un."

; $R3 = 1 when the proxy class in the current registry view is served by the file $R1.
Function ProxyRegisteredTo
  ReadRegStr $R3 HKCR "CLSID\${PROXY_CLSID}\InprocServer32" ""
  ${If} $R3 == $R1
    StrCpy $R3 1
  ${Else}
    StrCpy $R3 0
  ${EndIf}
FunctionEnd

!macro NativeView
!if ${ARCH} == x64
  SetRegView 64
!else
  SetRegView 32
!endif
!macroend

!macro OtherView
!if ${ARCH} == x64
  SetRegView 32
!else
  SetRegView 64
!endif
!macroend

; ---------------------------------------------------------------------------------------------------------------
; Installer

Function .onInit
!if ${ARCH} == x64
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "This is the 64-bit installation: it needs 64-bit Windows." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
!endif
  !insertmacro NativeView
  StrCpy $Node ""
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/NODE=" $1
  ${IfNot} ${Errors}
    StrCpy $Node $1
  ${EndIf}
FunctionEnd

Section "Server" SecServer
  SectionIn RO
  Call WaitForServerClosed
  SetOutPath "$INSTDIR"
  File "${BIN}\lx6opc.exe"
  File "${BIN}\dllNRK32.dll"
  File "${BIN}\lx6opc.tlb"
  File "${BIN}\lx6opcps.dll"
  File "${BIN}\opcclient.exe"
!if /FileExists "${BIN}\help\dcs.chm"
  SetOutPath "$INSTDIR\help"
  File "${BIN}\help\dcs.chm"
!endif
  SetOutPath "$INSTDIR\nodes"
  File "${SRC}\nodes\demo.dbb"
  ; The other bitness: its proxy/stub DLL for clients of that bitness, and the client built for it.
!if ${ARCH} == x86
  ${If} ${RunningX64}
!endif
    SetOutPath "$INSTDIR\${OTHER_DIR}"
    File "${OTHER_BIN}\lx6opcps.dll"
    File "${OTHER_BIN}\opcclient.exe"
!if ${ARCH} == x86
  ${EndIf}
!endif

  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\lx6opc.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; COM registration: the server (class, AppID, ProgIDs, category, type library), then the proxies. A proxy
  ; registration leaves interfaces that another vendor's proxies serve to them.
  DetailPrint "Registering the server"
  ExecWait '"$INSTDIR\lx6opc.exe" /RegServer' $0
  ${If} $0 != 0
    DetailPrint "lx6opc.exe /RegServer failed: $0"
    MessageBox MB_ICONSTOP "The server's registration failed (exit code $0)." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  DetailPrint "Registering the proxy/stub DLL"
  StrCpy $R1 "$INSTDIR\lx6opcps.dll"
  StrCpy $R2 ""
  Call RegsvrNative
  Call ProxyRegisteredTo
  ${If} $R3 != 1
    MessageBox MB_ICONSTOP "The proxy/stub DLL could not be registered." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\${OTHER_DIR}\lx6opcps.dll"
    StrCpy $R1 "$INSTDIR\${OTHER_DIR}\lx6opcps.dll"
    Call RegsvrOther
    !insertmacro OtherView
    Call ProxyRegisteredTo
    !insertmacro NativeView
    ${If} $R3 != 1
      ; Only where Windows has no subsystem of that bitness (e.g. Wine without its 32-bit part): clients of
      ; that bitness cannot run there either.
      DetailPrint "The ${OTHER_DIR} proxy/stub DLL is not registered: this system cannot run it."
    ${EndIf}
  ${EndIf}

  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\lx6opc.exe"
  ; The client is a console program: a command prompt in the installation folder that shows its usage.
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\OPC client (command prompt).lnk" "$SYSDIR\cmd.exe" \
    '/k opcclient.exe' "$SYSDIR\cmd.exe" 0
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Uninstall.lnk" "$INSTDIR\uninstall.exe"

  ; The startup node, only when one was picked.
  ${If} $Node == "demo"
    StrCpy $Node "$INSTDIR\nodes\demo.dbb"
  ${EndIf}
  ${If} $Node != ""
    DetailPrint "Startup node: $Node"
    WriteRegStr HKCU "${SETTINGS_KEY}" "NodeFilePath" "$Node"
  ${EndIf}
SectionEnd

LangString DESC_SecServer ${LANG_ENGLISH} \
  "The OPC DA 2.0 server, its node runtime, proxy/stub DLLs of both bitnesses, the type library, the command-line \
  client and the demo node."
!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecServer} $(DESC_SecServer)
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; The "Startup node" page: keep the current NodeFilePath, take the demo node, or pick a node file.
Function NodePage
  !insertmacro MUI_HEADER_TEXT "Startup node" "The node file the server loads when it starts."
  nsDialogs::Create 1018
  Pop $0
  ${If} $0 == error
    Abort
  ${EndIf}
  ReadRegStr $1 HKCU "${SETTINGS_KEY}" "NodeFilePath"
  ${If} $1 != ""
    ${NSD_CreateRadioButton} 0 0 100% 12u "Keep the current startup node: $1"
  ${Else}
    ${NSD_CreateRadioButton} 0 0 100% 12u "No startup node for now (NodeFilePath stays unset)"
  ${EndIf}
  Pop $NodeKeep
  ${NSD_CreateRadioButton} 0 16u 100% 12u "The demo node (a small water plant with simulated values)"
  Pop $NodeDemo
  ${NSD_CreateRadioButton} 0 32u 100% 12u "Another node file:"
  Pop $NodeOther
  ${NSD_CreateFileRequest} 12u 48u 220u 12u ""
  Pop $NodePath
  ${NSD_CreateBrowseButton} 236u 47u 50u 14u "Browse..."
  Pop $NodeBrowse
  ${NSD_OnClick} $NodeBrowse NodeBrowseClick
  ${If} $1 != ""
    ${NSD_Check} $NodeKeep
  ${Else}
    ${NSD_Check} $NodeDemo
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function NodeBrowseClick
  nsDialogs::SelectFileDialog open "" "Node files (*.dbb)|*.dbb|All files|*.*"
  Pop $0
  ${If} $0 != ""
    ${NSD_SetText} $NodePath $0
    ${NSD_Check} $NodeOther
    ${NSD_Uncheck} $NodeDemo
    ${NSD_Uncheck} $NodeKeep
  ${EndIf}
FunctionEnd

Function NodePageLeave
  StrCpy $Node ""
  ${NSD_GetState} $NodeDemo $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $Node "demo"
  ${EndIf}
  ${NSD_GetState} $NodeOther $0
  ${If} $0 == ${BST_CHECKED}
    ${NSD_GetText} $NodePath $1
    ${IfNot} ${FileExists} $1
      MessageBox MB_ICONEXCLAMATION "Pick an existing node file (*.dbb)."
      Abort
    ${EndIf}
    StrCpy $Node $1
  ${EndIf}
FunctionEnd

; ---------------------------------------------------------------------------------------------------------------
; Uninstaller: removes what the installer added, nothing else. The proxies' own unregistration touches only the
; interfaces that name our proxy class, so another vendor's proxies stay registered.

Function un.onInit
  !insertmacro NativeView
FunctionEnd

Section "Uninstall"
  Call un.WaitForServerClosed
  ; The proxies first (the server's unregistration does not depend on them), the other bitness first.
  ${If} ${FileExists} "$INSTDIR\${OTHER_DIR}\lx6opcps.dll"
    StrCpy $R1 "$INSTDIR\${OTHER_DIR}\lx6opcps.dll"
    StrCpy $R2 "/u "
    Call un.RegsvrOther
  ${EndIf}
  StrCpy $R1 "$INSTDIR\lx6opcps.dll"
  StrCpy $R2 "/u "
  Call un.RegsvrNative
  ; Class, AppID, ProgIDs, type library and the per-user settings (NodeFilePath, the panel's layout).
  ${If} ${FileExists} "$INSTDIR\lx6opc.exe"
    ExecWait '"$INSTDIR\lx6opc.exe" /UnregServer' $0
    DetailPrint "lx6opc.exe /UnregServer: $0"
  ${EndIf}
  ; The per-user key's parents, when nothing else is left in them.
  DeleteRegKey /ifempty HKCU "Software\CorvanE\VELMARA\6\OPC"
  DeleteRegKey /ifempty HKCU "Software\CorvanE\VELMARA\6"
  DeleteRegKey /ifempty HKCU "Software\CorvanE\VELMARA"
  DeleteRegKey /ifempty HKCU "Software\CorvanE"

  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\OPC client (command prompt).lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  Delete "$INSTDIR\lx6opc.exe"
  Delete "$INSTDIR\dllNRK32.dll"
  Delete "$INSTDIR\lx6opc.tlb"
  Delete "$INSTDIR\lx6opcps.dll"
  Delete "$INSTDIR\opcclient.exe"
  Delete "$INSTDIR\help\dcs.chm"
  RMDir "$INSTDIR\help"
  Delete "$INSTDIR\nodes\demo.dbb"
  RMDir "$INSTDIR\nodes"
  Delete "$INSTDIR\${OTHER_DIR}\lx6opcps.dll"
  Delete "$INSTDIR\${OTHER_DIR}\opcclient.exe"
  RMDir "$INSTDIR\${OTHER_DIR}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ; The default folder's parent "Corvane", when it is empty (never another folder the user picked).
  ${GetParent} "$INSTDIR" $0
  ${GetFileName} $0 $1
  ${If} $1 == "Corvane"
    RMDir "$0"
  ${EndIf}

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
