; The installer of Varo Launcher (VaroLauncherSetup.exe), built by
; scripts/build-windows with Debian's nsis:
;
;   makensis -INPUTCHARSET UTF8 -DTARGET=x86-unicode -DSTAGE=<folder> -DOUTFILE=<file>
;            -DVERSION=1.0.0.0 -DICON=<file.ico> -DWINDOW_CLASS=<Qt window class> installer/VaroLauncher.nsi
;
; TARGET is x86-unicode for what players get and amd64-unicode for the tests,
; which run it under wine64. STAGE holds varo-launcher.exe and licenses/.
;
; It installs for the current user only, without elevation, into a folder the
; user can write (the launcher keeps its game folder and files next to
; itself): by default %LOCALAPPDATA%\Programs\Varo Launcher; folders under
; Program Files or Windows are refused. It makes Start-menu and desktop
; shortcuts and an uninstaller.
;
; The same file is the update installer: the launcher's self-update saves it
; as update_installer.exe in the launcher's folder and starts it with no
; arguments while the old launcher still runs. Started under that name from a
; folder that holds the launcher, it updates that folder without asking:
; closes the running launcher (or waits for it), replaces the executable,
; keeps gtasa\, user.ini and the caches, and starts the new launcher.

Unicode true
Target ${TARGET}
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "WinMessages.nsh"

!define APPNAME "Varo Launcher"
!define EXE "varo-launcher.exe"
!define MUTEX "Mutex: Varo Launcher"
!define UPDATER "update_installer.exe"
!define REGKEY "Software\VaroOnline\Varo Launcher"
!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VaroLauncher"

Name "${APPNAME}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${APPNAME}"
InstallDirRegKey HKCU "${REGKEY}" "InstallDir"
ShowInstDetails nevershow
ShowUninstDetails nevershow

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

Var UpdateMode

!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipWhenUpdating
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipWhenUpdating
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductName" "${APPNAME}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "CompanyName" "Varo Online"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileDescription" "Установка ${APPNAME}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductVersion" "${VERSION}"

; ------------------------------------------------------------ the launcher

; $0 = 1 while a launcher runs: its named mutex exists exactly as long.
!macro LauncherRunning un
Function ${un}LauncherRunning
  System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${MUTEX}") p .r0'
  ${If} $0 P<> 0
    System::Call 'kernel32::CloseHandle(p r0)'
    StrCpy $0 1
  ${Else}
    StrCpy $0 0
  ${EndIf}
FunctionEnd
!macroend
!insertmacro LauncherRunning ""
!insertmacro LauncherRunning "un."

; Closes a running launcher as its close button would, waits for it to end,
; and ends it when it does not within 15 seconds. Aborts when it cannot.
!macro CloseRunningLauncher un
Function ${un}CloseRunningLauncher
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  retry:
  Call ${un}LauncherRunning
  ${If} $0 = 0
    Goto done
  ${EndIf}
  DetailPrint "Закрытие запущенного лаунчера..."
  FindWindow $1 "${WINDOW_CLASS}" "${APPNAME}"
  ${If} $1 P<> 0
    SendMessage $1 ${WM_CLOSE} 0 0 /TIMEOUT=5000
  ${EndIf}
  StrCpy $2 0
  ${Do}
    Sleep 250
    Call ${un}LauncherRunning
    ${If} $0 = 0
      Goto done
    ${EndIf}
    IntOp $2 $2 + 1
  ${LoopWhile} $2 < 60
  ${If} $1 P<> 0
    ; PROCESS_TERMINATE | SYNCHRONIZE
    System::Call 'user32::GetWindowThreadProcessId(p r1, *i .r3)'
    System::Call 'kernel32::OpenProcess(i 0x00100001, i 0, i r3) p .r4'
    ${If} $4 P<> 0
      System::Call 'kernel32::TerminateProcess(p r4, i 1)'
      System::Call 'kernel32::WaitForSingleObject(p r4, i 10000)'
      System::Call 'kernel32::CloseHandle(p r4)'
    ${EndIf}
    Call ${un}LauncherRunning
    ${If} $0 = 0
      Goto done
    ${EndIf}
  ${EndIf}
  MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Закройте ${APPNAME} и нажмите «Повтор»." /SD IDCANCEL IDRETRY retry
  Abort "${APPNAME} не закрыт."
  done:
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro CloseRunningLauncher ""
!insertmacro CloseRunningLauncher "un."

; ------------------------------------------------------------ installing

Function .onInit
  StrCpy $UpdateMode 0
  ; The self-update: this file is update_installer.exe next to the launcher.
  ${GetExeName} $0
  ${GetFileName} $0 $1
  ${If} $1 == "${UPDATER}"
  ${AndIf} ${FileExists} "$EXEDIR\${EXE}"
    StrCpy $UpdateMode 1
    StrCpy $INSTDIR "$EXEDIR"
    SetSilent silent
  ${EndIf}
FunctionEnd

Function SkipWhenUpdating
  ${If} $UpdateMode = 1
    Abort
  ${EndIf}
FunctionEnd

; The launcher writes its own folder; Program Files and Windows are not
; writable without elevation.
Function .onVerifyInstDir
  ${GetParent} "$INSTDIR\x" $0
  StrCpy $0 "$0\"
  ${ForEach} $1 1 3 + 1
    ${If} $1 = 1
      StrCpy $2 "$PROGRAMFILES"
    ${ElseIf} $1 = 2
      StrCpy $2 "$PROGRAMFILES64"
    ${Else}
      StrCpy $2 "$WINDIR"
    ${EndIf}
    StrCpy $2 "$2\"
    StrLen $3 $2
    StrCpy $4 $0 $3
    ${If} $4 == $2
      Abort
    ${EndIf}
  ${Next}
FunctionEnd

Section "Install"
  Call CloseRunningLauncher
  SetOutPath "$INSTDIR"
  File "${STAGE}\${EXE}"
  SetOutPath "$INSTDIR\licenses"
  File "${STAGE}\licenses\*.txt"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  WriteRegStr HKCU "${REGKEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTKEY}" "DisplayName" "${APPNAME}"
  WriteRegStr HKCU "${UNINSTKEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTKEY}" "Publisher" "Varo Online"
  WriteRegStr HKCU "${UNINSTKEY}" "DisplayIcon" "$INSTDIR\${EXE}"
  WriteRegStr HKCU "${UNINSTKEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTKEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTKEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTKEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTKEY}" "NoRepair" 1

  CreateDirectory "$SMPROGRAMS\${APPNAME}"
  CreateShortcut "$SMPROGRAMS\${APPNAME}\${APPNAME}.lnk" "$INSTDIR\${EXE}"
  CreateShortcut "$SMPROGRAMS\${APPNAME}\Удалить ${APPNAME}.lnk" "$INSTDIR\uninstall.exe"
  CreateShortcut "$DESKTOP\${APPNAME}.lnk" "$INSTDIR\${EXE}"

  ${If} $UpdateMode = 1
    ; The new launcher, from its own folder, as the shortcuts start it.
    Exec '"$INSTDIR\${EXE}"'
  ${EndIf}
SectionEnd

; ------------------------------------------------------------ uninstalling

; Removes the launcher, its own files and the shortcuts. The game folder
; gtasa\ (many gigabytes, perhaps the player's own copy of the game) stays;
; the folder itself goes only when nothing else is left in it.
Section "Uninstall"
  Call un.CloseRunningLauncher
  Delete "$INSTDIR\${EXE}"
  Delete "$INSTDIR\${UPDATER}"
  Delete "$INSTDIR\user.ini"
  Delete "$INSTDIR\varo_servers.bin"
  Delete "$INSTDIR\varo_launcher.bin"
  Delete "$INSTDIR\varo_launcher.log"
  Delete "$INSTDIR\varo_launcher.old.log"
  Delete "$INSTDIR\cache\*.*"
  RMDir "$INSTDIR\cache"
  Delete "$INSTDIR\licenses\*.txt"
  RMDir "$INSTDIR\licenses"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  Delete "$DESKTOP\${APPNAME}.lnk"
  Delete "$SMPROGRAMS\${APPNAME}\${APPNAME}.lnk"
  Delete "$SMPROGRAMS\${APPNAME}\Удалить ${APPNAME}.lnk"
  RMDir "$SMPROGRAMS\${APPNAME}"
  DeleteRegKey HKCU "${UNINSTKEY}"
  DeleteRegKey HKCU "${REGKEY}"
SectionEnd
