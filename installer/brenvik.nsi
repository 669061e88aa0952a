; BrenvikSetup: BrenvikPlus.dll of both bitnesses, KorvellOLE, the test
; utility, the samples and the manual, for 32-bit and 64-bit Windows; the
; SDK (brenvik.dll, brenvik.exe, the header, the import libraries and the
; samples of both bitnesses); and, when chosen, the HTTP service brenvikd.
;
; Built by CMake (target `installer`) with makensis and these defines:
;   VERSION      the product's version, e.g. 7.1.0
;   VERSION_QUAD the same in four numbers, e.g. 7.1.0.0
;   BUILD64      the mingw64 build tree
;   BUILD32      the mingw32 build tree
;   SOURCE       the source tree (samples, manual)
;   OUTFILE      the installer to write
;   PE64, PE32   where the programs and DLLs of each bitness come from when
;                not straight from the build trees (installer/sign.sh
;                stages signed copies there)
;   SIGN         installer/sign.sh, which signs the uninstaller and then the
;                installer itself once makensis has written them
;   URL, CONTACT the publisher's web site and support address, for the
;                uninstall entry
;
; Command line: /S silent; /NOSTARTUP leaves KorvellOLE out of the Startup
; folder (an upgrade keeps the choice made before); /SERVICE installs the
; HTTP service, /PORT=n on the printer at COMn (1 unless given),
; /ORIGIN=http://host:port lets web pages of that origin call it,
; /HTTPPORT=n listens on 127.0.0.1:n instead of 8123 (an upgrade
; keeps these choices made before, and the service's brenvikd.json unless
; they change); /D=dir chooses the directory of the 64-bit files (or of all
; files on 32-bit Windows). The uninstaller takes /S
; and /REMOVELOGS, which removes the logs and the service's ledger, token
; and configuration (%ProgramData%\Brenvik) too.
; Exit codes besides NSIS's own: 3 a DLL did not register, 4 the service
; was not registered or did not start, 5 /PORT, /HTTPPORT or /ORIGIN is
; not what it should be.

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh
!include WinMessages.nsh
!include nsDialogs.nsh
!include WordFunc.nsh

!define PRODUCT "Brenvik"
!define REG_PRODUCT "Software\Brenvik"
!define REG_UNINSTALL "Software\Microsoft\Windows\CurrentVersion\Uninstall\Brenvik"
!define TRAY_CLASS "KORVELLPRINTERSERVER"

; The pieces other parts of the build make; each is shipped once it exists.
!define TESTUTIL_EXE "testutil\BrenvikTest.exe"
!define MANUAL_DIR "${SOURCE}\docs\manual"
; The manual as HTML (docs/CMakeLists.txt), which Windows can show; the
; Markdown sources only when it was not built.
!ifndef MANUAL_HTML
!define MANUAL_HTML "${SOURCE}\docs\manual-html-not-built"
!endif
!define SERVICE_EXE "service\brenvikd.exe"
!define SERVICE_NAME "brenvikd"
!define SERVICE_HTTP_PORT 8123   ; brenvikd's own default
!define SDK_SAMPLES "${SOURCE}\examples\windows"
; The service is offered once both bitnesses of it are built.
!if /FileExists "${BUILD64}\${SERVICE_EXE}"
!if /FileExists "${BUILD32}\${SERVICE_EXE}"
!define HAVE_SERVICE
!endif
!endif

!ifndef PE64
!define PE64 "${BUILD64}"
!endif
!ifndef PE32
!define PE32 "${BUILD32}"
!endif
!ifdef SIGN
!uninstfinalize 'sh "${SIGN}" "%1"' = 0
!finalize 'sh "${SIGN}" "%1"' = 0
!endif
!ifndef URL
!define URL "https://brenvik.example/"
!endif
!ifndef CONTACT
!define CONTACT "brenvik@example.org"
!endif

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
Var DirNote    ; the directory page's text: where each bitness goes
Var Installed  ; the version already installed, or ""
Var InstalledDir
!ifdef HAVE_SERVICE
Var ServicePort ; n of COMn, the printer the service prints on
Var PortField
Var ServiceOrigin ; a web origin allowed to call the service, or ""
Var HttpPort      ; the loopback port it listens on
Var PrevPort      ; what the last install gave the service
Var PrevOrigin
Var PrevHttpPort
!endif

!define MUI_ICON "${SOURCE}\tray\korvell.ico"
!define MUI_UNICON "${SOURCE}\tray\korvell.ico"
!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "$(WelcomeText)"
!insertmacro MUI_PAGE_WELCOME
Page custom InstalledPage
!insertmacro MUI_PAGE_LICENSE "$(TermsFile)"
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!define MUI_DIRECTORYPAGE_TEXT_TOP "$DirNote"
!insertmacro MUI_PAGE_DIRECTORY
!ifdef HAVE_SERVICE
Page custom PortPage PortPageLeave
!endif
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

; The first is the language of a system that speaks none of these.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"
!include "${SOURCE}\installer\ukrainian.nsh"
!insertmacro MUI_LANGUAGE "Ukrainian"
!insertmacro UkrainianSystemStrings

LicenseLangString TermsFile ${LANG_ENGLISH} "${SOURCE}\installer\terms\terms-en.txt"
LicenseLangString TermsFile ${LANG_RUSSIAN} "${SOURCE}\installer\terms\terms-ru.txt"
LicenseLangString TermsFile ${LANG_UKRAINIAN} "${SOURCE}\installer\terms\terms-uk.txt"
LangString WelcomeText ${LANG_ENGLISH} "Setup will install ${PRODUCT} version ${VERSION} on this computer: the BrenvikPlus driver for 32-bit and 64-bit programs, the KorvellOLE tray program, the printer test, the samples, the manual and the SDK.$\r$\n$\r$\nClose the programs that use the fiscal printer before you continue.$\r$\n$\r$\n$_CLICK"
LangString WelcomeText ${LANG_RUSSIAN} "Программа установит ${PRODUCT} версии ${VERSION} на этот компьютер: драйвер BrenvikPlus для 32- и 64-разрядных программ, программу KorvellOLE в области уведомлений, проверку принтера, примеры, руководство и SDK.$\r$\n$\r$\nПрежде чем продолжить, закройте программы, работающие с фискальным принтером.$\r$\n$\r$\n$_CLICK"
LangString WelcomeText ${LANG_UKRAINIAN} "Програма встановить ${PRODUCT} версії ${VERSION} на цей комп'ютер: драйвер BrenvikPlus для 32- і 64-розрядних програм, програму KorvellOLE в області сповіщень, перевірку принтера, приклади, посібник і SDK.$\r$\n$\r$\nПерш ніж продовжити, закрийте програми, що працюють з фіскальним принтером.$\r$\n$\r$\n$_CLICK"
LangString InstalledTitle ${LANG_ENGLISH} "Already installed"
LangString InstalledTitle ${LANG_RUSSIAN} "Уже установлено"
LangString InstalledTitle ${LANG_UKRAINIAN} "Вже встановлено"
LangString InstalledSubtitle ${LANG_ENGLISH} "${PRODUCT} is on this computer."
LangString InstalledSubtitle ${LANG_RUSSIAN} "${PRODUCT} уже есть на этом компьютере."
LangString InstalledSubtitle ${LANG_UKRAINIAN} "${PRODUCT} вже є на цьому комп'ютері."
LangString InstalledSame ${LANG_ENGLISH} "${PRODUCT} ${VERSION} is already installed in $InstalledDir.$\r$\n$\r$\nSetup will install it again: its files are replaced, its settings and logs are kept."
LangString InstalledSame ${LANG_RUSSIAN} "${PRODUCT} ${VERSION} уже установлен в папке $InstalledDir.$\r$\n$\r$\nПрограмма установит его заново: файлы будут заменены, настройки и журналы сохранятся."
LangString InstalledSame ${LANG_UKRAINIAN} "${PRODUCT} ${VERSION} вже встановлено в теці $InstalledDir.$\r$\n$\r$\nПрограма встановить його повторно: файли буде замінено, налаштування і журнали збережуться."
LangString InstalledOlder ${LANG_ENGLISH} "${PRODUCT} $Installed is installed in $InstalledDir.$\r$\n$\r$\nSetup will upgrade it from $Installed to ${VERSION}; its settings and logs are kept."
LangString InstalledOlder ${LANG_RUSSIAN} "В папке $InstalledDir установлен ${PRODUCT} $Installed.$\r$\n$\r$\nПрограмма обновит его с версии $Installed до ${VERSION}; настройки и журналы сохранятся."
LangString InstalledOlder ${LANG_UKRAINIAN} "У теці $InstalledDir встановлено ${PRODUCT} $Installed.$\r$\n$\r$\nПрограма оновить його з версії $Installed до ${VERSION}; налаштування і журнали збережуться."
LangString InstalledNewer ${LANG_ENGLISH} "A newer version, ${PRODUCT} $Installed, is installed in $InstalledDir.$\r$\n$\r$\nSetup will replace it with the older ${VERSION}; its settings and logs are kept."
LangString InstalledNewer ${LANG_RUSSIAN} "В папке $InstalledDir установлена более новая версия ${PRODUCT} $Installed.$\r$\n$\r$\nПрограмма заменит её более старой версией ${VERSION}; настройки и журналы сохранятся."
LangString InstalledNewer ${LANG_UKRAINIAN} "У теці $InstalledDir встановлено новішу версію ${PRODUCT} $Installed.$\r$\n$\r$\nПрограма замінить її старішою версією ${VERSION}; налаштування і журнали збережуться."
LangString DirNote64 ${LANG_ENGLISH} "Setup will install the 64-bit driver, the programs, the samples, the manual and the SDK in the folder below. The 32-bit driver always goes to $Dir32, where 32-bit programs look for it. $_CLICK"
LangString DirNote64 ${LANG_RUSSIAN} "Программа установит 64-разрядный драйвер, программы, примеры, руководство и SDK в указанную ниже папку. 32-разрядный драйвер всегда устанавливается в $Dir32, где его ищут 32-разрядные программы. $_CLICK"
LangString DirNote64 ${LANG_UKRAINIAN} "Програма встановить 64-розрядний драйвер, програми, приклади, посібник і SDK до вказаної нижче теки. 32-розрядний драйвер завжди встановлюється до $Dir32, де його шукають 32-розрядні програми. $_CLICK"
LangString DirNote32 ${LANG_ENGLISH} "Setup will install the driver, the programs, the samples, the manual and the SDK in the folder below. $_CLICK"
LangString DirNote32 ${LANG_RUSSIAN} "Программа установит драйвер, программы, примеры, руководство и SDK в указанную ниже папку. $_CLICK"
LangString DirNote32 ${LANG_UKRAINIAN} "Програма встановить драйвер, програми, приклади, посібник і SDK до вказаної нижче теки. $_CLICK"

LangString SecCoreName ${LANG_ENGLISH} "Brenvik (driver, tray program, SDK, samples, manual)"
LangString SecCoreName ${LANG_UKRAINIAN} "Brenvik: драйвер, SDK, приклади, посібник"
LangString SecCoreName ${LANG_RUSSIAN} "Brenvik: драйвер, SDK, примеры, руководство"
LangString SecStartupName ${LANG_ENGLISH} "Start KorvellOLE with Windows"
LangString SecStartupName ${LANG_UKRAINIAN} "Запускати KorvellOLE разом з Windows"
LangString SecStartupName ${LANG_RUSSIAN} "Запускать KorvellOLE вместе с Windows"
LangString SecLogsName ${LANG_ENGLISH} "Remove the logs too"
LangString SecLogsName ${LANG_UKRAINIAN} "Видалити також журнали"
LangString SecLogsName ${LANG_RUSSIAN} "Удалить также журналы"
LangString RegisterFailed ${LANG_ENGLISH} "Registering $0 failed (regsvr32 exit code $1)."
LangString RegisterFailed ${LANG_UKRAINIAN} "Не вдалося зареєструвати $0 (код виходу regsvr32: $1)."
LangString RegisterFailed ${LANG_RUSSIAN} "Не удалось зарегистрировать $0 (код выхода regsvr32: $1)."
LangString ShortcutTestUtil ${LANG_ENGLISH} "Brenvik printer test"
LangString ShortcutTestUtil ${LANG_UKRAINIAN} "Перевірка принтера Brenvik"
LangString ShortcutTestUtil ${LANG_RUSSIAN} "Проверка принтера Brenvik"
LangString ShortcutManual ${LANG_ENGLISH} "Brenvik manual"
LangString ShortcutManual ${LANG_UKRAINIAN} "Посібник Brenvik"
LangString ShortcutManual ${LANG_RUSSIAN} "Руководство Brenvik"
LangString ShortcutSamples ${LANG_ENGLISH} "Brenvik samples"
LangString ShortcutSamples ${LANG_UKRAINIAN} "Приклади Brenvik"
LangString ShortcutSamples ${LANG_RUSSIAN} "Примеры Brenvik"
LangString ShortcutLogs ${LANG_ENGLISH} "Brenvik logs"
LangString ShortcutLogs ${LANG_UKRAINIAN} "Журнали Brenvik"
LangString ShortcutLogs ${LANG_RUSSIAN} "Журналы Brenvik"
LangString ShortcutUninstall ${LANG_ENGLISH} "Uninstall Brenvik"
LangString ShortcutUninstall ${LANG_UKRAINIAN} "Видалити Brenvik"
LangString ShortcutUninstall ${LANG_RUSSIAN} "Удалить Brenvik"
LangString ShortcutSdk ${LANG_ENGLISH} "Brenvik SDK"
LangString ShortcutSdk ${LANG_UKRAINIAN} "Brenvik SDK для програмістів"
LangString ShortcutSdk ${LANG_RUSSIAN} "Brenvik SDK для программистов"
LangString SecServiceName ${LANG_ENGLISH} "HTTP service for web point-of-sale"
LangString SecServiceName ${LANG_UKRAINIAN} "HTTP-служба для веб-каси"
LangString SecServiceName ${LANG_RUSSIAN} "HTTP-служба для веб-кассы"
LangString ShortcutService ${LANG_ENGLISH} "Brenvik service status"
LangString ShortcutService ${LANG_UKRAINIAN} "Стан служби Brenvik"
LangString ShortcutService ${LANG_RUSSIAN} "Состояние службы Brenvik"
LangString PortTitle ${LANG_ENGLISH} "Printer port"
LangString PortTitle ${LANG_UKRAINIAN} "Порт принтера"
LangString PortTitle ${LANG_RUSSIAN} "Порт принтера"
LangString PortSubtitle ${LANG_ENGLISH} "The HTTP service prints on the fiscal printer connected to this port."
LangString PortSubtitle ${LANG_UKRAINIAN} "HTTP-служба друкуватиме на фіскальному принтері, підключеному до цього порту."
LangString PortSubtitle ${LANG_RUSSIAN} "HTTP-служба будет печатать на фискальном принтере, подключённом к этому порту."
LangString PortLabel ${LANG_ENGLISH} "COM port number of the printer (1 for COM1):"
LangString PortLabel ${LANG_UKRAINIAN} "Номер COM-порту принтера (1 для COM1):"
LangString PortLabel ${LANG_RUSSIAN} "Номер COM-порта принтера (1 для COM1):"
LangString PortInvalid ${LANG_ENGLISH} "Enter a port number from 1 to 255."
LangString PortInvalid ${LANG_UKRAINIAN} "Введіть номер порту від 1 до 255."
LangString PortInvalid ${LANG_RUSSIAN} "Введите номер порта от 1 до 255."
LangString PortOptionInvalid ${LANG_ENGLISH} "/PORT= wants a port number from 1 to 255, not $\"$0$\"."
LangString PortOptionInvalid ${LANG_UKRAINIAN} "Після /PORT= має бути номер порту від 1 до 255, а не $\"$0$\"."
LangString PortOptionInvalid ${LANG_RUSSIAN} "После /PORT= должен быть номер порта от 1 до 255, а не $\"$0$\"."
LangString HttpPortOptionInvalid ${LANG_ENGLISH} "/HTTPPORT= wants a port number from 1 to 65535, not $\"$0$\"."
LangString HttpPortOptionInvalid ${LANG_UKRAINIAN} "Після /HTTPPORT= має бути номер порту від 1 до 65535, а не $\"$0$\"."
LangString HttpPortOptionInvalid ${LANG_RUSSIAN} "После /HTTPPORT= должен быть номер порта от 1 до 65535, а не $\"$0$\"."
LangString OriginOptionInvalid ${LANG_ENGLISH} "/ORIGIN= wants a web origin such as http://localhost:8080, not $\"$0$\"."
LangString OriginOptionInvalid ${LANG_UKRAINIAN} "Після /ORIGIN= має бути адреса сайту, наприклад http://localhost:8080, а не $\"$0$\"."
LangString OriginOptionInvalid ${LANG_RUSSIAN} "После /ORIGIN= должен быть адрес сайта, например http://localhost:8080, а не $\"$0$\"."
LangString ServiceInstallFailed ${LANG_ENGLISH} "Registering the brenvikd service failed (exit code $0)."
LangString ServiceInstallFailed ${LANG_UKRAINIAN} "Не вдалося зареєструвати службу brenvikd (код виходу $0)."
LangString ServiceInstallFailed ${LANG_RUSSIAN} "Не удалось зарегистрировать службу brenvikd (код выхода $0)."
LangString ServiceStartFailed ${LANG_ENGLISH} "The brenvikd service is registered but did not start (net start exit code $0). See the Windows Event Log and %ProgramData%\Brenvik\brenvikd.json."
LangString ServiceStartFailed ${LANG_UKRAINIAN} "Службу brenvikd зареєстровано, але вона не запустилася (код виходу net start $0). Дивіться журнал подій Windows і %ProgramData%\Brenvik\brenvikd.json."
LangString ServiceStartFailed ${LANG_RUSSIAN} "Служба brenvikd зарегистрирована, но не запустилась (код выхода net start $0). Смотрите журнал событий Windows и %ProgramData%\Brenvik\brenvikd.json."

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

; For programs of either bitness, whatever this Windows is: a 32-bit
; program is built and run on 64-bit Windows too.
!macro SdkBitness BUILD PE DIR
!if /FileExists "${BUILD}\capi\brenvik.dll"
  SetOutPath "$INSTDIR\SDK\${DIR}"
  File "${PE}\capi\brenvik.dll"
  File "${BUILD}\capi\libbrenvik.dll.a"
  File "${BUILD}\capi\brenvik.def"
!endif
!if /FileExists "${BUILD}\cli\brenvik.exe"
  SetOutPath "$INSTDIR\SDK\${DIR}"
  File "${PE}\cli\brenvik.exe"
!endif
!macroend

Function InstallSdk
  !insertmacro SdkBitness "${BUILD64}" "${PE64}" x64
  !insertmacro SdkBitness "${BUILD32}" "${PE32}" x86
  SetOutPath "$INSTDIR\SDK\include\brenvik"
  File "${SOURCE}\include\brenvik\brenvik.h"
  File "${BUILD64}\generated\version\brenvik_version.h"
  SetOutPath "$INSTDIR\SDK\samples"
!if /FileExists "${SDK_SAMPLES}\*.c"
  File "${SDK_SAMPLES}\*.*"
!endif
  SetOutPath "$INSTDIR\SDK\samples\web"
  File "${SDK_SAMPLES}\web\index.html"
  ; BrenvikPlus for early binding: the IDL, its type library (the 32-bit
  ; one, which VB6 and 32-bit Delphi import too), a C/C++ header that
  ; defines the GUIDs itself, and the Delphi unit; one set for both bitnesses.
  SetOutPath "$INSTDIR\SDK"
  File "${BUILD32}\server\sdk\brenvik.idl"
  File "${BUILD32}\server\sdk\brenvik.tlb"
  File "${BUILD32}\server\sdk\brenvik_com.h"
  File "${BUILD32}\server\sdk\Brenvik_TLB.pas"
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
    File "${PE64}\server\BrenvikPlus.dll"
    File "${PE64}\tray\KorvellOLE.exe"
!if /FileExists "${BUILD64}\${TESTUTIL_EXE}"
    File "${PE64}\${TESTUTIL_EXE}"
!endif
    SetOutPath "$Dir32"
    File "${PE32}\server\BrenvikPlus.dll"
  ${Else}
    File "${PE32}\server\BrenvikPlus.dll"
    File "${PE32}\tray\KorvellOLE.exe"
!if /FileExists "${BUILD32}\${TESTUTIL_EXE}"
    File "${PE32}\${TESTUTIL_EXE}"
!endif
  ${EndIf}

  SetOutPath "$INSTDIR\Samples"
  File "${SOURCE}\examples\clients\sale.vbs"
  File "${SOURCE}\examples\clients\sale.js"
  File "${SOURCE}\examples\clients\sample_client.cpp"
  File /r "${SOURCE}\examples\clients\csharp"
  File /r "${SOURCE}\examples\clients\pascal"
!if /FileExists "${MANUAL_HTML}\index.html"
  RMDir /r "$INSTDIR\Manual"  ; an older version's Markdown pages
  SetOutPath "$INSTDIR\Manual"
  File "${MANUAL_HTML}\*.html"
!else if /FileExists "${MANUAL_DIR}\*.md"
  SetOutPath "$INSTDIR\Manual"
  File /r "${MANUAL_DIR}\*.*"
!endif
  Call InstallSdk

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
  WriteRegStr HKLM "${REG_UNINSTALL}" "URLInfoAbout" "${URL}"
  WriteRegStr HKLM "${REG_UNINSTALL}" "HelpLink" "${URL}"
  WriteRegStr HKLM "${REG_UNINSTALL}" "Contact" "${CONTACT}"
  ; The uninstaller speaks the language this install was made in.
  WriteRegStr HKLM "${REG_PRODUCT}" "InstallerLanguage" $LANGUAGE
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

  ; A shortcut starts in the folder SetOutPath last named: each in its own.
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  SetOutPath "$INSTDIR"
  ${If} ${FileExists} "$INSTDIR\BrenvikTest.exe"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ShortcutTestUtil).lnk" "$INSTDIR\BrenvikTest.exe"
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\Manual\index.html"
    SetOutPath "$INSTDIR\Manual"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ShortcutManual).lnk" "$INSTDIR\Manual\index.html"
  ${ElseIf} ${FileExists} "$INSTDIR\Manual\*.*"
    SetOutPath "$INSTDIR\Manual"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ShortcutManual).lnk" "$INSTDIR\Manual"
  ${EndIf}
  SetOutPath "$INSTDIR\Samples"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ShortcutSamples).lnk" "$INSTDIR\Samples"
  SetOutPath "$INSTDIR\SDK"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ShortcutSdk).lnk" "$INSTDIR\SDK"
  SetOutPath "$APPDATA\${PRODUCT}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ShortcutLogs).lnk" "$APPDATA\${PRODUCT}"
  SetOutPath "$INSTDIR"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\KorvellOLE.lnk" "$INSTDIR\KorvellOLE.exe"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(ShortcutUninstall).lnk" "$INSTDIR\Uninstall.exe"
SectionEnd

!ifdef HAVE_SERVICE
; brenvikd registers itself: the configuration with the port, the token only
; Administrators and the service may read, the service with its recovery and
; its Event Log source. It listens on the loopback only: no firewall rule.
Section /o "$(SecServiceName)" SecService
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  ${If} ${RunningX64}
    File "${PE64}\${SERVICE_EXE}"
  ${Else}
    File "${PE32}\${SERVICE_EXE}"
  ${EndIf}
  ; An upgrade keeps brenvikd.json with what was added to it by hand, unless
  ; the port or the origin chosen now differ from the last install's.
  ${If} ${FileExists} "$APPDATA\${PRODUCT}\brenvikd.json"
  ${AndIf} $ServicePort == $PrevPort
  ${AndIf} $ServiceOrigin == $PrevOrigin
  ${AndIf} $HttpPort == $PrevHttpPort
    StrCpy $1 ""
  ${Else}
    StrCpy $1 " --printer main=COM$ServicePort"
    ${If} $ServiceOrigin != ""
      StrCpy $1 '$1 --cors-origin "$ServiceOrigin"'
    ${EndIf}
    ${If} $HttpPort != ${SERVICE_HTTP_PORT}
      StrCpy $1 "$1 --listen 127.0.0.1:$HttpPort"
    ${EndIf}
  ${EndIf}
  nsExec::ExecToLog '"$INSTDIR\brenvikd.exe" --install-service$1'
  Pop $0                ; the exit code, or "error" when it did not run
  ${If} $0 S!= "0"
    MessageBox MB_ICONSTOP "$(ServiceInstallFailed)" /SD IDOK
    SetErrorLevel 4
    Return
  ${EndIf}
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  WriteRegDWORD HKLM "${REG_PRODUCT}" "Service" 1
  WriteRegDWORD HKLM "${REG_PRODUCT}" "ServicePort" $ServicePort
  WriteRegStr HKLM "${REG_PRODUCT}" "ServiceOrigin" $ServiceOrigin
  WriteRegDWORD HKLM "${REG_PRODUCT}" "ServiceHttpPort" $HttpPort
  SetRegView default
  WriteINIStr "$SMPROGRAMS\${PRODUCT}\$(ShortcutService).url" "InternetShortcut" "URL" \
    "http://127.0.0.1:$HttpPort/"
  ; net waits until the service runs (or gives up), unlike sc.
  nsExec::ExecToLog '"$SYSDIR\net.exe" start ${SERVICE_NAME}'
  Pop $0
  ${If} $0 S!= "0"
    MessageBox MB_ICONEXCLAMATION "$(ServiceStartFailed)" /SD IDOK
    SetErrorLevel 4
  ${EndIf}
SectionEnd

Function PortPage
  ${IfNot} ${SectionIsSelected} ${SecService}
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "$(PortTitle)" "$(PortSubtitle)"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 12u "$(PortLabel)"
  Pop $0
  ${NSD_CreateLabel} 0 17u 18u 12u "COM"
  Pop $0
  ${NSD_CreateNumber} 20u 15u 30u 12u "$ServicePort"
  Pop $PortField
  ${NSD_SetTextLimit} $PortField 3
  nsDialogs::Show
FunctionEnd

Function PortPageLeave
  ${NSD_GetText} $PortField $0
  StrCpy $7 255
  Call ValidNumber
  Pop $1
  ${If} $1 == ""
    MessageBox MB_ICONEXCLAMATION "$(PortInvalid)"
    Abort
  ${EndIf}
  StrCpy $ServicePort $1
FunctionEnd

; /ORIGIN='s value in $R0 (the command line) to $0, "" when not given.
; GetOptions would end it at the "/" of "http://"; an origin has no blank.
Function OriginOption
  StrCpy $0 ""
  StrLen $3 $R0
  StrCpy $4 0
  ${DoWhile} $4 < $3
    StrCpy $5 $R0 8 $4
    ${If} $5 == "/ORIGIN="
      IntOp $4 $4 + 8
      StrCpy $5 $R0 1 $4
      ${If} $5 == '"'
        IntOp $4 $4 + 1
      ${EndIf}
      StrCpy $6 $4
      ${DoWhile} $6 < $3
        StrCpy $5 $R0 1 $6
        ${If} $5 == " "
        ${OrIf} $5 == '"'
          ${Break}
        ${EndIf}
        IntOp $6 $6 + 1
      ${Loop}
      IntOp $6 $6 - $4
      StrCpy $0 $R0 $6 $4
      Return
    ${EndIf}
    IntOp $4 $4 + 1
  ${Loop}
FunctionEnd

; $0 as a number from 1 to $7 on the stack, or "". Digit by digit: IntOp
; would read "010" as octal.
Function ValidNumber
  StrLen $3 $0
  StrCpy $2 0
  StrCpy $4 0
  ${If} $3 < 1
  ${OrIf} $3 > 5
    Push ""
    Return
  ${EndIf}
  ${DoWhile} $4 < $3
    StrCpy $5 $0 1 $4
    IntOp $6 $5 + 0
    ${If} $6 = 0
    ${AndIf} $5 != "0"
      Push ""
      Return
    ${EndIf}
    IntOp $2 $2 * 10
    IntOp $2 $2 + $6
    IntOp $4 $4 + 1
  ${Loop}
  ${If} $2 < 1
  ${OrIf} $2 > $7
    Push ""
    Return
  ${EndIf}
  Push $2
FunctionEnd
!endif

Section "$(SecStartupName)" SecStartup
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  CreateShortCut "$SMSTARTUP\KorvellOLE.lnk" "$INSTDIR\KorvellOLE.exe"
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  WriteRegDWORD HKLM "${REG_PRODUCT}" "StartWithWindows" 1
  SetRegView default
SectionEnd

; Programs and Features shows the size: all that was installed, both folders.
Section "-EstimatedSize"
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  ${If} ${RunningX64}
  ${AndIf} ${FileExists} "$Dir32\*.*"
    ${GetSize} "$Dir32" "/S=0K" $1 $2 $3
    IntOp $0 $0 + $1
  ${EndIf}
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  WriteRegDWORD HKLM "${REG_UNINSTALL}" "EstimatedSize" $0
  SetRegView default
SectionEnd

Function .onInit
  SetShellVarContext all
  ; NSIS has taken the language of the user's interface when it is one of
  ; ours; only a system in another language asks, English preselected.
  System::Call 'kernel32::GetUserDefaultUILanguage() i .r0'
  IntOp $0 $0 & 0x3FF
  ${If} $0 <> 0x09
  ${AndIf} $0 <> 0x19
  ${AndIf} $0 <> 0x22
    !insertmacro MUI_LANGDLL_DISPLAY
  ${EndIf}
  ${If} ${RunningX64}
    SetRegView 64
    StrCpy $Dir32 "$PROGRAMFILES32\${PRODUCT}"
  ${EndIf}
  ReadRegStr $Installed HKLM "${REG_UNINSTALL}" "DisplayVersion"
  ReadRegStr $InstalledDir HKLM "${REG_UNINSTALL}" "InstallLocation"
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
  ${If} ${RunningX64}
    StrCpy $DirNote "$(DirNote64)"
  ${Else}
    StrCpy $DirNote "$(DirNote32)"
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
!ifdef HAVE_SERVICE
  Call ServiceOptions
!endif
FunctionEnd

; A reinstall, an upgrade or a downgrade says so before anything changes;
; a first install does not show this page.
Function InstalledPage
  ${If} $Installed == ""
    Abort
  ${EndIf}
  ${If} $InstalledDir == ""
    StrCpy $InstalledDir $INSTDIR
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "$(InstalledTitle)" "$(InstalledSubtitle)"
  nsDialogs::Create 1018
  Pop $0
  ${VersionCompare} $Installed ${VERSION} $1
  ${If} $1 = 0
    StrCpy $2 "$(InstalledSame)"
  ${ElseIf} $1 = 2
    StrCpy $2 "$(InstalledOlder)"
  ${Else}
    StrCpy $2 "$(InstalledNewer)"
  ${EndIf}
  ${NSD_CreateLabel} 0 0 100% 100% $2
  Pop $0
  nsDialogs::Show
FunctionEnd

!ifdef HAVE_SERVICE
; The service and its port: as the last version had them, unless the command
; line says otherwise.
Function ServiceOptions
  StrCpy $ServicePort 1
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  ReadRegDWORD $0 HKLM "${REG_PRODUCT}" "Service"
  ${If} $0 = 1
    SectionSetFlags ${SecService} ${SF_SELECTED}
  ${EndIf}
  ReadRegDWORD $PrevPort HKLM "${REG_PRODUCT}" "ServicePort"
  ${If} $PrevPort > 0
    StrCpy $ServicePort $PrevPort
  ${EndIf}
  ReadRegStr $PrevOrigin HKLM "${REG_PRODUCT}" "ServiceOrigin"
  StrCpy $ServiceOrigin $PrevOrigin
  StrCpy $HttpPort ${SERVICE_HTTP_PORT}
  ReadRegDWORD $PrevHttpPort HKLM "${REG_PRODUCT}" "ServiceHttpPort"
  ${If} $PrevHttpPort > 0
    StrCpy $HttpPort $PrevHttpPort
  ${EndIf}
  SetRegView default
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/SERVICE" $R1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecService} ${SF_SELECTED}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/PORT=" $0
  ${IfNot} ${Errors}
    StrCpy $7 255
    Call ValidNumber
    Pop $1
    ${If} $1 == ""
      MessageBox MB_ICONSTOP "$(PortOptionInvalid)" /SD IDOK
      SetErrorLevel 5
      Quit
    ${EndIf}
    StrCpy $ServicePort $1
  ${EndIf}
  Call OriginOption
  ${If} $0 != ""
    StrCpy $1 $0 7
    StrCpy $2 $0 8
    ${If} $1 != "http://"
    ${AndIf} $2 != "https://"
      MessageBox MB_ICONSTOP "$(OriginOptionInvalid)" /SD IDOK
      SetErrorLevel 5
      Quit
    ${EndIf}
    StrCpy $ServiceOrigin $0
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/HTTPPORT=" $0
  ${IfNot} ${Errors}
    StrCpy $7 65535
    Call ValidNumber
    Pop $1
    ${If} $1 == ""
      MessageBox MB_ICONSTOP "$(HttpPortOptionInvalid)" /SD IDOK
      SetErrorLevel 5
      Quit
    ${EndIf}
    StrCpy $HttpPort $1
  ${EndIf}
FunctionEnd
!endif

; ---- uninstaller -----------------------------------------------------------

!macro DeleteProductKey
  DeleteRegKey HKLM "${REG_PRODUCT}"
!macroend

; The service stopped and unregistered (with its Event Log source) before
; its program goes. Its ledger, token and configuration stay with the logs.
!macro RemoveService
  ${If} ${FileExists} "$INSTDIR\brenvikd.exe"
    nsExec::ExecToLog '"$INSTDIR\brenvikd.exe" --uninstall-service'
    Pop $0
    ; Windows keeps a program's file while its process ends.
    StrCpy $1 0
    ${Do}
      Delete "$INSTDIR\brenvikd.exe"
      ${IfNot} ${FileExists} "$INSTDIR\brenvikd.exe"
      ${OrIf} $1 >= 50
        ${Break}
      ${EndIf}
      Sleep 200
      IntOp $1 $1 + 1
    ${Loop}
  ${EndIf}
!macroend

Section "un.${PRODUCT}" SecUninstall
  SectionIn RO
  SetShellVarContext all
  !insertmacro CloseTray
  !insertmacro RemoveService

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
  RMDir /r "$INSTDIR\SDK"
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

; Logs are the cashier's evidence, and the service's ledger is the record of
; what was printed: kept unless asked for. Versions before the log
; directory wrote theirs beside the DLL.
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
  ReadRegStr $0 HKLM "${REG_PRODUCT}" "InstallerLanguage"
  ${If} $0 != ""
    StrCpy $LANGUAGE $0
  ${EndIf}
  SetRegView default
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVELOGS" $R1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecRemoveLogs} ${SF_SELECTED}
  ${EndIf}
FunctionEnd
