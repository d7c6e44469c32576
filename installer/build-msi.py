#!/usr/bin/python3
"""Builds the Windows Installer package of one architecture, reproducibly.

  build-msi.py --payload DIR --folder-check DLL --arch x64|x86 --version X.Y.Z --epoch SECONDS --out FILE

DIR holds the files the package installs; DLL is the custom action that
checks a chosen install folder, which the package carries but does not
install. wixl makes the package; msibuild
adds the system PATH entry, which wixl cannot write. wixl gives each build
new codes and times, so they are pinned here: the ProductCode is a
name-based UUID of architecture and version, the payload's times (which
the cabinet keeps) and the summary information's times are SECONDS since
1970, and the PackageCode is a name-based UUID of the package's own bytes,
so that it changes whenever they do.
"""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid

import olefile

# All of the project's name-based UUIDs are made in this namespace.
NAMESPACE = uuid.UUID("6d1f7a52-3c0e-4b8e-9a57-2f04c1d8e913")
# Fixed for ever, one per architecture: Windows Installer finds the
# versions to replace by it.
UPGRADE_CODES = {"x64": "014096BF-D307-476C-A81D-71CFAE42DB1D", "x86": "A02467DE-F17C-438D-94F2-27E60801BF00"}
FILES = ["quarctl.exe", "quarctl-doctor.exe", "quarctl-session.exe", "ensure-running.cmd", "close-and-wait.cmd",
         "check_quarvel.cmd", "quarvel-status.ps1", "quarvel-detect.ps1", "quarvel-remediate.ps1",
         "register-start-task.ps1", "register-textfile-task.ps1", "quarvel-textfile.ps1",
         "zabbix/quarvel_by_quarctl.yaml", "zabbix/quarvel.conf", "README.md", "LICENSE", "THIRD-PARTY-NOTICES.txt",
         "docs/development.md", "docs/doctor.md", "docs/examples.md", "docs/fleet.md", "docs/protocol.md",
         "docs/release.md"]

# Appends the install folder to the system PATH on install ("=" set, "*"
# system-wide, "[~];" after the existing value) and takes it out on
# uninstall ("-"), with the actions at their standard places in the sequence.
ENVIRONMENT_SQL = [
    "CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, "
    "`Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)",
    "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) "
    "VALUES ('SystemPath', '=-*PATH', '[~];[INSTALLDIR]', 'quarctl.exe')",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)",
]

# The QuarctlSession service holds only the privileges its calls need
# (docs/fleet.md says why each), and only SYSTEM and Administrators may
# start, stop or change it: Windows Installer 5.0's MsiServiceConfig and
# MsiLockPermissionsEx tables, which wixl cannot write, applied by
# MsiConfigureServices between InstallServices and StartServices and by
# InstallServices itself.
SERVICE_PRIVILEGES = ["SeTcbPrivilege", "SeAssignPrimaryTokenPrivilege", "SeIncreaseQuotaPrivilege",
                      "SeImpersonatePrivilege", "SeChangeNotifyPrivilege"]
SERVICE_SDDL = ("D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
                "(A;;CCLCSWLORC;;;IU)(A;;CCLCSWLORC;;;SU)(A;;CCLCSWLORC;;;AU)")
SERVICE_SQL = [
    "CREATE TABLE `MsiServiceConfig` (`MsiServiceConfig` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL, "
    "`Event` SHORT NOT NULL, `ConfigType` LONG NOT NULL, `Argument` LONGCHAR, `Component_` CHAR(72) NOT NULL "
    "PRIMARY KEY `MsiServiceConfig`)",
    # Event 5: on install and on reinstall; ConfigType 6: SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO.
    "INSERT INTO `MsiServiceConfig` (`MsiServiceConfig`, `Name`, `Event`, `ConfigType`, `Argument`, `Component_`) "
    f"VALUES ('QuarctlSessionPrivileges', 'QuarctlSession', 5, 6, '{'[~]'.join(SERVICE_PRIVILEGES)}', "
    "'quarctl_session.exe')",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
    "VALUES ('MsiConfigureServices', 'VersionNT', 5850)",
    "CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, `LockObject` CHAR(72) NOT NULL, "
    "`Table` CHAR(32) NOT NULL, `SDDLText` LONGCHAR NOT NULL, `Condition` CHAR(255) "
    "PRIMARY KEY `MsiLockPermissionsEx`)",
    "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`) "
    f"VALUES ('QuarctlSessionAccess', 'QuarctlSession', 'ServiceInstall', '{SERVICE_SDDL}')",
]

SUMMARY_STREAM = "\x05SummaryInformation"
PID_REVNUMBER = 9  # the PackageCode
PID_CREATE_DTM = 12
PID_LASTSAVE_DTM = 13
VT_LPSTR = 30
VT_FILETIME = 64


def name_uuid(name):
    return "{" + str(uuid.uuid5(NAMESPACE, name)).upper() + "}"


def property_offsets(stream):
    """Where each property's value lies in a one-section property set: {id: (type, offset)}."""
    section = struct.unpack_from("<I", stream, 44)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    offsets = {}
    for i in range(count):
        pid, offset = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        vtype = struct.unpack_from("<I", stream, section + offset)[0]
        offsets[pid] = (vtype, section + offset + 4)
    return offsets


def pin_summary(path, epoch, package_code):
    """Sets the summary information's times and PackageCode in place, at their own lengths."""
    with olefile.OleFileIO(path, write_mode=True) as ole:
        stream = bytearray(ole.openstream(SUMMARY_STREAM).read())
        offsets = property_offsets(stream)
        filetime = (epoch + 11644473600) * 10_000_000
        for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
            vtype, at = offsets[pid]
            assert vtype == VT_FILETIME, f"summary property {pid} has type {vtype}"
            struct.pack_into("<Q", stream, at, filetime)
        vtype, at = offsets[PID_REVNUMBER]
        assert vtype == VT_LPSTR, f"the PackageCode has type {vtype}"
        length = struct.unpack_from("<I", stream, at)[0]
        code = package_code.encode("ascii") + b"\0"
        assert len(code) == length, f"a PackageCode of {length} bytes, not {len(code)}"
        stream[at + 4:at + 4 + length] = code
        ole.write_stream(SUMMARY_STREAM, bytes(stream))


def run(command, cwd=None):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"build-msi: {' '.join(command)} failed:\n{result.stdout}{result.stderr}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--payload", required=True)
    parser.add_argument("--folder-check", required=True)
    parser.add_argument("--arch", required=True, choices=["x64", "x86"])
    parser.add_argument("--version", required=True)
    parser.add_argument("--epoch", required=True, type=int)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    wxs = os.path.join(os.path.dirname(os.path.abspath(__file__)), "quarctl.wxs")

    with tempfile.TemporaryDirectory() as work:
        # wixl takes Source paths relative to where it runs, and the
        # cabinet takes each file's modification time.
        for name in FILES:
            source = os.path.join(args.payload, name)
            if not os.path.isfile(source):
                sys.exit(f"build-msi: {source} is missing")
            os.makedirs(os.path.dirname(os.path.join(work, name)), exist_ok=True)
            shutil.copyfile(source, os.path.join(work, name))
            os.utime(os.path.join(work, name), (args.epoch, args.epoch))
        shutil.copyfile(args.folder_check, os.path.join(work, "quarctl-folder-check.dll"))
        os.utime(os.path.join(work, "quarctl-folder-check.dll"), (args.epoch, args.epoch))
        defines = {
            "Arch": args.arch,
            "Version": args.version,
            "ProductCode": name_uuid(f"product {args.arch} {args.version}"),
            "UpgradeCode": "{" + UPGRADE_CODES[args.arch] + "}",
            "ProgramFiles": "ProgramFiles64Folder" if args.arch == "x64" else "ProgramFilesFolder",
            "Win64": "yes" if args.arch == "x64" else "no",
        }
        for name in FILES:
            key = "Guid_" + "".join(c if c.isalnum() else "_" for c in name)
            defines[key] = name_uuid(f"component {args.arch} {name}")
        msi = os.path.join(work, "package.msi")
        command = ["wixl", "-a", args.arch, "-o", msi]
        for key, value in defines.items():
            command += ["-D", f"{key}={value}"]
        run(command + [wxs], cwd=work)
        for query in ENVIRONMENT_SQL + SERVICE_SQL:
            run(["msibuild", msi, "-q", query])

        # The PackageCode is made from the bytes with a fixed one in its place.
        pin_summary(msi, args.epoch, "{" + "0" * 8 + "-0000-0000-0000-" + "0" * 12 + "}")
        with open(msi, "rb") as package:
            digest = hashlib.sha256(package.read()).hexdigest()
        pin_summary(msi, args.epoch, name_uuid(f"package {digest}"))
        shutil.copyfile(msi, args.out)


if __name__ == "__main__":
    main()
