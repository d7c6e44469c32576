// The MSI's check of its install folder, a custom action that runs before
// anything is installed: the QuarctlSession service runs quarctl-session.exe
// from there as LocalSystem, so whoever may change that folder may run
// anything as SYSTEM. Program Files is only administrators'; any other
// INSTALLDIR must already exist and let only SYSTEM, Administrators and
// TrustedInstaller change it, as the bridge's own folder check judges it.
#include <windows.h>

#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <stdio.h>
#include <string.h>

#include "../session/choice.h"
#include "../session/folder.h"

namespace {

// A property's value, or "" when it cannot be read or does not fit.
void Property(MSIHANDLE install, const char* name, char* value, DWORD size) {
    if (MsiGetPropertyA(install, name, value, &size) != ERROR_SUCCESS) value[0] = '\0';
}

// A line in the installer's log, or its error message where error is set:
// [1] as the template, so that nothing in text is read as a property.
void Say(MSIHANDLE install, bool error, const char* text) {
    const MSIHANDLE record = MsiCreateRecord(1);
    if (record == 0) return;
    MsiRecordSetStringA(record, 0, "[1]");
    MsiRecordSetStringA(record, 1, text);
    MsiProcessMessage(install, error ? static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK) : INSTALLMESSAGE_INFO,
                      record);
    MsiCloseHandle(record);
}

bool Under(const char* path, const char* parent) {
    const size_t length = strlen(parent);
    return length > 0 && _strnicmp(path, parent, length) == 0;
}

// Why folder (INSTALLDIR, without its trailing backslash) is unfit, into
// why; false when it is fit.
bool Unfit(const char* folder, char* why, size_t size) {
    const char* advice = "Install into Program Files (leave INSTALLDIR unset), or into a folder that already exists "
                         "and that only SYSTEM, Administrators and TrustedInstaller can change.";
    const DWORD attributes = GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        _snprintf(why, size, "%s does not exist yet, so who may change it cannot be known. %s", folder, advice);
        why[size - 1] = '\0';
        return true;
    }
    PSECURITY_DESCRIPTOR descriptor = NULL;
    const DWORD error = GetNamedSecurityInfoA(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION |
                                              DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL, &descriptor);
    if (error != ERROR_SUCCESS) {
        _snprintf(why, size, "who may change %s could not be read (error %lu). %s", folder, error, advice);
        why[size - 1] = '\0';
        return true;
    }
    const ChangeRight right = WhoMayChange(descriptor, true);
    char account[300] = "";
    if (!right.safe) ChangerName(right, account, sizeof account); // its SID lies in the descriptor
    LocalFree(descriptor);
    if (right.safe) return false;
    _snprintf(why, size, "%s can be changed by %s. %s", folder, account, advice);
    why[size - 1] = '\0';
    return true;
}

} // namespace

// The custom action: ERROR_SUCCESS for a fit INSTALLDIR, else
// ERROR_INSTALL_FAILURE once the error message and the log say why.
extern "C" __declspec(dllexport) UINT __stdcall CheckInstallFolder(MSIHANDLE install) {
    char folder[MAX_PATH + 2];
    char programFiles[MAX_PATH + 2];
    char programFiles64[MAX_PATH + 2];
    Property(install, "INSTALLDIR", folder, sizeof folder);
    Property(install, "ProgramFilesFolder", programFiles, sizeof programFiles);
    Property(install, "ProgramFiles64Folder", programFiles64, sizeof programFiles64);
    char text[3 * MAX_PATH + 512];
    // Its parts are Windows' own: a user can change none of them.
    if (Under(folder, /*parent=*/programFiles) || Under(folder, /*parent=*/programFiles64)) {
        _snprintf(text, sizeof text, "QUARCTL folder check: %s is in Program Files.", folder);
        text[sizeof text - 1] = '\0';
        Say(install, false, text);
        return ERROR_SUCCESS;
    }
    size_t length = strlen(folder);
    while (length > 3 && folder[length - 1] == '\\') folder[--length] = '\0'; // C:\ keeps its backslash
    char why[3 * MAX_PATH + 256];
    if (length == 0) {
        _snprintf(why, sizeof why, "INSTALLDIR names no folder.");
        why[sizeof why - 1] = '\0';
    } else if (!Unfit(folder, why, sizeof why)) {
        _snprintf(text, sizeof text, "QUARCTL folder check: only SYSTEM, Administrators and TrustedInstaller can "
                  "change %s.", folder);
        text[sizeof text - 1] = '\0';
        Say(install, false, text);
        return ERROR_SUCCESS;
    }
    _snprintf(text, sizeof text, "QUARCTL cannot be installed into %s: its QuarctlSession service runs from there as "
              "LocalSystem, and %s", folder, why);
    text[sizeof text - 1] = '\0';
    Say(install, false, text);
    Say(install, true, text);
    return ERROR_INSTALL_FAILURE;
}
