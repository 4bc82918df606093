; The Windows installer of the driver, made by scripts/windows-installer.sh,
; which passes:
;   VELK_DEFINES    the build's version and publisher (written by CMake)
;   VELK_VERSION    the version this installer carries (the build's, unless
;                   an older one is asked for to test upgrades)
;   VELK_FILES      File lines of the staged files, VELK_REMOVALS the Delete
;                   and RMDir lines that take exactly those files away again
;   VELK_SIZE_KB    the size of the staged files
;   VELK_OUTFILE    the installer to write
;
; A 32-bit driver for 32-bit hosts: it goes to Program Files (x86) on 64-bit
; Windows and is registered by the 32-bit regsvr32, so that its class lands in
; the registry view 32-bit processes read.
Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "${VELK_DEFINES}"
!ifndef VELK_VERSION
  !define VELK_VERSION "${VELK_BUILT_VERSION}"
!endif
!include LogicLib.nsh
!include x64.nsh
!include MUI2.nsh

!define PRODUCT "Velk4000"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Velk4000"
!define UNINSTALLER "uninstall.exe"

Name "${PRODUCT} ${VELK_VERSION}"
OutFile "${VELK_OUTFILE}"
InstallDir "$PROGRAMFILES\${PRODUCT}"
; An upgrade goes where the installed version is, unless /D or the user says
; otherwise.
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VELK_VERSION}"

VIProductVersion "${VELK_VERSION}.0"
VIFileVersion "${VELK_VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${VELK_PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VELK_VERSION} setup"
VIAddVersionKey "FileVersion" "${VELK_VERSION}"
VIAddVersionKey "ProductVersion" "${VELK_VERSION}"
VIAddVersionKey "LegalCopyright" "${VELK_PUBLISHER}"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; regsvr32 of the 32-bit system: SysWOW64 on 64-bit Windows (named, not left
; to the file system redirection), System32 where that is the only one.
!macro Regsvr32 ARGS RESULT
  ${If} ${RunningX64}
    ExecWait '"$WINDIR\SysWOW64\regsvr32.exe" /s ${ARGS}' ${RESULT}
  ${Else}
    ExecWait '"$SYSDIR\regsvr32.exe" /s ${ARGS}' ${RESULT}
  ${EndIf}
!macroend

Section "${PRODUCT}"
  SetShellVarContext all

  ; An installed version is taken away by its own uninstaller first: it knows
  ; its files (a newer version may have dropped some), and it keeps the
  ; user's. One entry in Add/Remove Programs stays, now this version's.
  ReadRegStr $0 HKLM "${UNINST_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\${UNINSTALLER}"
    DetailPrint "Removing the installed version from $0"
    ExecWait '"$0\${UNINSTALLER}" /S _?=$0' $1
    ${If} $1 != 0
      MessageBox MB_ICONSTOP "The installed version in $0 could not be removed (exit code $1)." /SD IDOK
      Abort
    ${EndIf}
    Delete "$0\${UNINSTALLER}"
    RMDir "$0"
  ${EndIf}

  SetOverwrite on
  !include "${VELK_FILES}"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT} serial I/O driver"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VELK_VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${VELK_PUBLISHER}"
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" ${VELK_SIZE_KB}
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\velkhost.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1

  DetailPrint "Registering $INSTDIR\Velk4000.dll"
  !insertmacro Regsvr32 '"$INSTDIR\Velk4000.dll"' $0
  ${If} $0 != 0
    MessageBox MB_ICONSTOP "Velk4000.dll could not be registered (regsvr32 exit code $0)." /SD IDOK
    Abort
  ${EndIf}
SectionEnd

Section "Uninstall"
  SetShellVarContext all

  ; Unregistered while the library is still there; a class that stays behind
  ; would point hosts at a file that is gone.
  ${If} ${FileExists} "$INSTDIR\Velk4000.dll"
    !insertmacro Regsvr32 '/u "$INSTDIR\Velk4000.dll"' $0
    ${If} $0 != 0
      MessageBox MB_ICONSTOP "Velk4000.dll could not be unregistered (regsvr32 exit code $0); nothing was removed." /SD IDOK
      Abort
    ${EndIf}
  ${EndIf}

  ; Only the files this version installed: line files and anything else the
  ; user put here stay, and so do their folders.
  !include "${VELK_REMOVALS}"
  DeleteRegKey HKLM "${UNINST_KEY}"
  ; Last, so that a deployment tool may take its absence for "done".
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
SectionEnd
