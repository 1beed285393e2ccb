; The Windows installer: zav.exe into Program Files (the 64-bit one), a Start-menu shortcut for
; every user, an uninstaller and its entry in the system's list of programs. Korean pages.
;
; installer/CMakeLists.txt runs makensis with these defined:
;   ZAV_VERSION   the project's version ("1.2")
;   ZAV_VERSION4  the same in four parts ("1.2.0.0"), for the version resource
;   ZAV_PROGRAM   the built zav.exe
;   ZAV_ICON      the application icon
;   ZAV_OUTFILE   the installer to write
;
; The uninstaller removes exactly the files the installer wrote, and the installation folder
; only when nothing else is left in it: a member may have installed into a folder of their own,
; even the game folder, and nothing of the game or its Ralum folder may go with ZAV.

Unicode true
; A 64-bit installer: the program is 64-bit, and a 32-bit stub would not start on a system
; (or a Wine) without 32-bit support.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include "MUI2.nsh"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZAV"
!define UNINSTALLER "zav-uninstall.exe"

Name "ZAV"
OutFile "${ZAV_OUTFILE}"
InstallDir "$PROGRAMFILES64\ZAV"
; A second installation goes where the first one went.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"

!define MUI_ICON "${ZAV_ICON}"
!define MUI_UNICON "${ZAV_ICON}"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "Korean"

VIProductVersion "${ZAV_VERSION4}"
VIFileVersion "${ZAV_VERSION4}"
VIAddVersionKey /LANG=${LANG_KOREAN} "ProductName" "ZAV"
VIAddVersionKey /LANG=${LANG_KOREAN} "ProductVersion" "${ZAV_VERSION}"
VIAddVersionKey /LANG=${LANG_KOREAN} "FileVersion" "${ZAV_VERSION}"
VIAddVersionKey /LANG=${LANG_KOREAN} "FileDescription" "ZAV 설치 프로그램"
VIAddVersionKey /LANG=${LANG_KOREAN} "LegalCopyright" ""

; The 64-bit registry and Program Files, as the 64-bit program sees them.
Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "/oname=zav.exe" "${ZAV_PROGRAM}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  CreateShortcut "$SMPROGRAMS\ZAV.lnk" "$INSTDIR\zav.exe" "" "$INSTDIR\zav.exe" 0

  ; The size of what was installed, in KiB (the folder may hold more than ZAV's files).
  StrCpy $1 0
  FileOpen $0 "$INSTDIR\zav.exe" r
  FileSeek $0 0 END $2
  FileClose $0
  IntOp $1 $1 + $2
  FileOpen $0 "$INSTDIR\${UNINSTALLER}" r
  FileSeek $0 0 END $2
  FileClose $0
  IntOp $1 $1 + $2
  IntOp $1 $1 + 1023
  IntOp $1 $1 / 1024

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "ZAV"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${ZAV_VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zav.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\ZAV.lnk"
  Delete "$INSTDIR\zav.exe"
  Delete "$INSTDIR\${UNINSTALLER}"
  ; Without /r: only an empty folder goes.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
