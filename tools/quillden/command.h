// quillden sub-commands register themselves here: each command lives in its own file and adds
// itself with QUILLDEN_COMMAND, so main.cc never changes when a command is added.
#ifndef QUILLDEN_TOOL_COMMAND_H_
#define QUILLDEN_TOOL_COMMAND_H_

#include <vector>

namespace quillden::tool {

// Runs a sub-command; argv[0] is the sub-command's name. Returns the process exit code.
using CommandFunction = int (*)(int argc, char** argv);

struct Command {
  const char* name;
  const char* usage;    // "mkiso [OPTIONS] -o IMAGE SOURCE..."
  const char* summary;  // one line
  CommandFunction run;
};

std::vector<Command>& Commands();

struct CommandRegistrar {
  CommandRegistrar(const char* name, const char* usage, const char* summary, CommandFunction run) {
    Commands().push_back({name, usage, summary, run});
  }
};

}  // namespace quillden::tool

#define QUILLDEN_COMMAND_CONCAT_(a, b) a##b
#define QUILLDEN_COMMAND_CONCAT(a, b) QUILLDEN_COMMAND_CONCAT_(a, b)
#define QUILLDEN_COMMAND(name, usage, summary, function)                                  \
  static ::quillden::tool::CommandRegistrar QUILLDEN_COMMAND_CONCAT(command_registrar_, \
                                                                    __LINE__)(name, usage, summary, function)

#endif  // QUILLDEN_TOOL_COMMAND_H_
