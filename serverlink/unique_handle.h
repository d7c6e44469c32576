// Owns a kernel handle for the length of a scope.
#ifndef QUARCTL_UNIQUE_HANDLE_H
#define QUARCTL_UNIQUE_HANDLE_H

#include <windows.h>

class UniqueHandle {
public:
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    // Closes only a handle it has, so a failed open's error survives.
    ~UniqueHandle() {
        if (handle_ != NULL) CloseHandle(handle_);
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    HANDLE get() const { return handle_; }
    // Gives the handle up, to be closed by the caller.
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = NULL;
        return handle;
    }

private:
    HANDLE handle_;
};

#endif
