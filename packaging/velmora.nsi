; The Windows installer, built by scripts/windows with Debian's makensis:
;
;   makensis -DINFO=<build>/velmora.nsh -DFILES=<the zip's folder> -DICON=velmora.ico -DOUTFILE=setup.exe velmora.nsi
;
; INFO is the product's name, version, publisher and licence, which CMake writes.
;
; It installs the program for every user of the PC into Program Files, with its
; translation and icon beside it, where the program looks for them; adds a Start menu
; shortcut (a desktop one as an option: the component page, or /DESKTOP with /S); lists
; the program in Windows' installed apps with its uninstaller; and lets the camera's video
; through the firewall: the pictures come over UDP, which Windows blocks for good when the
; user cancels its question at the first connection.
;
; An install over an older version replaces the program in the same folder. The installer
; and the uninstaller touch nothing but that folder, the shortcuts, the uninstall entry and
; the firewall rule: recordings and snapshots stay where the user saved them.
;
; Silent: setup.exe /S [/DESKTOP] [/D=folder], uninstall.exe /S.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true
; A program that is open cannot be replaced: the installer then offers Retry or Cancel, and
; a silent one stops with an error, rather than skip it and leave the old program behind
; under the new version's name.
AllowSkipFiles off

!include "${INFO}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define FIREWALL_RULE "${PRODUCT}"
!define OPEN_WITH_TYPE "Velmora.Recording"

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

Name "${PRODUCT}"
BrandingText "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; An upgrade goes where the installed version is.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "LegalCopyright" "${COPYRIGHT}. Licence: ${LICENSE}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
; The GPL asks nothing of someone who only uses the program: the page shows it, Next goes on.
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!define MUI_LICENSEPAGE_TEXT_BOTTOM "$(LicenceNote)"
!insertmacro MUI_PAGE_LICENSE "${FILES}\COPYING.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

LangString LicenceNote ${LANG_ENGLISH} "${PRODUCT} is free software under the GNU General Public License, version 2 or later. You need not accept it to use the program."
LangString LicenceNote ${LANG_SIMPCHINESE} "${PRODUCT} 是自由软件，依据 GNU 通用公共许可证第 2 版或更高版本发布。使用本程序无须接受该许可证。"
LangString ProgramSection ${LANG_ENGLISH} "${PRODUCT}"
LangString ProgramSection ${LANG_SIMPCHINESE} "Velmora PC 无线版"
LangString ProgramDescription ${LANG_ENGLISH} "The program with its translation, a Start menu shortcut, its entry in Installed apps, and a firewall rule that lets the camera's video through."
LangString ProgramDescription ${LANG_SIMPCHINESE} "程序及其翻译、开始菜单快捷方式、“已安装的应用”中的条目，以及允许摄像头视频通过的防火墙规则。"
LangString DesktopSection ${LANG_ENGLISH} "Desktop shortcut"
LangString DesktopSection ${LANG_SIMPCHINESE} "桌面快捷方式"
LangString DesktopDescription ${LANG_ENGLISH} "A shortcut to the program on the desktop of every user of this PC."
LangString DesktopDescription ${LANG_SIMPCHINESE} "在本机所有用户的桌面上放置程序的快捷方式。"
LangString NotAdmin ${LANG_ENGLISH} "${PRODUCT} installs for every user of this PC, which needs an administrator."
LangString NotAdmin ${LANG_SIMPCHINESE} "${PRODUCT} 为本机所有用户安装，需要管理员权限。"
LangString NoFirewallRule ${LANG_ENGLISH} "The firewall rule could not be added: Windows will ask whether to let the program through at its first connection to the camera. Answer Allow."
LangString NoFirewallRule ${LANG_SIMPCHINESE} "未能添加防火墙规则：程序首次连接摄像头时，Windows 会询问是否允许它通过防火墙，请选择“允许”。"

Var log

; A line in the details and in install.log beside the program.
!macro Log text
    DetailPrint "${text}"
    FileWrite $log "${text}$\r$\n"
!macroend

; Runs netsh with the arguments $0 and logs the command, its exit code and its output.
Function Netsh
    !insertmacro Log 'firewall: netsh $0'
    nsExec::ExecToStack '"$SYSDIR\netsh.exe" $0'
    Pop $1
    Pop $2
    !insertmacro Log 'firewall: exit code $1: $2'
FunctionEnd

Section "$(ProgramSection)" Program
    SectionIn RO
    SetOutPath "$INSTDIR"
    FileOpen $log "$INSTDIR\install.log" w
    !insertmacro Log "${PRODUCT} ${VERSION} into $INSTDIR"
    File "${FILES}\velmora.exe"
    File "${FILES}\qmain_zh.qm"
    File "${FILES}\icon.png"
    File "${FILES}\COPYING.txt"
    File "${FILES}\README.txt"
    File /r "${FILES}\licences"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\velmora.exe"
    !insertmacro Log "shortcut: $SMPROGRAMS\${PRODUCT}.lnk"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\velmora.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "URLInfoAbout" "https://velmora.example.org/"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "License" "${LICENSE}"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
    !insertmacro Log "uninstall entry: HKLM\${UNINSTALL_KEY}, $0 KB"

    ; Offered under "Open with" for MP4 files, without taking the files over: the program
    ; lists the type it opens, and a type of its own joins the file type's other programs.
    WriteRegStr HKLM "Software\Classes\Applications\velmora.exe" "FriendlyAppName" "${PRODUCT}"
    WriteRegStr HKLM "Software\Classes\Applications\velmora.exe\SupportedTypes" ".mp4" ""
    WriteRegStr HKLM "Software\Classes\Applications\velmora.exe\shell\open\command" "" '"$INSTDIR\velmora.exe" "%1"'
    WriteRegStr HKLM "Software\Classes\${OPEN_WITH_TYPE}" "" "${PRODUCT}"
    WriteRegStr HKLM "Software\Classes\${OPEN_WITH_TYPE}\DefaultIcon" "" "$INSTDIR\velmora.exe,0"
    WriteRegStr HKLM "Software\Classes\${OPEN_WITH_TYPE}\shell\open\command" "" '"$INSTDIR\velmora.exe" "%1"'
    WriteRegStr HKLM "Software\Classes\.mp4\OpenWithProgids" "${OPEN_WITH_TYPE}" ""
    !insertmacro Log "open with: .mp4, ${OPEN_WITH_TYPE}"

    ; Inbound UDP for this program on every network profile: Windows calls the camera's
    ; own Wi-Fi a public network. A rule of an older version goes first.
    StrCpy $0 'advfirewall firewall delete rule name="${FIREWALL_RULE}"'
    Call Netsh
    StrCpy $0 'advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow program="$INSTDIR\velmora.exe" protocol=UDP profile=any enable=yes'
    Call Netsh
    ${If} $1 != 0
        !insertmacro Log "$(NoFirewallRule)"
    ${EndIf}
    FileClose $log
SectionEnd

Section /o "$(DesktopSection)" DesktopShortcut
    CreateShortcut "$DESKTOP\${PRODUCT}.lnk" "$INSTDIR\velmora.exe"
    DetailPrint "shortcut: $DESKTOP\${PRODUCT}.lnk"
SectionEnd

; After the sections, whose numbers these need.
!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
    !insertmacro MUI_DESCRIPTION_TEXT ${Program} $(ProgramDescription)
    !insertmacro MUI_DESCRIPTION_TEXT ${DesktopShortcut} $(DesktopDescription)
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
    SetShellVarContext all
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
        MessageBox MB_ICONSTOP "$(NotAdmin)" /SD IDOK
        SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
        Quit
    ${EndIf}
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/DESKTOP" $1
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${DesktopShortcut}
    ${EndIf}
FunctionEnd

Function un.onInit
    SetShellVarContext all
FunctionEnd

; Only the files the installer put there: a folder chosen by hand may hold others.
Section "Uninstall"
    DetailPrint 'firewall: netsh advfirewall firewall delete rule name="${FIREWALL_RULE}"'
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${FIREWALL_RULE}"'
    Pop $0
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    Delete "$DESKTOP\${PRODUCT}.lnk"
    Delete "$INSTDIR\velmora.exe"
    Delete "$INSTDIR\qmain_zh.qm"
    Delete "$INSTDIR\icon.png"
    Delete "$INSTDIR\COPYING.txt"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\install.log"
    RMDir /r "$INSTDIR\licences"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegValue HKLM "Software\Classes\.mp4\OpenWithProgids" "${OPEN_WITH_TYPE}"
    DeleteRegKey HKLM "Software\Classes\${OPEN_WITH_TYPE}"
    DeleteRegKey HKLM "Software\Classes\Applications\velmora.exe"
SectionEnd
