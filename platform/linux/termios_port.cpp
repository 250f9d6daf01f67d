// Placeholder until the termios backend lands: every open fails.
#include "serial/win32_api.h"

extern "C" {
HANDLE CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) { return INVALID_HANDLE_VALUE; }
BOOL CloseHandle(HANDLE) { return 0; }
BOOL GetCommState(HANDLE, LPDCB) { return 0; }
BOOL SetCommState(HANDLE, LPDCB) { return 0; }
BOOL GetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) { return 0; }
BOOL SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) { return 0; }
BOOL SetupComm(HANDLE, DWORD, DWORD) { return 0; }
BOOL ClearCommError(HANDLE, LPDWORD, LPCOMSTAT) { return 0; }
BOOL EscapeCommFunction(HANDLE, DWORD) { return 0; }
BOOL ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) { return 0; }
BOOL WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) { return 0; }
void Sleep(DWORD) {}
}
