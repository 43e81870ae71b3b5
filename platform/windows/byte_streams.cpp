#include "platform/byte_streams.h"

#include <fcntl.h>
#include <cerrno>
#include <io.h>
#include <windows.h>

// Text mode would turn every 0x0A into 0x0D 0x0A and stop reading at 0x1A. Writes to a
// closed pipe already just fail here; there is no signal to ignore.
void byte_streams_open() {
  _setmode(0, _O_BINARY);
  _setmode(1, _O_BINARY);
}

// The C library's errno for a closed pipe differs between runtimes (EPIPE, or EINVAL);
// the system's own error of the failed write says it for certain. Windows reports
// ERROR_NO_DATA, Wine ERROR_PIPE_NOT_CONNECTED.
bool write_found_pipe_closed(int error) {
  const DWORD system_error = GetLastError();
  return error == EPIPE || system_error == ERROR_NO_DATA || system_error == ERROR_BROKEN_PIPE ||
         system_error == ERROR_PIPE_NOT_CONNECTED;
}
