// Last-error value, errno mapping and system message texts for the POSIX side.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "errno_map.h"

namespace {

thread_local DWORD t_lastError = 0;

constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kErrorTooManyOpenFiles = 4;
constexpr DWORD kErrorDiskFull = 112;
constexpr DWORD kErrorBusy = 170;
constexpr DWORD kErrorFilenameTooLong = 206;
constexpr DWORD kErrorMrMidNotFound = 317;
constexpr DWORD kErrorIoDevice = 1117;

struct MessageEntry {
  DWORD id;
  const char* text;
};

// English system texts, as the system hands them out (ending in CR LF).
const MessageEntry kMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {21, "The device is not ready.\r\n"},
    {22, "The device does not recognize the command.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {50, "The request is not supported.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {995,
     "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {996, "Overlapped I/O event is not in a signaled state.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1167, "The device is not connected.\r\n"},
    {1400, "Invalid window handle.\r\n"},
    {1444, "The thread identifier is invalid.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
};

const char* FindMessage(DWORD id) {
  for (const MessageEntry& e : kMessages) {
    if (e.id == id) return e.text;
  }
  return nullptr;
}

}  // namespace

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

DWORD KvWin32ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case EBUSY:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case ENOBUFS:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EINVAL:
    case ERANGE:
      return ERROR_INVALID_PARAMETER;
    case ENOTTY:
      return kErrorInvalidFunction;
    case ENOSYS:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case ENOSPC:
      return kErrorDiskFull;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case EAGAIN:
      return kErrorBusy;
    case EINTR:
    case ECANCELED:
      return ERROR_OPERATION_ABORTED;
    case EIO:
      return kErrorIoDevice;
    case ENXIO:
    case ENODEV:
      return ERROR_DEVICE_NOT_CONNECTED;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    default:
      return ERROR_GEN_FAILURE;
  }
}

void KvSetLastErrorFromErrno(int err) { SetLastError(KvWin32ErrorFromErrno(err)); }

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments) {
  (void)lpSource;
  (void)dwLanguageId;
  (void)Arguments;
  if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (dwFlags & FORMAT_MESSAGE_FROM_STRING) != 0 ||
      lpBuffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* text = FindMessage(dwMessageId);
  if (text == nullptr) {
    SetLastError(kErrorMrMidNotFound);
    return 0;
  }
  const size_t len = std::strlen(text);
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    // lpBuffer is really a char** receiving storage that LocalFree releases.
    size_t cap = len + 1;
    if (cap < nSize) cap = nSize;
    char* mem = static_cast<char*>(std::malloc(cap));
    if (mem == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(mem, text, len + 1);
    *reinterpret_cast<char**>(lpBuffer) = mem;
    return static_cast<DWORD>(len);
  }
  if (len + 1 > nSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, text, len + 1);
  return static_cast<DWORD>(len);
}

HANDLE LocalFree(HANDLE hMem) {
  std::free(hMem);
  return nullptr;
}
