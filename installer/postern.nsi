; The Windows installer of Postern: both programs in Program Files\Postern, a
; Start menu entry, optionally a start at login, and an uninstaller that takes
; away what was installed. The user's settings (HKCU\Software\quill\Postern)
; stay, so a reinstall keeps them.
; makensis -DBINDIR=<folder of postern.exe> -DPOSTERND_DIR=<folder of posternd.exe>
;          -DOUTFILE=<setup.exe> -DVERSION=<a.b.c.d> postern.nsi

; The programs are 64-bit, and so is the installer (it also runs where no 32-bit
; layer is installed).
Target amd64-unicode
!include "MUI2.nsh"
!include "LogicLib.nsh"

!ifndef BINDIR
  !error "BINDIR must name the folder of postern.exe"
!endif
!ifndef POSTERND_DIR
  !define POSTERND_DIR "${BINDIR}"
!endif
!ifndef OUTFILE
  !define OUTFILE "postern-setup.exe"
!endif

!ifndef VERSION
  !error "VERSION must be the program's version, as CMake's project() gives it"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Postern"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

Name "Postern"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Postern"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "Postern"
VIAddVersionKey /LANG=1033 "FileDescription" "Postern setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Postern, a POP3 APOP login proxy"

!define MUI_ICON "..\res\icons\postern.ico"
!define MUI_UNICON "..\res\icons\postern.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\postern.exe"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Postern" SecPostern
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${BINDIR}\postern.exe"
  File "${POSTERND_DIR}\posternd.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\Postern"
  CreateShortcut "$SMPROGRAMS\Postern\Postern.lnk" "$INSTDIR\postern.exe"

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
  WriteRegStr HKCU "${RUN_KEY}" "Postern" '"$INSTDIR\postern.exe"'
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecPostern} "The tray program postern.exe and the headless posternd.exe, with a Start menu entry."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecRunAtLogin} "Start Postern in the tray whenever you log in."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Section "Uninstall"
  ; A copy still running keeps its file until the next restart.
  Delete /REBOOTOK "$INSTDIR\postern.exe"
  Delete /REBOOTOK "$INSTDIR\posternd.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\Postern\Postern.lnk"
  RMDir "$SMPROGRAMS\Postern"

  ; Only the start at login that this installation wrote.
  ReadRegStr $0 HKCU "${RUN_KEY}" "Postern"
  ${If} $0 == '"$INSTDIR\postern.exe"'
    DeleteRegValue HKCU "${RUN_KEY}" "Postern"
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
