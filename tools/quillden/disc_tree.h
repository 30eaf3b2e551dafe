// Building a data disc from command-line sources and grafts, shared by the mastering and recording
// commands. Messages name the command ("quillden mkiso: cannot add ...").
#ifndef QUILLDEN_TOOL_DISC_TREE_H_
#define QUILLDEN_TOOL_DISC_TREE_H_

#include <string>

#include "quillden/types.h"

namespace quillden::tool {

// Parses a file system selection: iso, udf, iso+udf, udf250, iso+udf250, or the number 1 to 5.
bool ParseFileSystem(const std::string& text, DWORD* value);

// A local path turned into a disc path: "\" separators and no leading one.
std::string DiscPath(std::string path);
// The absolute, normalised form of a local path (the path itself when that fails).
std::string AbsolutePath(const std::string& path);

// Owns the data disc of one command run and fills it.
class DiscTreeBuilder {
 public:
  explicit DiscTreeBuilder(const char* command);
  ~DiscTreeBuilder();
  DiscTreeBuilder(const DiscTreeBuilder&) = delete;
  DiscTreeBuilder& operator=(const DiscTreeBuilder&) = delete;

  // The disc handle; null when it could not be created (Prepare reports that).
  HANDLE disc() const { return disc_; }
  // Checks that the disc exists, then sets its file systems and, when label is given, its volume
  // label. False (with the reason printed) on any failure.
  bool Prepare(DWORD file_system, const std::string* label);

  // A plain source: a folder contributes its contents to the root, a file is placed at the root.
  bool AddSource(const std::string& source);
  // A graft: a folder becomes the folder target ("" or "/" puts its contents at the root); a file
  // goes into target when it ends in "/" (or "\"), else it is placed at target, renamed when the
  // names differ.
  bool AddGraft(const std::string& target, const std::string& source);
  // False, saying so, when the disc holds no file or folder: an empty tree is not written.
  bool CheckNotEmpty() const;

 private:
  bool AddOne(const std::string& source, const std::string& target, HANDLE* entry);
  // Adds the file absolute (given as source) into folder under name, which differs from its own.
  bool AddNamed(const std::string& absolute, const std::string& source, const std::string& folder,
                const std::string& name);

  HANDLE disc_;
  const char* command_;
};

}  // namespace quillden::tool

#endif  // QUILLDEN_TOOL_DISC_TREE_H_
