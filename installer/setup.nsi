; The Windows installer: a per-user install without administrator rights.
;   makensis -DVERSION=0.3.20 -DSTAGE=<laid-out program> -DFILES=<uninstall list> -DOUTFILE=<setup.exe> setup.nsi
;   (-DCOMPRESSOR=zlib packs faster)
; scripts/build-installer fills these in.
;
; Without arguments it is the usual interactive installer. "/S" installs
; silently (and "/D=<folder>", last, picks the folder). "--update --wait-pid N",
; as the program's self-update starts it, waits at most a minute for process N
; to end, replaces the installed files without questions and starts the new
; version.

; 64-bit like the program it installs (and Wine here runs no 32-bit programs)
Target amd64-unicode
!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

!define APPNAME "Zelnor Kumat Senkronizasyon"
!define EXE "Zelnor-Kumat-Senkronizasyon.exe"
!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZelnorKumatSenkronizasyon"
!define SETTINGSKEY "Software\Korvenalis\KumatSync"
!define SHORTCUT "Zelnor Kumat Senkronizasyon.lnk"

Name "${APPNAME} ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${APPNAME}"
InstallDirRegKey HKCU "${UNINSTKEY}" "InstallLocation"
!ifdef COMPRESSOR
    ; the update test's later release is packed fast, not small
    SetCompressor ${COMPRESSOR}
!else
    SetCompressor /SOLID lzma
!endif
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1055 "ProductName" "${APPNAME}"
VIAddVersionKey /LANG=1055 "FileDescription" "${APPNAME} kurulumu"
VIAddVersionKey /LANG=1055 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1055 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1055 "CompanyName" "Zelnor"
VIAddVersionKey /LANG=1055 "LegalCopyright" "Zelnor"

Var updateMode
Var waitPid
Var quietRun

!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Turkish"

Function .onInit
    StrCpy $quietRun 0
    IfSilent 0 +2
        StrCpy $quietRun 1
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "--update" $R1
    ${IfNot} ${Errors}
        StrCpy $updateMode 1
        ; an update asks nothing
        SetSilent silent
    ${EndIf}
    ClearErrors
    ${GetOptions} $R0 "--wait-pid" $R1
    ${IfNot} ${Errors}
        IntOp $waitPid $R1 + 0
    ${EndIf}
    ${If} $waitPid > 0
        ; SYNCHRONIZE: enough to wait for the end; a process already gone is fine
        System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i $waitPid) p .r0'
        ${If} $0 P<> 0
            System::Call 'kernel32::WaitForSingleObject(p r0, i 60000) i .r1'
            System::Call 'kernel32::CloseHandle(p r0)'
            ${If} $1 <> 0
                ${If} $quietRun == 0
                    MessageBox MB_ICONSTOP|MB_OK "${APPNAME} bir dakika içinde kapanmadı; güncelleme yapılmadı. Programı kapatıp güncellemeyi yeniden deneyin."
                ${EndIf}
                SetErrorLevel 2
                Quit
            ${EndIf}
        ${EndIf}
    ${EndIf}
FunctionEnd

Section "Program"
    SetShellVarContext current
    SetOutPath "$INSTDIR"
    SetOverwrite on
    File /r "${STAGE}\*.*"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortCut "$SMPROGRAMS\${SHORTCUT}" "$INSTDIR\${EXE}"
    WriteRegStr HKCU "${UNINSTKEY}" "DisplayName" "${APPNAME}"
    WriteRegStr HKCU "${UNINSTKEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTKEY}" "Publisher" "Zelnor"
    WriteRegStr HKCU "${UNINSTKEY}" "DisplayIcon" "$INSTDIR\${EXE}"
    WriteRegStr HKCU "${UNINSTKEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTKEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTKEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTKEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTKEY}" "NoRepair" 1
    ${If} $updateMode == 1
        ; the new version takes over from the one that handed over to us
        Exec '"$INSTDIR\${EXE}"'
    ${EndIf}
SectionEnd

Section "Uninstall"
    SetShellVarContext current
    ; Only what the installer put there: the folder may hold anything else
    ; the user keeps in it, and a sync folder is never touched.
    !include "${FILES}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${SHORTCUT}"
    ; the program's autostart shortcut, by both names of the Startup folder
    Delete "$SMSTARTUP\${SHORTCUT}"
    Delete "$PROFILE\Start Menu\Programs\Startup\${SHORTCUT}"
    DeleteRegKey HKCU "${UNINSTKEY}"
    MessageBox MB_YESNO|MB_ICONQUESTION "Ayarlarınız (sunucu, e-posta, hatırlanan parola) da silinsin mi? Senkronizasyon klasörünüz ve içindeki dosyalar silinmez." /SD IDNO IDNO keepSettings
        DeleteRegKey HKCU "${SETTINGSKEY}"
        DeleteRegKey /ifempty HKCU "Software\Korvenalis"
    keepSettings:
SectionEnd
