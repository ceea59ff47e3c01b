; Setup program of Halvern Q-Blend: puts in_hvqblend.dll into the Plugins folder of a Winamp
; installation, with an uninstaller and an "Add or remove programs" entry.
;
; Built by packaging/CMakeLists.txt with makensis, which defines:
;   HVQ_VERSION       the version text, as in the DLL's version resource (0.1.0.0)
;   HVQ_VERSION_QUAD  the same with four numbers, for the setup program's own version resource
;   HVQ_DLL           the plug-in DLL to install
;   HVQ_LICENSE       the licence text shown on the first page
;   HVQ_OUTFILE       the setup program to write
;
; Exit codes: 0 installed (or removed), 1 cancelled by the user on a page, 2 stopped: the folder
; holds no winamp.exe, the player runs, or the plug-in file cannot be written or deleted.
;
; Each player folder gets an "Add or remove programs" entry of its own (HVQBlend for the first,
; HVQBlend-2, -3, ... for others). Its quiet uninstall command runs the uninstaller in place
; (_?=), so that the caller gets the uninstaller's own exit code; a copy of it in the temporary
; folder deletes it once it has ended (/HVQ-REMOVE=).

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"

!define PRODUCT "Halvern Q-Blend"
!define PUBLISHER "Halvern"
!define PLUGIN_FILE "in_hvqblend.dll"
!define SETTINGS_FILE "HVQBlend.ini"
!define UNINSTALLER "HVQBlend-uninstall.exe"
!define PLAYER_WINDOW_CLASS "Winamp v1.x"
!define PLAYER_UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Winamp"
!define UNINSTALL_KEYS "Software\Microsoft\Windows\CurrentVersion\Uninstall"
!define UNINSTALL_KEY_NAME "HVQBlend"
!define MAX_ENTRIES 99
!define EXIT_STOPPED 2

Name "${PRODUCT} ${HVQ_VERSION}"
OutFile "${HVQ_OUTFILE}"
BrandingText "${PRODUCT} ${HVQ_VERSION}"
; No InstallDir: .onInit sees an empty $INSTDIR unless /D= was given, and only then looks for
; the player itself.

VIProductVersion "${HVQ_VERSION_QUAD}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${HVQ_VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${HVQ_VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) 2026 ${PUBLISHER}, MIT licence"

!define MUI_ABORTWARNING

!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!define MUI_LICENSEPAGE_TEXT_BOTTOM "${PRODUCT} is free software under the MIT licence. Click Next to go on."
!insertmacro MUI_PAGE_LICENSE "${HVQ_LICENSE}"

!define MUI_DIRECTORYPAGE_TEXT_TOP "Setup will install the ${PRODUCT} input plug-in into the Plugins folder of the Winamp installation below.$\r$\n$\r$\nChoose the folder that holds winamp.exe: Install stays disabled until you do."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Winamp folder"
!insertmacro MUI_PAGE_DIRECTORY

!insertmacro MUI_PAGE_INSTFILES

!define MUI_FINISHPAGE_TITLE "${PRODUCT} is installed"
!define MUI_FINISHPAGE_TEXT "Start Winamp: the plug-in is in its input plug-in list as $\"${PRODUCT} v${HVQ_VERSION}$\" and crossfades the tracks of your playlist.$\r$\n$\r$\nTo remove it, use $\"Add or remove programs$\"."
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; While the player runs it holds the plug-in: ask the user to close it. Cancel (the answer in
; silent mode) ends the program with EXIT_STOPPED before anything is changed.
!macro WAIT_FOR_PLAYER_CLOSED UN
Function ${UN}WaitForPlayerClosed
  Push $0
  ${Do}
    FindWindow $0 "${PLAYER_WINDOW_CLASS}"
    ${If} $0 = 0
      ${Break}
    ${EndIf}
    ${IfNot} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Winamp is running. Please close it, then click Retry.$\r$\n$\r$\nClick Cancel to stop; nothing has been changed." /SD IDCANCEL IDRETRY`
      DetailPrint "Winamp is running: stopped, nothing changed."
      Call ${UN}Stop
    ${EndIf}
  ${Loop}
  Pop $0
FunctionEnd
!macroend

!macro STOP UN
Function ${UN}Stop
  SetErrorLevel ${EXIT_STOPPED}
  Quit
FunctionEnd
!macroend

!insertmacro STOP ""
!insertmacro STOP "un."
!insertmacro WAIT_FOR_PLAYER_CLOSED ""
!insertmacro WAIT_FOR_PLAYER_CLOSED "un."

; The text on the stack up to its first double quote (all of it when it has none).
Function UpToQuote
  Exch $0
  Push $1
  Push $2
  StrCpy $1 0
  ${Do}
    StrCpy $2 $0 1 $1
    ${If} $2 == ""
    ${OrIf} $2 == '"'
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
  StrCpy $0 $0 $1
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; The player's folder from its own uninstaller's command line: the program it names, with the
; quotes (and anything after a quoted program) removed, and then its folder. Empty when the
; value is missing or names no folder.
Function PlayerFolderFromRegistry
  Push $0
  Push $1
  ReadRegStr $0 HKLM "${PLAYER_UNINSTALL_KEY}" "UninstallString"
  StrCpy $1 $0 1
  ${If} $1 == '"'
    StrCpy $0 $0 "" 1
    Push $0
    Call UpToQuote
    Pop $0
  ${EndIf}
  ${If} $0 != ""
    ${GetParent} $0 $0
  ${EndIf}
  Pop $1
  Exch $0
FunctionEnd

; The folder of a /D= given as one quoted argument ("/D=C:\Apps\My Winamp"), as Wine and
; script languages pass an argument with spaces; the setup program itself takes /D= only bare
; and last. Empty when there is none.
Function QuotedFolderArgument
  Push $0
  Push $1
  Push $2
  ${GetParameters} $0
  StrCpy $1 0
  ${Do}
    StrCpy $2 $0 4 $1
    ${If} $2 == ""
      StrCpy $0 ""
      ${Break}
    ${EndIf}
    ${If} $2 == '"/D='
      IntOp $1 $1 + 4
      StrCpy $0 $0 "" $1
      Push $0
      Call UpToQuote
      Pop $0
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; The "Add or remove programs" key (below HKLM) of the player folder on the stack: the one whose
; InstallLocation is that folder, else, for the installer, the first one free; empty when the
; uninstaller finds none.
!macro ENTRY_KEY_FOR UN
Function ${UN}EntryKeyFor
  Exch $R0 ; the player folder, then the key
  Push $0
  Push $1
  Push $2
  Push $3
  StrCpy $3 ""
  ${For} $1 1 ${MAX_ENTRIES}
    ${If} $1 = 1
      StrCpy $2 "${UNINSTALL_KEYS}\${UNINSTALL_KEY_NAME}"
    ${Else}
      StrCpy $2 "${UNINSTALL_KEYS}\${UNINSTALL_KEY_NAME}-$1"
    ${EndIf}
    ClearErrors
    ReadRegStr $0 HKLM $2 "InstallLocation"
    ${If} ${Errors}
!if "${UN}" == ""
      ${If} $3 == ""
        StrCpy $3 $2
      ${EndIf}
!endif
    ${ElseIf} $0 == $R0
      StrCpy $3 $2
      ${Break}
    ${EndIf}
  ${Next}
  StrCpy $R0 $3
  Pop $3
  Pop $2
  Pop $1
  Pop $0
  Exch $R0
FunctionEnd
!macroend
!insertmacro ENTRY_KEY_FOR ""
!insertmacro ENTRY_KEY_FOR "un."

Function .onInit
  ${If} $INSTDIR == ""
    Call QuotedFolderArgument
    Pop $INSTDIR
  ${EndIf}
  ${If} $INSTDIR == ""
    Call PlayerFolderFromRegistry
    Pop $INSTDIR
  ${EndIf}
  ${If} $INSTDIR == ""
    StrCpy $INSTDIR "$PROGRAMFILES\Winamp"
  ${EndIf}
FunctionEnd

; The folder page lets the user go on only to a folder that holds the player.
Function .onVerifyInstDir
  ${IfNot} ${FileExists} "$INSTDIR\winamp.exe"
    Abort
  ${EndIf}
FunctionEnd

Section "${PRODUCT}" SecPlugin
  ; A silent install chose no folder on the page: it must hold the player too.
  ${IfNot} ${FileExists} "$INSTDIR\winamp.exe"
    DetailPrint "$INSTDIR holds no winamp.exe: stopped, nothing changed."
    MessageBox MB_OK|MB_ICONSTOP "$INSTDIR holds no winamp.exe. Choose the folder of your Winamp installation." /SD IDOK
    Call Stop
  ${EndIf}
  Call WaitForPlayerClosed

  SetOutPath "$INSTDIR\Plugins"
  ; Something else may still hold the file (a player whose window we did not see): ask, and
  ; never leave the old DLL behind while claiming success.
  SetOverwrite try
  ${Do}
    ClearErrors
    File "/oname=${PLUGIN_FILE}" "${HVQ_DLL}"
    ${IfNot} ${Errors}
      ${Break}
    ${EndIf}
    ${IfNot} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$INSTDIR\Plugins\${PLUGIN_FILE} cannot be written: a program uses it. Close Winamp (and any program that may use Winamp's plug-ins), then click Retry." /SD IDCANCEL IDRETRY`
      DetailPrint "$INSTDIR\Plugins\${PLUGIN_FILE} cannot be written: stopped."
      Call Stop
    ${EndIf}
  ${Loop}
  SetOverwrite on

  WriteUninstaller "$INSTDIR\Plugins\${UNINSTALLER}"

  ${GetSize} "$INSTDIR\Plugins" "/M=${PLUGIN_FILE} /S=0K /G=0" $0 $1 $2
  ${GetSize} "$INSTDIR\Plugins" "/M=${UNINSTALLER} /S=0K /G=0" $3 $1 $2
  IntOp $0 $0 + $3
  Push $INSTDIR
  Call EntryKeyFor
  Pop $1
  ${If} $1 == ""
    DetailPrint "No free entry in $\"Add or remove programs$\": remove the plug-in with $INSTDIR\Plugins\${UNINSTALLER}."
    Return
  ${EndIf}
  ; The first folder's entry is named as the product; the others say which folder is theirs.
  ${If} $1 == "${UNINSTALL_KEYS}\${UNINSTALL_KEY_NAME}"
    WriteRegStr HKLM $1 "DisplayName" "${PRODUCT} (Winamp plug-in)"
  ${Else}
    WriteRegStr HKLM $1 "DisplayName" "${PRODUCT} (Winamp plug-in in $INSTDIR)"
  ${EndIf}
  WriteRegStr HKLM $1 "DisplayVersion" "${HVQ_VERSION}"
  WriteRegStr HKLM $1 "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM $1 "DisplayIcon" "$INSTDIR\Plugins\${PLUGIN_FILE},0"
  WriteRegDWORD HKLM $1 "EstimatedSize" $0
  WriteRegStr HKLM $1 "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM $1 "UninstallString" '"$INSTDIR\Plugins\${UNINSTALLER}"'
  WriteRegStr HKLM $1 "QuietUninstallString" '"$INSTDIR\Plugins\${UNINSTALLER}" /S _?=$INSTDIR\Plugins'
  WriteRegDWORD HKLM $1 "NoModify" 1
  WriteRegDWORD HKLM $1 "NoRepair" 1
SectionEnd

; A copy of the uninstaller started with /HVQ-REMOVE=<file> (see the end of the Uninstall
; section) only waits for that file, the uninstaller that ran in place, to be free, deletes it
; and ends; its own file goes at the next restart, as the copies the uninstaller makes of itself
; do.
Function un.onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/HVQ-REMOVE=" $1
  ${If} ${Errors}
    Return
  ${EndIf}
  ${For} $2 1 300
    Delete $1
    ${IfNot} ${FileExists} $1
      ${Break}
    ${EndIf}
    Sleep 100
  ${Next}
  Delete /REBOOTOK $EXEPATH
  SetErrorLevel 0
  Quit
FunctionEnd

; The uninstaller lives in the Plugins folder, so $INSTDIR is that folder here.
Section "Uninstall"
  Call un.WaitForPlayerClosed

  ${Do}
    Delete "$INSTDIR\${PLUGIN_FILE}"
    ${IfNot} ${FileExists} "$INSTDIR\${PLUGIN_FILE}"
      ${Break}
    ${EndIf}
    ${IfNot} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$INSTDIR\${PLUGIN_FILE} cannot be deleted: a program uses it. Close Winamp (and any program that may use Winamp's plug-ins), then click Retry." /SD IDCANCEL IDRETRY`
      DetailPrint "$INSTDIR\${PLUGIN_FILE} cannot be deleted: stopped."
      Call un.Stop
    ${EndIf}
  ${Loop}

  ; The plug-in keeps its settings in Plugins\HVQBlend.ini of the player's settings folder: the
  ; player's own folder, or %APPDATA%\Winamp for a per-user installation; a file directly in
  ; that folder (the older place) is moved there only at the plug-in's next start, so it is ours
  ; too. A silent uninstall keeps them.
  ${GetParent} "$INSTDIR" $0
  StrCpy $1 0
  ${If} ${FileExists} "$INSTDIR\${SETTINGS_FILE}"
  ${OrIf} ${FileExists} "$0\${SETTINGS_FILE}"
  ${OrIf} ${FileExists} "$APPDATA\Winamp\Plugins\${SETTINGS_FILE}"
  ${OrIf} ${FileExists} "$APPDATA\Winamp\${SETTINGS_FILE}"
    ${If} ${Cmd} `MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "Delete your ${PRODUCT} settings too?$\r$\n$\r$\nThey are kept in Plugins\${SETTINGS_FILE} in Winamp's folder or in %APPDATA%\Winamp. Click No to keep them for a later installation." /SD IDNO IDYES`
      StrCpy $1 1
    ${EndIf}
  ${EndIf}
  ${If} $1 = 1
    Delete "$INSTDIR\${SETTINGS_FILE}"
    Delete "$0\${SETTINGS_FILE}"
    Delete "$APPDATA\Winamp\Plugins\${SETTINGS_FILE}"
    Delete "$APPDATA\Winamp\${SETTINGS_FILE}"
  ${EndIf}

  ${GetParent} "$INSTDIR" $0
  Push $0
  Call un.EntryKeyFor
  Pop $1
  ${If} $1 != ""
    DeleteRegKey HKLM $1
  ${EndIf}

  ; Run from a copy (as the entry's uninstall command runs it) the uninstaller's file is free.
  ; Run in place (the quiet command, so that its caller gets this exit code) it may not be while
  ; this runs: then a copy of it waits for this to end and deletes it.
  Delete "$INSTDIR\${UNINSTALLER}"
  ${If} ${FileExists} "$INSTDIR\${UNINSTALLER}"
    GetTempFileName $2
    CopyFiles /SILENT "$INSTDIR\${UNINSTALLER}" $2
    Exec '"$2" /HVQ-REMOVE=$INSTDIR\${UNINSTALLER} _?=$TEMP'
  ${EndIf}
SectionEnd
