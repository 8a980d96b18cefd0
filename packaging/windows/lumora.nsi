; The Windows installer: the folder scripts/build-windows made, into Program Files, with Start
; menu entries for the program and for its uninstaller.
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

Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section
    SetOutPath "$INSTDIR"
    File /r "${SOURCE}\*"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\Lumora.lnk" "$INSTDIR\lumora.exe"
    CreateShortcut "$SMPROGRAMS\Uninstall Lumora.lnk" "$INSTDIR\uninstall.exe"
SectionEnd

; Only what the installer put there goes, so a folder chosen by mistake keeps the rest.
Section "Uninstall"
    Delete "$SMPROGRAMS\Lumora.lnk"
    Delete "$SMPROGRAMS\Uninstall Lumora.lnk"
    Delete "$INSTDIR\lumora.exe"
    Delete "$INSTDIR\*.dll"
    Delete "$INSTDIR\LICENSE.txt"
    RMDir /r "$INSTDIR\platforms"
    RMDir /r "$INSTDIR\styles"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
SectionEnd
