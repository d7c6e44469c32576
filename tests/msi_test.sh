#!/bin/sh
# The MSI round trip under Wine's msiexec, in a Wine prefix of its own
# (installing changes it): an install folder that users can change refused,
# install a signed 1.1.0, the tool on PATH, an upgrade to 1.2.0, a
# downgrade refused, and an uninstall that takes the files, the PATH entry
# and the service away.
#   msi_test.sh SOURCE BIN WORK ARCH [NO-RUN-REASON]
# NO-RUN-REASON, when given, says why the installed programs cannot run
# here (32-bit programs without Wine's 32-bit half): the MSI's folder check
# is such a program, so only the package's tables are checked.
set -eu
SOURCE=$1 BIN=$2 WORK=$3 ARCH=$4 NO_RUN=${5:-}
. "$SOURCE/tests/release-lib.sh"
rm -rf "$WORK" "$WORK.lock"
mkdir -p "$WORK"
cd "$WORK"
prefix=$WORK/wineprefix
wine_run() { "$SOURCE/cmake/wine-run.sh" "$prefix" "$@"; }
# msiexec takes Windows paths: Wine shows the host's root as drive Z:.
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

make_key key
make_payload payload
build_msi payload 1.1.0 old-unsigned.msi
sh "$SOURCE/installer/sign.sh" old-unsigned.msi old.msi
build_msi payload 1.2.0 new.msi
wine_run --init

if [ "$ARCH" = x64 ]; then
  folder='C:\Program Files\QUARCTL\'
  files="$prefix/drive_c/Program Files/QUARCTL"
  products='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
else
  folder='C:\Program Files (x86)\QUARCTL\'
  files="$prefix/drive_c/Program Files (x86)/QUARCTL"
  products='HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
fi

# msiexec OPTION MSI STATUS [PROPERTY=VALUE]: its log in msiexec.log.
msiexec() {
  status=0
  wine_run msiexec "$1" "$(windows_path "$WORK/$2")" /qn ${4:+"$4"} /l*v "$(windows_path "$WORK/msiexec.log")" ||
    status=$?
  [ "$status" -eq "$3" ] || { echo "        msiexec $1 $2 $4: status $status, not $3"; return 1; }
}
# The folder check runs, as a DLL from the Binary table, before the files
# are costed into place and only when not uninstalling.
folder_check_sequenced() {
  msiinfo export old.msi CustomAction | tr -d '\r' | grep -qE '^CheckInstallFolder	(1|2049)	FolderCheck	CheckInstallFolder' &&
    msiinfo export old.msi InstallExecuteSequence | tr -d '\r' | awk -F '\t' '
      $1 == "CostFinalize" { cost = $3 } $1 == "InstallValidate" { validate = $3 }
      $1 == "CheckInstallFolder" && $2 == "NOT REMOVE~=\"ALL\"" { check = $3 }
      END { exit !(check > cost && check < validate) }' &&
    msiinfo streams old.msi | grep -qx Binary.FolderCheck
}
# The service's privileges, access list and event source, in the MSI's
# tables; MsiConfigureServices between InstallServices and StartServices.
service_tables() {
  msiinfo export old.msi MsiServiceConfig | tr -d '\r' | grep -qxF \
    "QuarctlSessionPrivileges	QuarctlSession	5	6	SeTcbPrivilege[~]SeAssignPrimaryTokenPrivilege[~]SeIncreaseQuotaPrivilege[~]SeImpersonatePrivilege[~]SeChangeNotifyPrivilege	quarctl_session.exe" &&
    msiinfo export old.msi MsiLockPermissionsEx | tr -d '\r' | grep -qxF \
      "QuarctlSessionAccess	QuarctlSession	ServiceInstall	D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLORC;;;IU)(A;;CCLCSWLORC;;;SU)(A;;CCLCSWLORC;;;AU)	" &&
    msiinfo export old.msi InstallExecuteSequence | tr -d '\r' | awk -F '\t' '
      { at[$1] = $3 } END { exit !(at["InstallServices"] < at["MsiConfigureServices"] &&
        at["MsiConfigureServices"] < at["StartServices"]) }' &&
    msiinfo export old.msi Registry | tr -d '\r' | grep -q 'EventLog\\Application\\QuarctlSession\\\{0,1\}	EventMessageFile	\[#quarctl_session.exe\]'
}
source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\QuarctlSession'
source_value() { wine_run reg query "$source_key" /v "$1" | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
source_registered() {
  [ "$(source_value EventMessageFile)" = "${folder}quarctl-session.exe" ] && [ "$(source_value TypesSupported)" = 0x7 ]
}
source_gone() { ! wine_run reg query "$source_key" >/dev/null 2>&1; }
log_says() { iconv -f UTF-16LE -t UTF-8 msiexec.log 2>/dev/null | tr -d '\r' | grep -qF "$1" || grep -qF "$1" msiexec.log; }
tools='C:\Tools\QUARCTL'
installed() {
  for file in $(cd payload && find . -type f); do
    [ -f "$files/$file" ] || { echo "        $file is missing"; return 1; }
  done
}
# The system PATH's elements, one a line, from the registry.
path_elements() {
  wine_run reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH | tr -d '\r' |
    sed -n 's/^ *PATH *REG_[A-Z_]* *//p' | tr ';' '\n'
}
path_ends_with_folder() { [ "$(path_elements | tail -n 1)" = "$folder" ]; }
path_lacks_folder() { ! path_elements | grep -qxF "$folder"; }
# Wine 8's cmd stops its PATH search at an empty element, so this holds
# only before the first upgrade leaves ";;" behind.
usage='
QUARCTL 1.1
A utility to control Quarvel for Windows.
Syntax is: QUARCTL [START|STOP|STATUS|CLOSE]'
tool_on_path() { [ "$(wine_run cmd /c quarctl | tr -d '\r')" = "$usage" ]; }
# The versions of QUARCTL registered as installed, one a line.
registered() {
  wine_run reg query "$products" /s | tr -d '\r' | awk '
    /^HKEY/ { name = ""; version = "" }
    /^ +DisplayName / { name = $3 }
    /^ +DisplayVersion / { version = $3 }
    name == "QUARCTL" && version != "" { print version; name = "" }'
}
only_registered() { [ "$(registered | xargs)" = "$1" ]; }
# The QuarctlSession service's registration, as the service control
# manager keeps it: its command line, start type (3, on demand), account
# and type (0x10, its own process). Windows Installer quotes the program's
# path; Wine 8's writes it bare, so the quotes are not compared.
service_key='HKLM\System\CurrentControlSet\Services\QuarctlSession'
service_value() { wine_run reg query "$service_key" /v "$1" | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
service_registered() {
  [ "$(service_value ImagePath | tr -d '"')" = "${folder}quarctl-session.exe --service" ] &&
    [ "$(service_value Start)" = 0x3 ] && [ "$(service_value ObjectName)" = LocalSystem ] &&
    [ "$(service_value Type)" = 0x10 ] || { echo "        $(wine_run reg query "$service_key" | tr -d '\r')"; return 1; }
}
service_gone() { ! wine_run reg query "$service_key" >/dev/null 2>&1; }

check "the MSI checks its install folder before it installs anything" folder_check_sequenced
check "the MSI gives the service its privileges, access list and event source" service_tables
if [ -n "$NO_RUN" ]; then
  echo "skipped the round trip: the MSI's folder check is a 32-bit DLL: $NO_RUN"
  finish
  exit 0
fi
# Wine gives every folder to its user, who is no administrator: such a
# folder is refused, with the reason in the log, and nothing is installed.
mkdir -p "$prefix/drive_c/Tools/QUARCTL"
check "an install folder that users can change is refused" msiexec /i old.msi 67 "INSTALLDIR=$tools"
check "the log says why" log_says "QUARCTL cannot be installed into $tools: its QuarctlSession service runs from there as LocalSystem, and $tools can be changed by "
check "the folder is left as it was, empty" eval '[ -d "$prefix/drive_c/Tools/QUARCTL" ] && [ -z "$(ls -A "$prefix/drive_c/Tools/QUARCTL")" ]'
check "nothing is registered after the refusal" only_registered ""
check "install 1.1.0, signed" msiexec /i old.msi 0
check "the log names the folder check's verdict" log_says "QUARCTL folder check: ${folder} is in Program Files."

check "its files are in Program Files" installed
check "the system PATH ends with its folder" path_ends_with_folder
if [ -z "$NO_RUN" ]; then
  check "a new cmd finds quarctl on PATH" tool_on_path
else
  echo "skipped a new cmd finds quarctl on PATH: $NO_RUN"
fi
check "the service is registered, to start on demand as LocalSystem" service_registered
check "its event source is registered, with the bridge's messages" source_registered
# Wine's msiexec runs MsiConfigureServices and applies no MsiLockPermissionsEx
# entry, and its service control manager keeps neither required privileges
# (QueryServiceConfig2A fails with 124) nor an access list of its own.
echo "not checked here: the privileges and the access list that Windows applies; Wine keeps neither"

check "1.1.0 is registered" only_registered 1.1.0
check "upgrade to 1.2.0" msiexec /i new.msi 0
check "only 1.2.0 is registered" only_registered 1.2.0
check "the files are still there" installed
check "the service is registered once more" service_registered
check "the system PATH still ends with its folder" path_ends_with_folder
# 1603, "fatal error", of which only the low byte survives Wine.
check "installing 1.1.0 over 1.2.0 is refused" msiexec /i old.msi 67
check "only 1.2.0 is still registered" only_registered 1.2.0
check "uninstall" msiexec /x new.msi 0
check "the files are gone" eval '[ ! -e "$files" ]'
check "the PATH entry is gone" path_lacks_folder
check "the service is gone" service_gone
check "its event source is gone" source_gone
check "nothing is registered" only_registered ""
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
finish
