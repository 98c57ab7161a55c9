; The Windows installer of Postern: both programs in Program Files\Postern, a
; Start menu entry, optionally a start at login, and an uninstaller that takes
; away what was installed. The user's settings (HKCU\Software\quill\Postern)
; stay, so a reinstall keeps them.
; makensis -DBINDIR=<folder of postern.exe and posternd.exe> -DOUTFILE=<setup.exe>
;          -DVERSION=<a.b.c.d> postern.nsi
;
; Postern is installed for all users of the computer: the programs, the Start
; menu entry (SetShellVarContext all) and the start at login (HKLM's Run key)
; are everyone's, so that an administrator elevating the installer over a
; user's shoulder puts nothing into the administrator's own profile. Each
; user's settings are his own: Postern writes them, running as that user.
;
; A running Postern holds its files: before replacing or removing them, the
; installer and the uninstaller ask it (postern.exe and posternd.exe) to end
; and wait for it, and change nothing when a copy stays.

; The programs are 64-bit, and so is the installer (it also runs where no 32-bit
; layer is installed).
Target amd64-unicode
!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "WinMessages.nsh"

!ifndef BINDIR
  !error "BINDIR must name the folder of postern.exe and posternd.exe"
!endif
!ifndef OUTFILE
  !define OUTFILE "postern-setup.exe"
!endif

!ifndef VERSION
  !error "VERSION must be the program's version, as CMake's project() gives it"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Postern"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
; postern.exe marks its dialog with a window property named after its instance
; (winapp/main.cpp), and ends without questions on WM_ENDSESSION.
!define POSTERN_DIALOG_TITLE "Postern configuration"
; posternd.exe stops cleanly on WM_CLOSE to its hidden window (daemon/win32/stop_signals.cpp).
!define POSTERND_WINDOW_CLASS "PosterndSession"
!define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
!define POSTERN_INSTANCE_PROPERTY "quill.Postern.postern"
!define ENDSESSION_CLOSEAPP 1
!define END_WAIT_STEPS 50  ; of 200 ms

Name "Postern"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Postern"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
; A file that cannot be written ends the installation instead of being skipped.
AllowSkipFiles off

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "Postern"
VIAddVersionKey /LANG=1033 "FileDescription" "Postern setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Postern, a POP3 APOP login proxy"

!define MUI_ICON "..\res\icons\postern.ico"
!define MUI_UNICON "..\res\icons\postern.ico"
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Run Postern"
!define MUI_FINISHPAGE_RUN_FUNCTION StartPosternAsUser
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Sets $0 to the name of the first installed program whose file is in use, as a
; running copy keeps it, or to "".
!macro FIND_PROGRAM_IN_USE NAME
  ${If} $0 == ""
  ${AndIf} ${FileExists} "$INSTDIR\${NAME}"
    ClearErrors
    FileOpen $3 "$INSTDIR\${NAME}" a
    ${If} ${Errors}
      StrCpy $0 "${NAME}"
    ${Else}
      FileClose $3
    ${EndIf}
  ${EndIf}
!macroend

; Waits (bounded) until the installed program is no longer in use; sets $0 as
; FIND_PROGRAM_IN_USE does.
!macro WAIT_UNTIL_ENDED NAME
  StrCpy $4 0
  ${Do}
    StrCpy $0 ""
    !insertmacro FIND_PROGRAM_IN_USE "${NAME}"
    ${If} $0 == ""
    ${OrIf} $4 >= ${END_WAIT_STEPS}
      ${ExitDo}
    ${EndIf}
    IntOp $4 $4 + 1
    Sleep 200
  ${Loop}
!macroend

; Ends the programs running from $INSTDIR, as Windows' Restart Manager would
; ask them: posternd.exe first, by its window, since one that has no window to
; ask (another user's, say) keeps the files anyway, and Postern is not ended
; for nothing; then postern.exe. Sets $0 to the program still running when the
; user gives up (in a silent run: at once), or to "".
!macro DEFINE_END_RUNNING_PROGRAMS UN
Function ${UN}EndRunningPrograms
  ${Do}
    StrCpy $7 0  ; 1 once a posternd.exe has been asked
    StrCpy $1 0
    ${Do}
      FindWindow $1 "${POSTERND_WINDOW_CLASS}" "" 0 $1
      ${If} $1 == 0
        ${Break}
      ${EndIf}
      ; Only a copy running from $INSTDIR.
      System::Call 'user32::GetWindowThreadProcessId(p r1, *i .r2) i'
      System::Call 'kernel32::OpenProcess(i ${PROCESS_QUERY_LIMITED_INFORMATION}, i 0, i r2) p .r3'
      ${If} $3 != 0
        System::Call 'kernel32::QueryFullProcessImageNameW(p r3, i 0, w .r5, *i ${NSIS_MAX_STRLEN}) i .r6'
        System::Call 'kernel32::CloseHandle(p r3)'
        ${If} $6 != 0
        ${AndIf} $5 == "$INSTDIR\posternd.exe"
          DetailPrint "Asking posternd.exe to end"
          SendMessage $1 ${WM_CLOSE} 0 0 /TIMEOUT=5000
          StrCpy $7 1
        ${EndIf}
      ${EndIf}
    ${Loop}
    StrCpy $0 ""
    ${If} $7 == 1
      !insertmacro WAIT_UNTIL_ENDED "posternd.exe"
    ${Else}
      !insertmacro FIND_PROGRAM_IN_USE "posternd.exe"
    ${EndIf}
    ${If} $0 == ""
      StrCpy $1 0
      ${Do}
        FindWindow $1 "#32770" "${POSTERN_DIALOG_TITLE}" 0 $1
        ${If} $1 == 0
          ${Break}
        ${EndIf}
        System::Call 'user32::GetPropW(p r1, w "${POSTERN_INSTANCE_PROPERTY}") p .r2'
        ${If} $2 != 0
          DetailPrint "Asking Postern to end"
          SendMessage $1 ${WM_ENDSESSION} 1 ${ENDSESSION_CLOSEAPP} /TIMEOUT=5000
        ${EndIf}
      ${Loop}
      !insertmacro WAIT_UNTIL_ENDED "postern.exe"
    ${EndIf}
    ${If} $0 == ""
      Return
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
        "$0 is still running from $INSTDIR.$\r$\n$\r$\nEnd it (posternd.exe: press Ctrl+C in its window), then choose Retry." \
        /SD IDCANCEL IDRETRY +2
    Return
  ${Loop}
FunctionEnd
!macroend
!insertmacro DEFINE_END_RUNNING_PROGRAMS ""
!insertmacro DEFINE_END_RUNNING_PROGRAMS "un."

; Earlier versions put the Start menu entry and the start at login into the
; profile of the account that ran the installer.
!macro REMOVE_PER_USER_ENTRIES
  SetShellVarContext current
  Delete "$SMPROGRAMS\Postern\Postern.lnk"
  RMDir "$SMPROGRAMS\Postern"
  SetShellVarContext all
  ReadRegStr $0 HKCU "${RUN_KEY}" "Postern"
  ${If} $0 == '"$INSTDIR\postern.exe"'
    DeleteRegValue HKCU "${RUN_KEY}" "Postern"
  ${EndIf}
!macroend

Function .onInit
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetShellVarContext all
FunctionEnd

; Explorer starts it with the token of the user's own desktop: started by this
; elevated installer, it would run as administrator, out of reach of the
; user's second start and of Explorer's messages.
Function StartPosternAsUser
  Exec '"$WINDIR\explorer.exe" "$INSTDIR\postern.exe"'
FunctionEnd

Section "Postern" SecPostern
  SectionIn RO
  Call EndRunningPrograms
  ${If} $0 != ""
    SetErrorLevel 2
    Abort "$0 is still running: nothing was changed."
  ${EndIf}

  SetOutPath "$INSTDIR"
  ClearErrors
  File "${BINDIR}\postern.exe"
  File "${BINDIR}\posternd.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ${If} ${Errors}
    SetErrorLevel 2
    Abort "The programs in $INSTDIR could not all be written."
  ${EndIf}

  !insertmacro REMOVE_PER_USER_ENTRIES
  CreateDirectory "$SMPROGRAMS\Postern"
  CreateShortcut "$SMPROGRAMS\Postern\Postern.lnk" "$INSTDIR\postern.exe"
  ; The next section writes it again when it is chosen.
  DeleteRegValue HKLM "${RUN_KEY}" "Postern"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Postern"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Postern"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\postern.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Start Postern at login" SecRunAtLogin
  WriteRegStr HKLM "${RUN_KEY}" "Postern" '"$INSTDIR\postern.exe"'
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecPostern} "The tray program postern.exe and the headless posternd.exe, with a Start menu entry, for every user of this computer."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecRunAtLogin} "Start Postern in the tray whenever a user logs in."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Section "Uninstall"
  Call un.EndRunningPrograms
  ${If} $0 != ""
    SetErrorLevel 2
    Abort "$0 is still running: nothing was removed."
  ${EndIf}

  ClearErrors
  Delete "$INSTDIR\postern.exe"
  Delete "$INSTDIR\posternd.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ${If} ${Errors}
    ; Files of the user's own, which are not Postern's to take.
    MessageBox MB_OK|MB_ICONINFORMATION "$INSTDIR is left: it holds files that Postern did not install." /SD IDOK
  ${EndIf}

  Delete "$SMPROGRAMS\Postern\Postern.lnk"
  RMDir "$SMPROGRAMS\Postern"
  !insertmacro REMOVE_PER_USER_ENTRIES

  ; Only the start at login that this installation wrote.
  ReadRegStr $0 HKLM "${RUN_KEY}" "Postern"
  ${If} $0 == '"$INSTDIR\postern.exe"'
    DeleteRegValue HKLM "${RUN_KEY}" "Postern"
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
