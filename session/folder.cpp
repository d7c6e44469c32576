#include "folder.h"

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

#include "../serverlink/unique_handle.h"
#include "choice.h"

void AccountName(PSID account, char* text, size_t size) {
    if (account == NULL) {
        _snprintf(text, size, "everyone (it has no DACL)");
        text[size - 1] = '\0';
        return;
    }
    char name[128] = "";
    char domain[128] = "";
    DWORD nameSize = sizeof name;
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use;
    const bool named = LookupAccountSidA(NULL, account, name, &nameSize, domain, &domainSize, &use) != 0;
    char* sid = NULL;
    if (!ConvertSidToStringSidA(account, &sid)) sid = NULL;
    if (named) {
        _snprintf(text, size, "%s%s%s (%s)", domain, domain[0] == '\0' ? "" : "\\", name, sid == NULL ? "?" : sid);
    } else {
        _snprintf(text, size, "%s", sid == NULL ? "an account that cannot be named" : sid);
    }
    text[size - 1] = '\0';
    if (sid != NULL) LocalFree(sid);
}

void ChangerName(const ChangeRight& right, char* text, size_t size) {
    if (!right.unreadAce) {
        AccountName(right.account, text, size);
        return;
    }
    _snprintf(text, size, "an account in an entry of its DACL that cannot be read");
    text[size - 1] = '\0';
}

namespace {

// Reads the descriptor's verdict into check; false when it is unsafe.
bool Checked(DWORD error, PSECURITY_DESCRIPTOR descriptor, bool folder, const char* path, FolderCheck* check) {
    _snprintf(check->object, sizeof check->object, "%s", path);
    check->object[sizeof check->object - 1] = '\0';
    if (error != ERROR_SUCCESS) {
        check->error = error;
        return false;
    }
    const ChangeRight right = WhoMayChange(descriptor, folder);
    if (!right.safe) ChangerName(right, check->account, sizeof check->account);
    LocalFree(descriptor);
    return right.safe;
}

} // namespace

DWORD ReadSecurity(HANDLE handle, const char* path, PSECURITY_DESCRIPTOR* descriptor) {
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    *descriptor = NULL;
    if (handle != NULL) return GetSecurityInfo(handle, SE_FILE_OBJECT, what, NULL, NULL, NULL, NULL, descriptor);
    return GetNamedSecurityInfoA(path, SE_FILE_OBJECT, what, NULL, NULL, NULL, NULL, descriptor);
}

FolderCheck JudgeObjects(HANDLE tool, const CheckedObjects& objects, SecurityReader read) {
    FolderCheck check = {};
    const struct {
        const char* path;
        HANDLE handle;
        bool folder;
    } list[] = {{objects.tool, tool, false}, {objects.bridge, NULL, false}, {objects.folder, NULL, true}};
    for (const auto& object : list) {
        PSECURITY_DESCRIPTOR descriptor = NULL;
        const DWORD error = read(object.handle, object.path, &descriptor);
        if (!Checked(error, descriptor, object.folder, object.path, &check)) return check;
    }
    check.object[0] = '\0';
    check.safe = true;
    return check;
}

FolderCheck CheckToolFolder(HANDLE tool, const CheckedObjects& objects) {
    return JudgeObjects(tool, objects, ReadSecurity);
}

FolderCheck CheckFolderAt(const char* toolPath, CheckedObjects* objects, DWORD* openError, const char* bridge) {
    FolderCheck check = {};
    *openError = 0;
    if (!ObjectsToCheck(toolPath, objects) || (bridge != NULL && strlen(bridge) >= sizeof objects->bridge)) {
        *objects = CheckedObjects();
        *openError = ERROR_BAD_PATHNAME;
        return check;
    }
    if (bridge != NULL) memcpy(objects->bridge, bridge, strlen(bridge) + 1);
    UniqueHandle tool(CreateFileA(toolPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL));
    if (tool.get() == INVALID_HANDLE_VALUE) {
        tool.release();
        *openError = GetLastError();
        return check;
    }
    return CheckToolFolder(tool.get(), *objects);
}
