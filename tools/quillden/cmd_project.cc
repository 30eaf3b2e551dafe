// quillden project save|load|list: project files of data discs.
//
//   project save [-V LABEL] PROJECT SOURCE[=DISCPATH]...   build a tree from local files, save it
//   project list PROJECT                                   load a project and print its tree
//   project load PROJECT [-F 1-5] [-o ISO] [--disc-image WVM]
//                                                          load a project; write it as an ISO image
//                                                          and/or a single data track disc image,
//                                                          with the file system selection given
//
// Loading runs the engine's loading worker without a window: nothing is asked, missing sources are
// skipped and duplicates refused, as for any add without a caller to answer.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/image.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

using quenvar::platform::Utf16ToUtf8;
using quenvar::platform::Utf8ToUtf16;

int Fail(const char* what, DWORD code) {
  std::fprintf(stderr, "quillden project: %s: 0x%08X (%s)\n", what, code, UTL_GetResultText(code));
  return 1;
}

bool Valid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// Loads path into disc on the engine's worker and waits for it. Returns the call's result, or the
// worker's when it started.
DWORD LoadInto(HANDLE disc, const char* path) {
  HANDLE file_progress = PRG_CreateFileProgress();
  if (file_progress == nullptr) return QD_E_OUT_OF_MEMORY;
  DWORD result = MST_LoadProjectDatadisk(disc, file_progress, Utf8ToUtf16(path).c_str());
  if (result == QD_OK) {
    // No window: the worker waits for the message to be set, then asks nothing.
    PRG_SetFileProgressMessage(file_progress, nullptr, 0);
    while ((result = PRG_GetFileProgressErrorCode(file_progress)) == QD_E_BUSY) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  PRG_DestroyFileProgress(file_progress);
  return result;
}

void PrintTree(HANDLE disc, HANDLE first, size_t* files, size_t* folders) {
  for (HANDLE entry = first; Valid(entry); entry = MST_GetNextDatadiskFile(disc, entry)) {
    WIN32_FIND_DATAW data;
    WCHAR disc_path[260] = {};
    WCHAR source[261] = {};
    MST_GetFindDataDatadiskFile(disc, entry, &data);
    MST_GetDatadiskFilename(disc, entry, disc_path, 260);
    MST_GetSourceFilename(disc, entry, source, 261);
    bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    std::printf("%-6s %s%s", folder ? "folder" : "file", Utf16ToUtf8(disc_path).c_str(), folder ? "\\" : "");
    if (source[0] != 0) std::printf("  <- %s", Utf16ToUtf8(source).c_str());
    std::printf("\n");
    ++*(folder ? folders : files);
    if (folder) PrintTree(disc, MST_GetChildDatadiskFile(disc, entry), files, folders);
  }
}

int Save(int argc, char** argv) {
  std::string label;
  int i = 2;
  if (i + 1 < argc && std::strcmp(argv[i], "-V") == 0) {
    label = argv[i + 1];
    i += 2;
  }
  if (argc - i < 2) {
    std::fputs("usage: quillden project save [-V LABEL] PROJECT SOURCE[=DISCPATH]...\n", stderr);
    return 2;
  }
  const char* project = argv[i++];
  HANDLE disc = MST_CreateDatadisk();
  if (!Valid(disc)) return Fail("cannot create a data disc", QD_E_OUT_OF_MEMORY);
  int status = 0;
  if (!label.empty()) {
    if (DWORD code = MST_SetVolumeLabel(disc, Utf8ToUtf16(label).c_str())) status = Fail("label", code);
  }
  for (; i < argc && status == 0; ++i) {
    std::string source = argv[i];
    std::string target;
    if (size_t equals = source.find('='); equals != std::string::npos) {
      target = source.substr(equals + 1);
      source.resize(equals);
    }
    if (!Valid(MST_AddDatadiskFile(disc, Utf8ToUtf16(source).c_str(), Utf8ToUtf16(target).c_str()))) {
      status = Fail(source.c_str(), MST_GetLastError(disc));
    }
  }
  if (status == 0) {
    HANDLE file_progress = PRG_CreateFileProgress();
    DWORD code = MST_SaveProjectDatadisk(disc, file_progress, Utf8ToUtf16(project).c_str());
    PRG_DestroyFileProgress(file_progress);
    if (code != QD_OK) status = Fail(project, code);
  }
  MST_DestroyDatadisk(disc);
  return status;
}

int LoadOrList(int argc, char** argv, bool list) {
  const char* iso = nullptr;
  const char* disc_image = nullptr;
  DWORD file_system = 0;
  bool usage = argc < 3;
  for (int i = 3; i < argc && !usage; i += 2) {
    if (list || i + 1 >= argc) {
      usage = true;
    } else if (std::strcmp(argv[i], "-o") == 0) {
      iso = argv[i + 1];
    } else if (std::strcmp(argv[i], "--disc-image") == 0) {
      disc_image = argv[i + 1];
    } else if (std::strcmp(argv[i], "-F") == 0) {
      file_system = static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10));
    } else {
      usage = true;
    }
  }
  if (usage) {
    std::fputs(list ? "usage: quillden project list PROJECT\n"
                    : "usage: quillden project load PROJECT [-F 1-5] [-o ISO] [--disc-image WVM]\n",
               stderr);
    return 2;
  }
  HANDLE disc = MST_CreateDatadisk();
  if (!Valid(disc)) return Fail("cannot create a data disc", QD_E_OUT_OF_MEMORY);
  int status = 0;
  if (file_system != 0) {
    if (DWORD code = MST_SetFileSystem(disc, file_system)) status = Fail("file system", code);
  }
  if (status == 0) {
    if (DWORD result = LoadInto(disc, argv[2])) status = Fail(argv[2], result);
  }
  if (status == 0) {
    WCHAR label[33] = {};
    MST_GetVolumeLabel(disc, label);
    if (list) {
      size_t files = 0;
      size_t folders = 0;
      std::printf("label  %s\n", Utf16ToUtf8(label).c_str());
      PrintTree(disc, MST_GetRootDatadiskFile(disc), &files, &folders);
      std::printf("%zu files, %zu folders\n", files, folders);
    } else {
      std::printf("loaded %u files (label %s)\n", MST_GetNumberOfWriteFile(disc), Utf16ToUtf8(label).c_str());
      if (iso != nullptr) {
        DWORD code = MST_CreateISOImage(Utf8ToUtf16(iso).c_str(), disc, nullptr, FALSE);
        if (code != QD_OK) status = Fail(iso, code);
      }
      if (disc_image != nullptr && status == 0) {
        DWORD code = MST_CreateDiskImage(Utf8ToUtf16(disc_image).c_str(), disc, nullptr, FALSE);
        if (code != QD_OK) status = Fail(disc_image, code);
      }
    }
  }
  MST_DestroyDatadisk(disc);
  return status;
}

int RunProject(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "save") == 0) return Save(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "list") == 0) return LoadOrList(argc, argv, true);
  if (argc >= 2 && std::strcmp(argv[1], "load") == 0) return LoadOrList(argc, argv, false);
  std::fputs("usage: quillden project save [-V LABEL] PROJECT SOURCE[=DISCPATH]...\n"
             "       quillden project list PROJECT\n"
             "       quillden project load PROJECT [-o ISO] [--disc-image WVM]\n",
             stderr);
  return 2;
}

}  // namespace

QUILLDEN_COMMAND("project", "project save|list|load PROJECT ...", "save or load a data disc project file",
                 RunProject);

}  // namespace quillden::tool
