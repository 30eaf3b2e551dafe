// quillden: the command-line tool over the engine.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "command.h"

namespace quillden::tool {

std::vector<Command>& Commands() {
  static std::vector<Command> commands;
  return commands;
}

namespace {

void PrintHelp(FILE* out) {
  std::fputs("usage: quillden COMMAND [ARGS...]\n\ncommands:\n", out);
  std::vector<Command> sorted = Commands();
  std::sort(sorted.begin(), sorted.end(),
            [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
  for (const Command& command : sorted) {
    std::fprintf(out, "  %-40s %s\n", command.usage, command.summary);
  }
  std::fputs("  help                                     show this text\n"
             "  --version                                print the version\n",
             out);
}

}  // namespace
}  // namespace quillden::tool

int main(int argc, char** argv) {
  using namespace quillden::tool;
  if (argc < 2) {
    PrintHelp(stderr);
    return 2;
  }
  std::string name = argv[1];
  if (name == "--version" || name == "version") {
    std::printf("quillden %s\n", QUENVAR_VERSION);
    return 0;
  }
  if (name == "help" || name == "--help" || name == "-h") {
    PrintHelp(stdout);
    return 0;
  }
  for (const Command& command : Commands()) {
    if (name == command.name) return command.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "quillden: unknown command '%s' (try 'quillden help')\n", name.c_str());
  return 2;
}
