// Who may change the programs quarctl-session starts, read from the files
// themselves: a service must not run what a user can replace.
#ifndef QUARCTL_SESSION_FOLDER_H
#define QUARCTL_SESSION_FOLDER_H

#include <windows.h>

#include <stddef.h>

#include "choice.h"

// The first of quarctl.exe, quarctl-session.exe and their folder that an
// account other than SYSTEM, Administrators and TrustedInstaller may change.
struct FolderCheck {
    bool safe;
    DWORD error;           // a security descriptor that could not be read, else 0
    char object[MAX_PATH]; // the file or folder found unsafe, or unread
    char account[300];     // who may change it
};

// "DOMAIN\name (S-1-...)" for an account; NULL is everyone, as a NULL
// DACL allows.
void AccountName(PSID account, char* text, size_t size);

// Who an unsafe verdict names: its account, or the entry it could not read.
void ChangerName(const ChangeRight& right, char* text, size_t size);

// Checks quarctl.exe through tool, a handle the caller opened with
// GENERIC_READ and keeps open so that the file cannot be swapped until it
// has started, then the bridge beside it, then their folder.
FolderCheck CheckToolFolder(HANDLE tool, const CheckedObjects& objects);

// How the check reads an object's owner and DACL into a LocalAlloc'd
// descriptor: through handle where it is given, else by path. Returns a
// Win32 error, or ERROR_SUCCESS.
using SecurityReader = DWORD (*)(HANDLE handle, const char* path, PSECURITY_DESCRIPTOR* descriptor);
DWORD ReadSecurity(HANDLE handle, const char* path, PSECURITY_DESCRIPTOR* descriptor);

// CheckToolFolder's run: each of objects in ObjectsToCheck's order, read
// through read (quarctl.exe through tool) and judged, up to the first
// that is unsafe or cannot be read.
FolderCheck JudgeObjects(HANDLE tool, const CheckedObjects& objects, SecurityReader read);

// The same for the quarctl.exe at toolPath, opened here: *objects as
// ObjectsToCheck cuts them (empty where the path names no folder), with
// bridge, where given, as the program beside it; *openError set where
// quarctl.exe could not be opened, else 0.
FolderCheck CheckFolderAt(const char* toolPath, CheckedObjects* objects, DWORD* openError,
                          const char* bridge = NULL);

#endif
