; The Windows installer: a per-user install without administrator rights.
;   makensis -DVERSION=0.3.20 -DSTAGE=<laid-out program> -DPARTS=<file and folder lists> -DOUTFILE=<setup.exe> setup.nsi
;   (-DCOMPRESSOR=zlib packs faster)
; scripts/build-installer fills these in.
;
; Without arguments it is the usual interactive installer. "/S" installs
; silently (and "/D=<folder>", last, picks the folder). "--update --wait-pid N
; --target <folder>", as the program's self-update starts it, waits at most a
; minute for process N and every other copy of the program in that folder to
; end, replaces the files there without questions and starts the new version.
;
; Every mode writes the new files into a folder beside the installed ones
; first and only then switches them in, file by file by renames, keeping the
; replaced ones until the whole switch has succeeded; any failure puts the old
; files back. So the folder always holds one whole version, except for the
; instant of the renames themselves, and a switch cut short there (power cut,
; killed) is undone by the next run of any installer, through the marker.
;
; Exit codes: 0 done; 2 the program did not end within a minute; 3 the
; installed version is newer than this one; 4 the update's folder holds no
; program; 5 the files could not be written or switched (the old ones are in
; place again); 6 a cut-short switch could not be undone (files in use).
; 64-bit like the program it installs (and Wine here runs no 32-bit programs)
Target amd64-unicode
!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include WordFunc.nsh

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
Var switchFailed
Var restoreFailed
Var ownSwitch

; beside the installed files, on the same volume, so that switching is renames
!define STAGING "$INSTDIR\.guncelleme-yeni"
!define BACKUP "$INSTDIR\.guncelleme-eski"
; present from the first rename of a switch until its last
!define MARKER "$INSTDIR\.guncelleme-suruyor"

!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Turkish"

;  "--target <folder>" comes last and takes the rest of the line, quoted or
; not: ${GetOptions} would end an unquoted folder at its first "-". $R1 is
; the folder, empty without one.
Function TargetOption
    StrCpy $R1 ""
    ClearErrors
    ${WordFind} $R0 "--target " "E+1}" $R2
    ${If} ${Errors}
        Return
    ${EndIf}
    ${DoWhile} $R2 != ""
        StrCpy $R3 $R2 1
        ${If} $R3 != " "
            ${Break}
        ${EndIf}
        StrCpy $R2 $R2 "" 1
    ${Loop}
    ${If} $R3 == '"'
        StrCpy $R2 $R2 "" 1
        ${WordFind} $R2 '"' "+1{" $R2
    ${Else}
        ${DoWhile} $R2 != ""
            StrCpy $R3 $R2 1 -1
            ${If} $R3 != " "
                ${Break}
            ${EndIf}
            StrCpy $R2 $R2 -1
        ${Loop}
    ${EndIf}
    StrCpy $R1 $R2
FunctionEnd

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
    ${If} $updateMode == 1
        Call TargetOption
        ${If} $R1 != ""
            ; the folder the running program came from, whatever was registered
            StrCpy $INSTDIR $R1
        ${EndIf}
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

; Ends an update that changes nothing: the program that handed over is
; started again (when there is one), and the exit code tells why.
!macro GiveUp CODE
    ${If} $updateMode == 1
    ${AndIf} ${FileExists} "$INSTDIR\${EXE}"
        Exec '"$INSTDIR\${EXE}"'
    ${EndIf}
    SetErrorLevel ${CODE}
    Quit
!macroend

; One file of the switch: the installed one (if any) into the backup, the
; staged one into its place. After the first failure nothing more is moved.
!macro SwitchPart REL
    ${If} $switchFailed == 0
        ClearErrors
        ${If} ${FileExists} "$INSTDIR\${REL}"
            Rename "$INSTDIR\${REL}" "${BACKUP}\${REL}"
        ${EndIf}
        ; (testing the error flag clears it)
        ${If} ${Errors}
            StrCpy $switchFailed 1
        ${Else}
            Rename "${STAGING}\${REL}" "$INSTDIR\${REL}"
            ${If} ${Errors}
                StrCpy $switchFailed 1
            ${EndIf}
        ${EndIf}
    ${EndIf}
!macroend

; Undoes the switch of one file. A backup copy means the file in place is
; the new one (or none): it goes and the old one returns. Without one, only
; this run's own switch knows that a missing staged copy was moved in: a file
; the old version did not have. A later run's list may differ from the one
; of the switch it undoes, so it never removes a file without a backup.
!macro RestorePart REL
    ${If} ${FileExists} "${BACKUP}\${REL}"
        ClearErrors
        Delete "$INSTDIR\${REL}"
        Rename "${BACKUP}\${REL}" "$INSTDIR\${REL}"
        ${If} ${Errors}
            StrCpy $restoreFailed 1
        ${EndIf}
    ${ElseIf} $ownSwitch == 1
    ${AndIfNot} ${FileExists} "${STAGING}\${REL}"
        ClearErrors
        Delete "$INSTDIR\${REL}"
        ${If} ${Errors}
            StrCpy $restoreFailed 1
        ${EndIf}
    ${EndIf}
!macroend

; the folders a switch moves files into, on both sides
!macro SwitchFolder REL
    CreateDirectory "${BACKUP}\${REL}"
    CreateDirectory "$INSTDIR\${REL}"
!macroend

; the uninstaller's counterparts: only what the installer put there goes
!macro UninstallPart REL
    Delete "$INSTDIR\${REL}"
!macroend
!macro UninstallFolder REL
    RMDir "$INSTDIR\${REL}"
!macroend

!include "${PARTS}"

; ${Locate} callback: a file in the backup that this release's list does not
; name (an older release's switch was cut short) goes back all the same.
Function RestoreUnlistedPart
    StrLen $R5 "${BACKUP}\"
    StrCpy $R5 $R9 "" $R5
    ${GetParent} "$INSTDIR\$R5" $R4
    CreateDirectory $R4
    ClearErrors
    Delete "$INSTDIR\$R5"
    Rename $R9 "$INSTDIR\$R5"
    ${If} ${Errors}
        StrCpy $restoreFailed 1
    ${EndIf}
    Push $R5
FunctionEnd

; Puts every file a cut-short switch moved back; the marker goes only when
; all are back. $restoreFailed tells.
Function RestoreSwitched
    StrCpy $restoreFailed 0
    !insertmacro InstalledParts RestorePart
    ${If} ${FileExists} "${BACKUP}\*.*"
        ${Locate} "${BACKUP}" "/L=F" "RestoreUnlistedPart"
    ${EndIf}
    ${If} $restoreFailed == 0
    ${AndIf} ${FileExists} "${BACKUP}\*.*"
        ; counted, not assumed: only empty folders may go
        ClearErrors
        ${GetSize} "${BACKUP}" "/S=0B /G=1" $R0 $R1 $R2
        ${If} ${Errors}
        ${OrIf} $R1 <> 0
            StrCpy $restoreFailed 1
        ${Else}
            RMDir /r "${BACKUP}"
        ${EndIf}
    ${EndIf}
    ${If} $restoreFailed == 0
        Delete "${MARKER}"
    ${EndIf}
FunctionEnd

; Waits up to a minute until no one has the program's file open: a running
; copy keeps it from being opened for writing, in any session. $0 is 1 when
; it is free (or absent). The installer and the uninstaller each have it
; (NSIS keeps their functions apart): a copy still running keeps its files,
; and an uninstall would leave them behind.
!macro WaitForProgramEndFunction PREFIX
Function ${PREFIX}WaitForProgramEnd
    StrCpy $0 1
    StrCpy $2 0
    ${DoWhile} ${FileExists} "$INSTDIR\${EXE}"
        ; GENERIC_WRITE, no sharing, OPEN_EXISTING: opens nothing new and writes nothing
        System::Call 'kernel32::CreateFileW(w "$INSTDIR\${EXE}", i 0x40000000, i 0, p 0, i 3, i 0, p 0) p .r1 ?e'
        Pop $3
        ${If} $1 P<> -1
            System::Call 'kernel32::CloseHandle(p r1)'
            ${Break}
        ${EndIf}
        ; only a sharing violation means someone has it open (a read-only
        ; file refuses writing as well, yet renames)
        ${If} $3 <> 32
            ${Break}
        ${EndIf}
        ${If} $2 >= 120
            StrCpy $0 0
            ${Break}
        ${EndIf}
        Sleep 500
        IntOp $2 $2 + 1
    ${Loop}
FunctionEnd
!macroend
!insertmacro WaitForProgramEndFunction ""
!insertmacro WaitForProgramEndFunction "un."

Section "Program"
    SetShellVarContext current
    StrCpy $switchFailed 0
    StrCpy $ownSwitch 0
    ${If} $updateMode == 1
    ${AndIfNot} ${FileExists} "$INSTDIR\${EXE}"
    ${AndIfNot} ${FileExists} "${BACKUP}\${EXE}"
        ; not an installation of the program: nothing here to update
        !insertmacro GiveUp 4
    ${EndIf}

    Call WaitForProgramEnd
    ${If} $0 == 0
        ${If} $quietRun == 0
            MessageBox MB_ICONSTOP|MB_OK "${APPNAME} bir dakika içinde kapanmadı; güncelleme yapılmadı. Programı kapatıp güncellemeyi yeniden deneyin." /SD IDOK
        ${EndIf}
        SetErrorLevel 2
        Quit
    ${EndIf}

    ${If} ${FileExists} "${MARKER}"
        ; an earlier switch was cut short: its old files come back first
        Call RestoreSwitched
        ${If} $restoreFailed == 1
            MessageBox MB_ICONSTOP|MB_OK "${APPNAME} dosyalarının bir önceki güncellemeden kalan eski kopyaları geri konamadı; kurulum yapılmadı. Programı kapatıp kurulumu yeniden deneyin." /SD IDOK
            SetErrorLevel 6
            Quit
        ${EndIf}
    ${EndIf}
    ; Without the marker these are a copy cut short (nothing of it was in
    ; use) or the replaced files of a switch that ended.
    RMDir /r "${STAGING}"
    RMDir /r "${BACKUP}"

    ${If} ${FileExists} "$INSTDIR\${EXE}"
        ClearErrors
        ${GetFileVersion} "$INSTDIR\${EXE}" $R0
        ${IfNot} ${Errors}
            ${VersionCompare} "${VERSION}.0" $R0 $R1
            ${If} $R1 == 2
                MessageBox MB_ICONSTOP|MB_OK "Bu klasörde ${APPNAME} programının daha yeni bir sürümü ($R0) kurulu; ${VERSION} sürümü kurulmadı." /SD IDOK
                !insertmacro GiveUp 3
            ${EndIf}
        ${EndIf}
    ${EndIf}

    ; the new files, whole, beside the old ones
    ClearErrors
    SetOutPath "${STAGING}"
    SetOverwrite try
    File /r "${STAGE}\*.*"
    WriteUninstaller "${STAGING}\uninstall.exe"
    SetOutPath "$INSTDIR"
    ${If} ${Errors}
        RMDir /r "${STAGING}"
        MessageBox MB_ICONSTOP|MB_OK "${APPNAME} dosyaları yazılamadı; kurulum yapılmadı, kurulu dosyalar olduğu gibi bırakıldı." /SD IDOK
        !insertmacro GiveUp 5
    ${EndIf}

    CreateDirectory "${BACKUP}"
    !insertmacro InstalledFolders SwitchFolder
    ClearErrors
    FileOpen $R2 "${MARKER}" w
    FileWrite $R2 "${VERSION}"
    FileClose $R2
    ${If} ${Errors}
        RMDir /r "${STAGING}"
        RMDir /r "${BACKUP}"
        MessageBox MB_ICONSTOP|MB_OK "${APPNAME} dosyaları yazılamadı; kurulum yapılmadı, kurulu dosyalar olduğu gibi bırakıldı." /SD IDOK
        !insertmacro GiveUp 5
    ${EndIf}
    StrCpy $ownSwitch 1
    !insertmacro InstalledParts SwitchPart
    ${If} $switchFailed == 1
        Call RestoreSwitched
        ${If} $restoreFailed == 1
            ; the marker stays: the next run of an installer tries again
            MessageBox MB_ICONSTOP|MB_OK "${APPNAME} dosyaları değiştirilemedi ve eski dosyaların bir kısmı geri konamadı. Programı kapatıp kurulumu yeniden deneyin." /SD IDOK
            SetErrorLevel 6
            Quit
        ${EndIf}
        RMDir /r "${STAGING}"
        MessageBox MB_ICONSTOP|MB_OK "${APPNAME} dosyalarından biri kullanımda olduğu için değiştirilemedi; kurulum yapılmadı, kurulu dosyalar olduğu gibi bırakıldı." /SD IDOK
        !insertmacro GiveUp 5
    ${EndIf}
    Delete "${MARKER}"
    RMDir /r "${BACKUP}"
    RMDir /r "${STAGING}"

    ; An update describes only the registered installation: a copy elsewhere
    ; is updated without taking its place.
    ReadRegStr $R3 HKCU "${UNINSTKEY}" "InstallLocation"
    ${If} $updateMode != 1
    ${OrIf} $R3 == $INSTDIR
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
    ${EndIf}
    ${If} $updateMode == 1
        ; the new version takes over from the one that handed over to us
        Exec '"$INSTDIR\${EXE}"'
    ${EndIf}
SectionEnd

Section "Uninstall"
    SetShellVarContext current
    Call un.WaitForProgramEnd
    ${If} $0 == 0
        MessageBox MB_ICONSTOP|MB_OK "${APPNAME} bir dakika içinde kapanmadı; kaldırma yapılmadı. Programı kapatıp yeniden deneyin." /SD IDOK
        SetErrorLevel 2
        Quit
    ${EndIf}
    ; Only what the installer put there: the folder may hold anything else
    ; the user keeps in it, and a sync folder is never touched.
    !insertmacro InstalledParts UninstallPart
    !insertmacro InstalledFolders UninstallFolder
    ; An update that could not put the old files back leaves its copies of
    ; them, and of the new ones, beside the program: they are the program's
    ; too and go with it.
    RMDir /r "${STAGING}"
    RMDir /r "${BACKUP}"
    Delete "${MARKER}"
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
