// Console and process: the program's own console streams, its console control
// handler, the path of its own executable, sleeping and ending the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/owned_handle.h"

namespace platform {

// Writes wide text to standard output or standard error. A console gets the
// text as UTF-16; a file or pipe gets it as UTF-8 bytes, with no line-ending
// translation. Returns false when the text could not be written in full.
bool WriteStdout(const std::wstring& text);
bool WriteStderr(const std::wstring& text);

// Called on the console's control thread with the event number (0 Ctrl+C,
// 1 Ctrl+Break, 2 close, ...). Returns whether the event was handled.
using ConsoleControlHandler = bool (*)(uint32_t event);

// Installs |handler| as the process's console control handler (one at a time;
// a later call replaces it). Returns false and sets |error_code| on failure.
bool InstallConsoleControlHandler(ConsoleControlHandler handler, uint32_t* error_code);

// Full path of the running executable, read into a buffer of |buffer_chars|
// characters. Returns false (with the system error code) when it fails or the
// path does not fit.
bool GetOwnModulePath(size_t buffer_chars, std::wstring* path, uint32_t* error_code);

// The SID text of the account this process runs as (its token's user):
// "S-1-5-18" for a service run as the system account.
bool ProcessUserSid(std::wstring* sid, uint32_t* error_code);

// Sends text to an attached debugger (OutputDebugStringW); nothing happens
// without one.
void WriteDebuggerOutput(const std::wstring& text);

// The wall clock, in whole seconds since 1970 (UTC). Unlike a sum of sleeps it
// also counts time the machine spent asleep.
int64_t UnixTimeSeconds();

// A clock for bounds on waits: milliseconds since some start, never going
// back, not counting the machine's own sleep.
uint64_t SteadyMilliseconds();

// Blocks the calling thread for |milliseconds|.
void SleepMilliseconds(uint32_t milliseconds);

// Another process, held open so that its id cannot be given to another
// process meanwhile: the last resort for a service that will not stop is
// ended through it, and only after the service was seen to run in it still.
void CloseProcess(uintptr_t process);
using ProcessHandle = OwnedHandle<CloseProcess>;
// OpenProcess with the rights to end it and wait for it.
bool OpenProcessToEnd(uint32_t process_id, ProcessHandle* process, uint32_t* error_code);
// TerminateProcess: ends it at once with |exit_code|.
bool EndOpenProcess(const ProcessHandle& process, uint32_t exit_code, uint32_t* error_code);
// Whether it has ended within |timeout_ms|.
bool WaitForProcessEnd(const ProcessHandle& process, uint32_t timeout_ms);

// Ends this process at once with |exit_code|: no destructors, no exit
// handlers, no flushing of buffered streams.
[[noreturn]] void TerminateCurrentProcess(uint32_t exit_code);

}  // namespace platform
