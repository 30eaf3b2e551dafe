// Running the outside tools that end-to-end tests use as ground truth (xorriso, isoinfo, 7z,
// udfinfo, ...), and the small helpers around them.
#ifndef QUENVAR_TESTS_COMMON_SHELL_H_
#define QUENVAR_TESTS_COMMON_SHELL_H_

#include <stdio.h>
#include <sys/wait.h>

#include <cstddef>
#include <cstdlib>
#include <random>
#include <string>

namespace quenvar::testing {

// True when tool is on the PATH.
inline bool HaveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command; returns its exit status (-1 when it did not exit normally) and collects its
// standard output, and its standard error too unless with_stderr is false.
inline int Shell(const std::string& command, std::string* output = nullptr, bool with_stderr = true) {
  FILE* pipe = popen((command + (with_stderr ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A path or word quoted for the shell (the tests' paths hold no single quotes).
inline std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Deterministic pseudo-random content.
inline std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(engine());
  return data;
}

}  // namespace quenvar::testing

#endif  // QUENVAR_TESTS_COMMON_SHELL_H_
