; BrenvikSetup: BrenvikPlus.dll of both bitnesses, KorvellOLE, the test
; utility, the samples and the manual, for 32-bit and 64-bit Windows.
;
; Built by CMake (target `installer`) with makensis and these defines:
;   VERSION      the product's version, e.g. 7.1.0
;   VERSION_QUAD the same in four numbers, e.g. 7.1.0.0
;   BUILD64      the mingw64 build tree
;   BUILD32      the mingw32 build tree
;   SOURCE       the source tree (samples, manual)
;   OUTFILE      the installer to write
;
; Command line: /S silent; /NOSTARTUP leaves KorvellOLE out of the Startup
; folder (an upgrade keeps the choice made before); /D=dir chooses the directory of the 64-bit files (or of all files on
; 32-bit Windows). The uninstaller takes /S and /REMOVELOGS.

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh
!include WinMessages.nsh

!define PRODUCT "Brenvik"
!define REG_PRODUCT "Software\Brenvik"
!define REG_UNINSTALL "Software\Microsoft\Windows\CurrentVersion\Uninstall\Brenvik"
!define TRAY_CLASS "KORVELLPRINTERSERVER"

; The pieces other parts of the build make; each is shipped once it exists.
!define TESTUTIL_EXE "testutil\BrenvikTest.exe"
!define MANUAL_DIR "${SOURCE}\docs\manual"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion ${VERSION_QUAD}
VIFileVersion ${VERSION_QUAD}
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION_QUAD}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=0 "CompanyName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "LegalCopyright" "${PRODUCT}"

Var Dir32      ; where the 32-bit DLL goes on 64-bit Windows

!define MUI_ICON "${SOURCE}\tray\korvell.ico"
!define MUI_UNICON "${SOURCE}\tray\korvell.ico"
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Ukrainian"

LangString SecCoreName ${LANG_ENGLISH} "Brenvik (driver, tray program, samples, manual)"
LangString SecCoreName ${LANG_UKRAINIAN} "Brenvik: драйвер, приклади, посібник"
LangString SecStartupName ${LANG_ENGLISH} "Start KorvellOLE with Windows"
LangString SecStartupName ${LANG_UKRAINIAN} "Запускати KorvellOLE разом з Windows"
LangString SecLogsName ${LANG_ENGLISH} "Remove the logs too"
LangString SecLogsName ${LANG_UKRAINIAN} "Видалити також журнали"
LangString RegisterFailed ${LANG_ENGLISH} "Registering $0 failed (regsvr32 exit code $1)."
LangString RegisterFailed ${LANG_UKRAINIAN} "Не вдалося зареєструвати $0 (код виходу regsvr32: $1)."
LangString ShortcutTestUtil ${LANG_ENGLISH} "Brenvik printer test"
LangString ShortcutTestUtil ${LANG_UKRAINIAN} "Перевірка принтера Brenvik"
LangString ShortcutManual ${LANG_ENGLISH} "Brenvik manual"
LangString ShortcutManual ${LANG_UKRAINIAN} "Посібник Brenvik"
LangString ShortcutSamples ${LANG_ENGLISH} "Brenvik samples"
LangString ShortcutSamples ${LANG_UKRAINIAN} "Приклади Brenvik"
LangString ShortcutLogs ${LANG_ENGLISH} "Brenvik logs"
LangString ShortcutLogs ${LANG_UKRAINIAN} "Журнали Brenvik"
LangString ShortcutUninstall ${LANG_ENGLISH} "Uninstall Brenvik"
LangString ShortcutUninstall ${LANG_UKRAINIAN} "Видалити Brenvik"

; ---- helpers shared by the installer and the uninstaller -----------------

; A running KorvellOLE holds its file: ask it to end (its window closes on
; WM_CLOSE like any other) before files are replaced or removed.
!macro CloseTray
  FindWindow $0 "${TRAY_CLASS}"
  ${DoWhile} $0 <> 0
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=2000
    Sleep 200
    FindWindow $1 "${TRAY_CLASS}"
    ${If} $1 = $0
      ${Break}          ; it will not go: File reports the locked file
    ${EndIf}
    StrCpy $0 $1
  ${Loop}
!macroend

; Registers (FLAGS "") or unregisters (FLAGS "/u") a DLL with the regsvr32
; of the given bitness: each bitness writes its own registry view.
; Leaves regsvr32's exit code in $1.
!macro RegSvr BITS FLAGS DLL
  StrCpy $0 "${DLL}"
!if ${BITS} == 64
  ${DisableX64FSRedirection}
  ExecWait '"$SYSDIR\regsvr32.exe" /s ${FLAGS} "$0"' $1
  ${EnableX64FSRedirection}
!else
  ; The installer is a 32-bit program: its $SYSDIR is the 32-bit one.
  ExecWait '"$SYSDIR\regsvr32.exe" /s ${FLAGS} "$0"' $1
!endif
!macroend

; Our registry values live in both views on 64-bit Windows, so that the
; 32-bit DLL (which reads through WOW6432Node) finds them too.
!macro ForEachView MACRO
  ${If} ${RunningX64}
    SetRegView 64
    !insertmacro ${MACRO}
    SetRegView 32
  ${EndIf}
  !insertmacro ${MACRO}
  SetRegView default
!macroend

; ---- installer -------------------------------------------------------------

; An older version is removed by its own uninstaller first (it keeps the
; logs), so that nothing it had and we no longer ship stays behind.
Function RemovePrevious
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  ReadRegStr $R1 HKLM "${REG_UNINSTALL}" "InstallLocation"
  SetRegView default
  ${If} $R1 == ""
  ${OrIfNot} ${FileExists} "$R1\Uninstall.exe"
    Return
  ${EndIf}
  DetailPrint "Removing the previous version from $R1"
  ; _? keeps the uninstaller in place, so ExecWait really waits for it.
  ExecWait '"$R1\Uninstall.exe" /S _?=$R1' $0
  Delete "$R1\Uninstall.exe"
  RMDir "$R1"
FunctionEnd

!macro WriteProductValues
  WriteRegStr HKLM "${REG_PRODUCT}" "LogDirectory" "$APPDATA\${PRODUCT}"
  WriteRegStr HKLM "${REG_PRODUCT}" "Version" "${VERSION}"
!macroend

Section "!$(SecCoreName)" SecCore
  SectionIn RO
  SetShellVarContext all   ; $APPDATA is ProgramData, shortcuts for all users
  !insertmacro CloseTray
  Call RemovePrevious

  ; On 64-bit Windows the 64-bit DLL and programs go to $INSTDIR and the
  ; 32-bit DLL to Program Files (x86); on 32-bit Windows all is 32-bit.
  SetOutPath "$INSTDIR"
  ${If} ${RunningX64}
    File "${BUILD64}\server\BrenvikPlus.dll"
    File "${BUILD64}\tray\KorvellOLE.exe"
!if /FileExists "${BUILD64}\${TESTUTIL_EXE}"
    File "${BUILD64}\${TESTUTIL_EXE}"
!endif
    SetOutPath "$Dir32"
    File "${BUILD32}\server\BrenvikPlus.dll"
  ${Else}
    File "${BUILD32}\server\BrenvikPlus.dll"
    File "${BUILD32}\tray\KorvellOLE.exe"
!if /FileExists "${BUILD32}\${TESTUTIL_EXE}"
    File "${BUILD32}\${TESTUTIL_EXE}"
!endif
  ${EndIf}

  SetOutPath "$INSTDIR\Samples"
  File "${SOURCE}\examples\clients\sale.vbs"
  File "${SOURCE}\examples\clients\sale.js"
  File "${SOURCE}\examples\clients\sample_client.cpp"
  File /r "${SOURCE}\examples\clients\csharp"
  File /r "${SOURCE}\examples\clients\pascal"
!if /FileExists "${MANUAL_DIR}\*.md"
  SetOutPath "$INSTDIR\Manual"
  File /r "${MANUAL_DIR}\*.*"
!endif

  ; The engine writes its log here: a cashier's account cannot write to
  ; Program Files. Users may modify (S-1-5-32-545 is the Users group,
  ; whatever the system's language calls it).
  CreateDirectory "$APPDATA\${PRODUCT}"
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$APPDATA\${PRODUCT}" /grant *S-1-5-32-545:(OI)(CI)M'
  Pop $0

  !insertmacro ForEachView WriteProductValues
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  WriteRegStr HKLM "${REG_PRODUCT}" "InstallDir" "$INSTDIR"
  WriteRegDWORD HKLM "${REG_PRODUCT}" "StartWithWindows" 0   ; SecStartup sets 1
  ${If} ${RunningX64}
    WriteRegStr HKLM "${REG_PRODUCT}" "InstallDir32" "$Dir32"
  ${EndIf}

  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${REG_UNINSTALL}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKLM "${REG_UNINSTALL}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${REG_UNINSTALL}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${REG_UNINSTALL}" "DisplayIcon" "$INSTDIR\KorvellOLE.exe"
  WriteRegStr HKLM "${REG_UNINSTALL}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${REG_UNINSTALL}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${REG_UNINSTALL}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${REG_UNINSTALL}" "NoModify" 1
  WriteRegDWORD HKLM "${REG_UNINSTALL}" "NoRepair" 1
  SetRegView default

  ; Registration last: a DLL is registered only once everything it needs is there.
  ${If} ${RunningX64}
    !insertmacro RegSvr 64 "" "$INSTDIR\BrenvikPlus.dll"
    ${If} $1 <> 0
      MessageBox MB_ICONSTOP "$(RegisterFailed)" /SD IDOK
      SetErrorLevel 3
    ${EndIf}
    !insertmacro RegSvr 32 "" "$Dir32\BrenvikPlus.dll"
  ${Else}
    !insertmacro RegSvr 32 "" "$INSTDIR\BrenvikPlus.dll"
  ${EndIf}
  ${If} $1 <> 0
    MessageBox MB_ICONSTOP "$(RegisterFailed)" /SD IDOK
    SetErrorLevel 3
  ${EndIf}

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  ${If} ${FileExists} "$INSTDIR\BrenvikTest.exe"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ShortcutTestUtil).lnk" "$INSTDIR\BrenvikTest.exe"
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\Manual\*.*"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ShortcutManual).lnk" "$INSTDIR\Manual"
  ${EndIf}
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ShortcutSamples).lnk" "$INSTDIR\Samples"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ShortcutLogs).lnk" "$APPDATA\${PRODUCT}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\KorvellOLE.lnk" "$INSTDIR\KorvellOLE.exe"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ShortcutUninstall).lnk" "$INSTDIR\Uninstall.exe"
SectionEnd

Section "$(SecStartupName)" SecStartup
  SetShellVarContext all
  CreateShortCut "$SMSTARTUP\KorvellOLE.lnk" "$INSTDIR\KorvellOLE.exe"
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  WriteRegDWORD HKLM "${REG_PRODUCT}" "StartWithWindows" 1
  SetRegView default
SectionEnd

Function .onInit
  SetShellVarContext all
  ${If} ${RunningX64}
    SetRegView 64
    StrCpy $Dir32 "$PROGRAMFILES32\${PRODUCT}"
  ${EndIf}
  ; An upgrade goes where the last version went, unless /D says otherwise.
  ReadRegStr $0 HKLM "${REG_PRODUCT}" "InstallDir"
  ${If} $0 != ""
  ${AndIf} $INSTDIR == "$PROGRAMFILES64\${PRODUCT}"
    StrCpy $INSTDIR $0
  ${EndIf}
  ReadRegStr $0 HKLM "${REG_PRODUCT}" "InstallDir32"
  ${If} $0 != ""
  ${AndIf} ${RunningX64}
    StrCpy $Dir32 $0
  ${EndIf}
  ; An upgrade keeps the Startup choice made before.
  ClearErrors
  ReadRegDWORD $0 HKLM "${REG_PRODUCT}" "StartWithWindows"
  ${IfNot} ${Errors}
  ${AndIf} $0 = 0
    SectionSetFlags ${SecStartup} 0
  ${EndIf}
  SetRegView default
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/NOSTARTUP" $R1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecStartup} 0
  ${EndIf}
FunctionEnd

; ---- uninstaller -----------------------------------------------------------

!macro DeleteProductKey
  DeleteRegKey HKLM "${REG_PRODUCT}"
!macroend

Section "un.${PRODUCT}" SecUninstall
  SectionIn RO
  SetShellVarContext all
  !insertmacro CloseTray

  ${If} ${RunningX64}
    !insertmacro RegSvr 64 "/u" "$INSTDIR\BrenvikPlus.dll"
    ${If} $Dir32 != ""
      !insertmacro RegSvr 32 "/u" "$Dir32\BrenvikPlus.dll"
      Delete "$Dir32\BrenvikPlus.dll"
      RMDir "$Dir32"
    ${EndIf}
  ${Else}
    !insertmacro RegSvr 32 "/u" "$INSTDIR\BrenvikPlus.dll"
  ${EndIf}

  Delete "$INSTDIR\BrenvikPlus.dll"
  Delete "$INSTDIR\KorvellOLE.exe"
  Delete "$INSTDIR\BrenvikTest.exe"
  RMDir /r "$INSTDIR\Samples"
  RMDir /r "$INSTDIR\Manual"
  Delete "$INSTDIR\Uninstall.exe"
  ; Not /r: whatever a user put there stays.
  RMDir "$INSTDIR"

  Delete "$SMSTARTUP\KorvellOLE.lnk"
  RMDir /r "$SMPROGRAMS\${PRODUCT}"

  !insertmacro ForEachView DeleteProductKey
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  DeleteRegKey HKLM "${REG_UNINSTALL}"
  SetRegView default
SectionEnd

; Logs are the cashier's evidence: kept unless asked for. Versions before
; the log directory wrote theirs beside the DLL.
!macro RemoveLogsBeside DIR
  Delete "${DIR}\Pelmora.log"
  Delete "${DIR}\??????????????.log"   ; archives, DDMMYYYYhhmmss.log
  RMDir "${DIR}"
!macroend

Section /o "un.$(SecLogsName)" SecRemoveLogs
  SetShellVarContext all
  RMDir /r "$APPDATA\${PRODUCT}"
  !insertmacro RemoveLogsBeside "$INSTDIR"
  ${If} $Dir32 != ""
    !insertmacro RemoveLogsBeside "$Dir32"
  ${EndIf}
SectionEnd

Function un.onInit
  SetShellVarContext all
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  ReadRegStr $Dir32 HKLM "${REG_PRODUCT}" "InstallDir32"
  SetRegView default
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVELOGS" $R1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecRemoveLogs} ${SF_SELECTED}
  ${EndIf}
FunctionEnd
