/* Keeps one wine session alive for a whole test run: its wineserver, and the
   desktop process that the first window of a session starts. Without it every
   test program starts and stops them anew. Ended by `wine-env.sh down`. */
#include <windows.h>

int main(void) {
  /* A message-only window brings the desktop up now rather than in a test. */
  CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
  Sleep(INFINITE);
  return 0;
}
