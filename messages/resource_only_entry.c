/* Entry point of the resource-only message DLL: it has no code to start. */
#include <windows.h>

BOOL WINAPI ResourceOnlyEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}
