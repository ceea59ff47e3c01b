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
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\HVQBlend"
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

; The player's folder from its own uninstaller's command line: the program it names, with the
; quotes (and anything after a quoted program) removed, and then its folder. Empty when the
; value is missing or names no folder.
Function PlayerFolderFromRegistry
  Push $0
  Push $1
  Push $2
  ReadRegStr $0 HKLM "${PLAYER_UNINSTALL_KEY}" "UninstallString"
  StrCpy $1 $0 1
  ${If} $1 == '"'
    StrCpy $0 $0 "" 1
    ; cut at the closing quote
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
  ${EndIf}
  ${If} $0 != ""
    ${GetParent} $0 $0
  ${EndIf}
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

Function .onInit
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
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} (Winamp plug-in)"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${HVQ_VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Plugins\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Plugins\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

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

  Delete "$INSTDIR\${UNINSTALLER}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
