; The Windows installer: per user, without elevation, into the user's programs folder,
; with a Start-menu entry, an uninstaller and its entry among the user's installed
; programs. "/S" installs and uninstalls silently.
;   makensis -DBIN=<build>/bin -DICON=<icon file> -DOUT=<setup.exe> -DVERSION=5.4 installer.nsi
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!define NAME "Corvale Player"
!define PUBLISHER "Corvale Productions"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\CorvalePlayer"

Name "${NAME}"
OutFile "${OUT}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$LOCALAPPDATA\Programs\${NAME}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails nevershow
ShowUninstDetails nevershow

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=1033 "ProductName" "${NAME}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${NAME} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "${BIN}\corvale-player.exe"
  File "${BIN}\*.dll"
  SetOutPath "$INSTDIR\data"
  File /r "${BIN}\data\*.*"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortCut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\corvale-player.exe"
  ; The shortcut carries the id the running player gives itself, so that a pinned
  ; shortcut and the player's windows are one taskbar button. The helper runs from the
  ; installer's temporary folder and is not installed; without the id the shortcut still
  ; starts the player.
  InitPluginsDir
  File "/oname=$PLUGINSDIR\shortcut-id.exe" "${BIN}\shortcut-id.exe"
  nsExec::Exec '"$PLUGINSDIR\shortcut-id.exe" "$SMPROGRAMS\${NAME}.lnk"'
  Pop $0
  StrCmp $0 0 +2
    DetailPrint "The Start-menu shortcut has no taskbar id (shortcut-id: $0)."
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\corvale-player.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  Delete "$SMPROGRAMS\${NAME}.lnk"
  ; The files the installer put there, not whatever else the folder may hold.
  RMDir /r "$INSTDIR\data"
  Delete "$INSTDIR\corvale-player.exe"
  Delete "$INSTDIR\*.dll"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
