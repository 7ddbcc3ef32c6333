// The Media SDK dispatcher linked into hwavc_enc.dll calls SetThreadErrorMode
// around each LoadLibrary; KERNEL32 has that function only from Windows 7 on,
// and a DLL that imports it does not load on Vista. The dispatcher's import
// slot for it is defined here, so the linker takes this one instead of the
// import library's: the DLL does not import the function, and each call looks
// it up and falls back to the process-wide SetErrorMode where it is missing.
#include <windows.h>

#include "hwavc_enc_internal.h"

BOOL hwavc_thread_error_mode(hwavc_set_thread_error_mode_func real, DWORD mode, DWORD *old_mode) {
  if (real) return real(mode, old_mode);
  UINT old = SetErrorMode(mode);
  if (old_mode) *old_mode = old;
  return TRUE;
}

namespace {

BOOL WINAPI set_thread_error_mode(DWORD mode, DWORD *old_mode) {
  FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadErrorMode");
  return hwavc_thread_error_mode((hwavc_set_thread_error_mode_func)(void *)found, mode, old_mode);
}

}  // namespace

extern "C" {
hwavc_set_thread_error_mode_func __imp_SetThreadErrorMode = set_thread_error_mode;
}
