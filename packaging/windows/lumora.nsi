; The Windows installer: the folder scripts/build-windows made, into Program Files, with a Start
; menu entry and an entry under Installed apps that uninstalls it.
;     makensis -DVERSION=1.0.0 -DSOURCE=<folder> -DICON=lumora.ico -DOUTFILE=<setup.exe> lumora.nsi
Unicode true
SetCompressor /SOLID lzma
!include x64.nsh

Name "Lumora ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Lumora"
RequestExecutionLevel admin
Icon "${ICON}"
LicenseData "${SOURCE}\LICENSE.txt"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Lumora"

Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
    SetRegView 64
FunctionEnd

Function un.onInit
    SetRegView 64
FunctionEnd

Section
    SetOutPath "$INSTDIR"
    File /r "${SOURCE}\*"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\Lumora.lnk" "$INSTDIR\lumora.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Lumora"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The Lumora developers"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\lumora.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Only what the installer put there goes, so a folder chosen by mistake keeps the rest.
Section "Uninstall"
    Delete "$SMPROGRAMS\Lumora.lnk"
    Delete "$INSTDIR\lumora.exe"
    Delete "$INSTDIR\*.dll"
    Delete "$INSTDIR\LICENSE.txt"
    RMDir /r "$INSTDIR\platforms"
    RMDir /r "$INSTDIR\styles"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
