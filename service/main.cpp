#include <string>
#include <vector>

#include "host/command_line.h"
#include "platform/library.h"

int wmain(int argc, wchar_t** argv) {
  // Before anything loads a library: a privileged process takes libraries
  // from its own folder and System32 only.
  uint32_t error_code = 0;
  platform::RestrictLibrarySearch(&error_code);
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return quorvane::RunCommandLine(args);
}
