// Console and command-line helpers for the runner.
#ifndef RUNNER_UTILS_H_
#define RUNNER_UTILS_H_

#include <string>
#include <vector>

// Makes a console for the process and sends stdout and stderr to it.
void CreateAndAttachConsole();

// |utf16| in UTF-8; empty when it cannot be converted.
std::string Utf8FromUtf16(const wchar_t* utf16);

// The command line's arguments, without the program, in UTF-8.
std::vector<std::string> GetCommandLineArguments();

#endif  // RUNNER_UTILS_H_
