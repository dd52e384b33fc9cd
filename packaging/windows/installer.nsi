; The per-user installer of the bridge host for Windows, made by makensis
; (cmake/windows.cmake) with -DVERSION=, -DBUILD_DIR= (the folder of the
; executables) and -DOUTFILE=.
;
;   bridge-host-VERSION-setup.exe                      asks for the extension IDs
;   bridge-host-VERSION-setup.exe /S /EXTENSION=ID,ID  silent
;
; It installs into %LOCALAPPDATA%\Programs\bridge-host without administrator
; rights and registers the host for the current user through
; bridge-host-setup.exe install; its uninstaller undoes both.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include LogicLib.nsh
!include FileFunc.nsh
!include nsDialogs.nsh

!define PRODUCT "bridge-host"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "bridge host ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
ShowInstDetails show
ShowUninstDetails show

Var Extensions   ; the IDs, separated by commas
Var ExtensionField

Page custom ExtensionPage ExtensionPageLeave
Page instfiles
UninstPage instfiles

Function .onInit
    ${GetParameters} $0
    ${GetOptions} $0 "/EXTENSION=" $Extensions
    ${If} ${Silent}
    ${AndIf} $Extensions == ""
        SetErrorLevel 2
        Abort
    ${EndIf}
FunctionEnd

Function ExtensionPage
    nsDialogs::Create 1018
    Pop $0
    ${NSD_CreateLabel} 0 0 100% 36u "The IDs of the browser extensions that may use the device, separated by commas: the 32-letter ID on the browser's extensions page (Chrome, Edge, Brave, Vivaldi), or the add-on's ID (Firefox)."
    Pop $0
    ${NSD_CreateText} 0 40u 100% 12u $Extensions
    Pop $ExtensionField
    nsDialogs::Show
FunctionEnd

Function ExtensionPageLeave
    ${NSD_GetText} $ExtensionField $Extensions
    ${If} $Extensions == ""
        MessageBox MB_ICONEXCLAMATION "Give at least one extension ID."
        Abort
    ${EndIf}
FunctionEnd

; $Extensions as options of bridge-host-setup.exe: "--extension A --extension B".
Function ExtensionOptions
    StrCpy $1 ""
    StrCpy $2 0
    StrCpy $3 ""
    ${Do}
        StrCpy $4 $Extensions 1 $2
        ${If} $4 == ","
        ${OrIf} $4 == ""
            ${If} $3 != ""
                StrCpy $1 '$1 --extension "$3"'
            ${EndIf}
            StrCpy $3 ""
        ${ElseIf} $4 != " "
            StrCpy $3 "$3$4"
        ${EndIf}
        IntOp $2 $2 + 1
    ${LoopUntil} $4 == ""
FunctionEnd

Section
    SetOutPath "$INSTDIR"
    File "${BUILD_DIR}\bridge-host.exe"
    File "${BUILD_DIR}\bridge-host-setup.exe"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "bridge host"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1

    Call ExtensionOptions
    nsExec::ExecToLog '"$INSTDIR\bridge-host-setup.exe" install$1'
    Pop $0
    ${If} $0 != 0
        DetailPrint "bridge-host-setup.exe install ended with exit status $0"
        SetErrorLevel 1
        Abort "The host could not be registered with the browsers."
    ${EndIf}
SectionEnd

Section Uninstall
    nsExec::ExecToLog '"$INSTDIR\bridge-host-setup.exe" uninstall'
    Pop $0
    Delete "$INSTDIR\bridge-host.exe"
    Delete "$INSTDIR\bridge-host-setup.exe"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
