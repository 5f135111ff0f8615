; Per-user installer for Rostrel Uploader: no administrator rights, installs under the user's
; %LOCALAPPDATA%\Programs, a Start-menu shortcut that starts the program in its own folder (where
; settings.txt lives), and an uninstaller in the user's list of installed programs. Uninstalling
; leaves the player's settings.txt and noupload.txt in place.
;   makensis -DVERSION=1.0.0 -DSTAGE=<folder with RostrelUploader.exe, README.txt> -DOUTFILE=<setup.exe> installer.nsi

; A 64-bit installer for a 64-bit program (and for Wine without its 32-bit half).
Target amd64-unicode
!include "MUI2.nsh"

!define APP "Rostrel Uploader"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\RostrelUploader"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\RostrelUploader"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
SetCompressor /SOLID lzma
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${APP}"
VIAddVersionKey "FileDescription" "${APP} installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "Varnhold"
VIAddVersionKey "LegalCopyright" "Varnhold"

!define MUI_FINISHPAGE_RUN "$INSTDIR\RostrelUploader.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A running program holds its exe, which then can be neither replaced nor removed: the player is
; asked to end it (its "Exit Program" button) and to try again, instead of a failed copy.
!macro PROGRAM_ENDED_CHECK PREFIX
Function ${PREFIX}ProgramEnded
    check:
    IfFileExists "$INSTDIR\RostrelUploader.exe" 0 done
    ClearErrors
    FileOpen $0 "$INSTDIR\RostrelUploader.exe" a
    IfErrors 0 closed
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${APP} is running. Click its icon in the notification area, press $\"Exit Program$\", then press Retry." /SD IDCANCEL IDRETRY check
    Abort
    closed:
    FileClose $0
    done:
FunctionEnd
!macroend
!insertmacro PROGRAM_ENDED_CHECK ""
!insertmacro PROGRAM_ENDED_CHECK "un."

Section "Install"
    SetShellVarContext current
    Call ProgramEnded
    SetOutPath "$INSTDIR"
    File "${STAGE}\RostrelUploader.exe"
    File "${STAGE}\README.txt"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    ; The shortcut's working folder is $OUTDIR, the install folder: settings.txt is read there.
    CreateShortcut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\RostrelUploader.exe" "" "$INSTDIR\RostrelUploader.exe" 0

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APP}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Varnhold"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\RostrelUploader.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetShellVarContext current
    Call un.ProgramEnded
    Delete "$SMPROGRAMS\${APP}.lnk"
    Delete "$INSTDIR\RostrelUploader.exe"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\temp.htm"
    Delete "$INSTDIR\RostrelUploader.lock"
    Delete "$INSTDIR\Uninstall.exe"
    ; settings.txt and noupload.txt are the player's: the folder stays while they are there.
    RMDir "$INSTDIR"
    ; "Run on Startup" for this user, when it names the program being removed.
    ReadRegStr $0 HKCU "${RUN_KEY}" "RostrelUploader"
    StrCmp $0 '"$INSTDIR\RostrelUploader.exe"' 0 +2
        DeleteRegValue HKCU "${RUN_KEY}" "RostrelUploader"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
