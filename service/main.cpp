#include <string>
#include <vector>

#include "command_line.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return quorvane::RunCommandLine(args);
}
