// Text: arguments to UTF-16, full paths.
#include "platform/win32/backend.h"

uint32_t platform_argument_to_wide(const char* text, WideChar* out, uint32_t capacity) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, (WCHAR*)out, (int)capacity);
    return n > 0 ? (uint32_t)n : 0;
}

uint32_t platform_full_path(const WideChar* path, WideChar* out, uint32_t capacity) {
    return GetFullPathNameW((const WCHAR*)path, capacity, (WCHAR*)out, NULL);
}

WideChar platform_foreign_separator() { return 0; }

bool platform_windows_names() { return true; }

bool platform_names_ignore_case() { return true; }

// The table NTFS and CompareStringOrdinal's ignore-case compare by, one unit
// at a time, as the system itself upper-cases a name.
void platform_upcase_name(const WideChar* name, uint32_t units, WideChar* out) {
    typedef WCHAR(NTAPI * UpcaseChar)(WCHAR);
    static UpcaseChar upcase =
        (UpcaseChar)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlUpcaseUnicodeChar");
    for (uint32_t i = 0; i < units; i++) out[i] = upcase ? (WideChar)upcase((WCHAR)name[i]) : name[i];
}

WideChar platform_escaped_byte_base() { return 0; }
