/* What an attacker leaves where the installer might pick it up: a DLL beside the programs, a
 * program of ours on PATH or in the current folder, a command interpreter named by COMSPEC.
 * Whatever runs of it leaves a mark, C:\planted\<its file name>.ran, for the test to find; a
 * program also answers "success" in the way a counterpart would, so that using it would look
 * like a success.  Built as a DLL with -DPLANTED_DLL, else as a program. */
#include <windows.h>

static void leave_mark(HMODULE module) {
  char path[MAX_PATH];
  char mark[MAX_PATH + 32];
  const char *name;
  HANDLE file;
  DWORD written = 0;
  if (GetModuleFileNameA(module, path, sizeof path) == 0) lstrcpyA(path, "unknown");
  name = path + lstrlenA(path);
  while (name > path && name[-1] != '\\' && name[-1] != '/') --name;
  CreateDirectoryA("C:\\planted", NULL);
  wsprintfA(mark, "C:\\planted\\%s.ran", name);
  file = CreateFileA(mark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    WriteFile(file, path, (DWORD)lstrlenA(path), &written, NULL);
    CloseHandle(file);
  }
}

#ifdef PLANTED_DLL
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) leave_mark(instance);
  return TRUE;
}
#else
int main(int argc, char **argv) {
  leave_mark(NULL);
  /* A counterpart's answer: success, nothing to restart. */
  if (argc >= 3) {
    HANDLE file = CreateFileA(argv[argc - 1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, "1\r\nR\r\n0\r\n:\r\n0\r\n:\r\n0\r\n", 23, &written, NULL);
      CloseHandle(file);
    }
  }
  (void)argv;
  return 0;
}
#endif
