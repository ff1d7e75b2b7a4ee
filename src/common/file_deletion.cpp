#include "common/file_deletion.h"

#include "platform/port.h"

FileDeletion delete_or_schedule(const char* path, bool until_restart) {
  port::SetFileAttributesA(path, port::FILE_ATTRIBUTE_NORMAL);
  if (!until_restart) {
    if (port::DeleteFileA(path)) return FileDeletion::gone;
    port::DWORD error = port::GetLastError();
    if (error == port::ERROR_FILE_NOT_FOUND || error == port::ERROR_PATH_NOT_FOUND) return FileDeletion::gone;
  }
  if (port::MoveFileExA(path, nullptr, port::MOVEFILE_DELAY_UNTIL_REBOOT)) return FileDeletion::at_restart;
  return FileDeletion::stayed;
}
