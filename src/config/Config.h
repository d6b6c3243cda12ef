// Readers of Config.ini. Every setting is read from the file at the moment of use;
// only the two code-to-text tables ([TRANSNAMEDSP], [REEOR_INFORMITION]) are cached,
// and they reload when the file changes. All readers are safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// The [COM] settings, in key order.
struct ComConfig {
  uint32_t dwPort;      // ComPort, default 1
  uint32_t dwBaudRate;  // BaudRate, default 9600
  uint32_t dwByteSize;  // ByteSize, default 8
  uint32_t dwParity;    // Parity (DCB encoding), default 0
  uint32_t dwStopBits;  // StopBits (DCB encoding), default 0
};

// One line of a code-to-text table.
struct CodeTextItem {
  char szItemCode[10];   // at most 9 characters
  char szItemText[100];  // at most 99 characters
};

// Texts returned when a table has no entry for a code.
#define KV_DEFAULT_TRANS_NAME "未定义的交易类型"
#define KV_DEFAULT_REJ_EXPLAIN "无此返回码的错误说明"

// Buffer size GetPrintFileName needs: folder (259) + name (259) + terminator.
constexpr size_t kPrintFileNameSize = 519;

// Path of the configuration file every reader uses; ".\Config.ini" at load. A path
// that does not fit 260 bytes is refused: the readers then find no file.
void SetConfigFile(const char* path);
// Copies the current path into `out` (cut to `size`).
void GetConfigFile(char* out, size_t size);

// Fills the five [COM] values; a null pointer does nothing.
void ReadComConfig(ComConfig* config);
// [COM] Device into `out` (at most size - 1 characters): a device path to open instead of
// the one the port number names. Empty when missing. Returns the number of characters read.
size_t ReadComDevice(char* out, size_t size);
// [DEBUG_LOG] DebugLog, default 2; a value below 0 counts as 0.
int GetDebugLogLevel();
// Display name of a transaction type, from [TRANSNAMEDSP]; compares `length` bytes.
// Never null; the text stays valid for the life of the library.
const char* GetTransName(const char* code, int length);
// Reloads both code-to-text tables from the file now, whatever its time stamp (a lookup
// reloads them only when the file has changed). Each table section is read once.
void LoadCodeTextLists();
// Explanation of a response code, from [REEOR_INFORMITION]; as GetTransName.
const char* GetRejCodeExplain(const char* code, int length);
// [TXTFILENAME] FilePath (default ".\", a separator added) + FileName (default
// "print.txt") into `out`; creates the folder. Empty when the folder does not fit.
void GetPrintFileName(char* out, size_t size = kPrintFileNameSize);
// [TXTFILECONTENT] ContentNum, default 0.
int GetContentNum();
// [TXTFILECONTENT] key "%03d" of `number` into `buffer` (at most size - 1 characters),
// with "\n"/"\N" resolved to a line feed and "\\" to one backslash.
void ReadContentLine(char* buffer, int size, int number);
// [TCP] ConnTimeOut in seconds, default 20.
int GetConnTimeOut();
// [TCP] TradeTimeOut (seconds, default 60) in milliseconds.
int GetTradeTimeOut();

// Resolves the escapes of a template line in place (used by ReadContentLine).
void ResolveContentEscapes(char* text);
