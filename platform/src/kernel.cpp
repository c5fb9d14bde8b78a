// The kernel calls a Win32 program's entry makes: its module, its command
// line, and the end of the process.
#include <zentrafold/win32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Stands for the program's own module; only its address matters.
char programModule;

std::string& CommandLine() {
  static std::string line;
  return line;
}

// Joins argv the way a Windows command line reads: arguments separated by
// spaces, quoted when they hold a space, a tab or a quote (with the quote
// and the backslashes before it escaped).
std::string JoinArguments(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line += ' ';
    const char* argument = argv[i];
    if (argument[0] != '\0' && std::strpbrk(argument, " \t\"") == nullptr) {
      line += argument;
      continue;
    }
    line += '"';
    size_t backslashes = 0;
    for (const char* c = argument; *c != '\0'; ++c) {
      if (*c == '\\') {
        ++backslashes;
      } else if (*c == '"') {
        line.append(backslashes + 1, '\\');
        backslashes = 0;
      } else {
        backslashes = 0;
      }
      line += *c;
    }
    line.append(backslashes, '\\');
    line += '"';
  }
  return line;
}

// glibc calls the functions of .init_array with the process's arguments,
// which gives the command line without reading any file.
void CaptureCommandLine(int argc, char** argv, char** /*environment*/) {
  if (argv != nullptr) CommandLine() = JoinArguments(argc, argv);
}

[[gnu::used, gnu::section(".init_array")]] void (*const captureCommandLine)(int, char**, char**) =
    CaptureCommandLine;

}  // namespace

HMODULE GetModuleHandleA(LPCSTR moduleName) {
  if (moduleName != nullptr) return nullptr;
  return reinterpret_cast<HMODULE>(&programModule);
}

LPSTR GetCommandLineA() { return CommandLine().data(); }

void ExitProcess(UINT exitCode) {
  std::fflush(nullptr);
  std::exit(static_cast<int>(exitCode));
}
