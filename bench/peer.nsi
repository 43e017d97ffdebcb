; The peer for the benchmark: an NSIS uninstaller that removes what KESTRUNE.EXE removes (the two
; registry keys, the four product files, a desktop shortcut) and then itself with the install
; folder. Built by scripts/bench with Debian's makensis from its x86 stub, 32-bit like
; KESTRUNE.EXE, so that both run alike in a 64-bit prefix and delete the keys in the same, 32-bit
; view. The uninstaller is taken straight from the compiler (UNINSTALLER) through
; !uninstfinalize: nothing has to run the installer (MAKER) to write it.
Unicode true
Target x86-unicode
SetCompressor zlib
RequestExecutionLevel admin
Name "Tivaldor"
OutFile "${MAKER}"
SilentUnInstall normal
!uninstfinalize 'cp "%1" "${UNINSTALLER}"'

Section
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"
SectionEnd

Section "Uninstall"
    DeleteRegKey HKLM "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Tivaldor"
    DeleteRegKey HKLM "SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\Tivaldor.exe"
    Delete "$INSTDIR\Tivaldor.exe"
    Delete "$INSTDIR\Tivaldor.hlp"
    Delete "$INSTDIR\Tivaldor.gid"
    Delete "$INSTDIR\Tivaldor.cnt"
    SetShellVarContext current
    Delete "$DESKTOP\Tivaldor.lnk"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
SectionEnd
