#include "fat_tool.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "tool_runner.h"
#include "usb_volume.h"

namespace quenvar::usbmedia {
namespace {

// mcopy takes many files at once; a batch ends at this count or size so that progress and
// cancelling stay close to the file being copied.
constexpr size_t kBatchFiles = 16;
constexpr uint64_t kBatchBytes = 16ull << 20;
// Files up to this size are fetched in groups for the compare; larger ones are streamed.
constexpr uint64_t kFetchBytes = 16ull << 20;

bool IsDate(const std::string& token) {
  if (token.size() != 10 || token[4] != '-' || token[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!std::isdigit(static_cast<unsigned char>(token[i]))) return false;
  }
  return true;
}

usbformat::ToolCall Call(std::vector<std::string> argv) {
  usbformat::ToolCall call;
  call.argv = std::move(argv);
  call.environment = FatToolEnvironment();
  return call;
}

class LocalReader : public FatTool::Reader {
 public:
  LocalReader(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~LocalReader() override { close(fd_); }
  uint64_t size() const override { return size_; }
  bool Read(void* buffer, uint32_t length, uint32_t* read) override {
    uint32_t done = 0;
    while (done < length) {
      const ssize_t n = ::read(fd_, static_cast<char*>(buffer) + done, length - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) break;
      done += static_cast<uint32_t>(n);
    }
    *read = done;
    return true;
  }

 private:
  int fd_;
  uint64_t size_;
};

class ToolReader : public FatTool::Reader {
 public:
  explicit ToolReader(uint64_t size) : size_(size) {}
  bool Start(const usbformat::ToolCall& call) { return tool_.Start(call); }
  uint64_t size() const override { return size_; }
  bool Read(void* buffer, uint32_t length, uint32_t* read) override {
    const ssize_t n = tool_.Read(buffer, length);
    if (n < 0) return false;
    *read = static_cast<uint32_t>(n);
    // The tool's end tells whether what came was all there is.
    if (static_cast<uint32_t>(n) < length) return tool_.Finish().Succeeded();
    return true;
  }

 private:
  uint64_t size_;
  usbformat::RunningTool tool_;
};

}  // namespace

std::vector<std::string> FatToolEnvironment() {
  std::vector<std::string> env = usbformat::Utf8ToolEnvironment();
  // The partition is no floppy: skip the geometry sanity checks; no configuration of the user's
  // may redirect drives.
  env.insert(env.end(), {"MTOOLS_SKIP_CHECK=1", "MTOOLSRC=/dev/null"});
  return env;
}

std::string FatToolPath(const std::vector<std::string>& components) {
  std::string path = "::";
  for (const std::string& c : components) {
    path += '/';
    for (char ch : c) {
      if (ch == '[') {
        path += "[[]";
      } else {
        path += ch;
      }
    }
  }
  if (components.empty()) path += '/';
  return path;
}

bool IsFatName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || std::string_view("*?:<>|\"/\\").find(ch) != std::string_view::npos)
      return false;
  }
  return true;
}

FatListing ParseFatListing(const std::string& text) {
  FatListing listing;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == ' ' || line.rfind("Directory for", 0) == 0) continue;
    // Tokens with where each ends: short name, [extension], size or <DIR>, date, time, long name.
    std::vector<std::pair<std::string, size_t>> tokens;
    size_t pos = 0;
    int date = -1;
    while (pos < line.size()) {
      if (date >= 0 && tokens.size() >= static_cast<size_t>(date) + 2) break;
      while (pos < line.size() && line[pos] == ' ') ++pos;
      if (pos >= line.size()) break;
      size_t stop = line.find(' ', pos);
      if (stop == std::string::npos) stop = line.size();
      tokens.emplace_back(line.substr(pos, stop - pos), stop);
      if (date < 0 && tokens.size() >= 3 && IsDate(tokens.back().first))
        date = static_cast<int>(tokens.size()) - 1;
      pos = stop;
    }
    if (date < 2 || tokens.size() < static_cast<size_t>(date) + 2) continue;
    std::string name = line.substr(tokens[date + 1].second);
    const size_t first = name.find_first_not_of(' ');
    name = first == std::string::npos ? "" : name.substr(first);
    while (!name.empty() && name.back() == '\r') name.pop_back();
    if (name.empty()) {
      name = tokens[0].first;
      if (date == 3) name += "." + tokens[1].first;
    }
    if (name == "." || name == "..") continue;
    const std::string& size = tokens[date - 1].first;
    if (size == "<DIR>") {
      listing.folders.insert(name);
    } else {
      // mdir groups digits with blanks only when asked to; a plain number is expected.
      char* stop = nullptr;
      const unsigned long long value = std::strtoull(size.c_str(), &stop, 10);
      if (stop != nullptr && *stop == '\0') listing.files[name] = value;
    }
  }
  return listing;
}

FatTool::FatTool(std::string node) : node_(std::move(node)) {}

FatTool::~FatTool() {
  DropFetched();
  if (!fetch_folder_.empty()) rmdir(fetch_folder_.c_str());
}

void FatTool::ForgetListings() {
  listings_.clear();
  DropFetched();
}

void FatTool::DropFetched() {
  for (const std::string& name : fetched_) unlink((fetch_folder_ + "/" + name).c_str());
  fetched_.clear();
  fetched_folder_.clear();
}

int FatTool::Fetch(const std::vector<std::string>& folder, const std::vector<std::string>& names) {
  DropFetched();
  if (fetch_folder_.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quenvar-fat-XXXXXX";
    if (!mkdtemp(pattern.data())) return errno;
    fetch_folder_ = pattern;
  }
  std::vector<std::string> argv = {"mcopy", "-n", "-o", "-m", "-i", node_};
  std::vector<std::string> wanted;
  uint64_t bytes = 0;
  for (const std::string& name : names) {
    uint64_t size = 0;
    if (!IsFatName(name) || !FileSize(folder, name, &size) || size > kFetchBytes) continue;
    if (bytes + size > kFetchBytes) break;
    bytes += size;
    std::vector<std::string> path = folder;
    path.push_back(name);
    argv.push_back(FatToolPath(path));
    wanted.push_back(name);
  }
  if (wanted.empty()) return 0;
  argv.push_back(fetch_folder_ + "/");
  const usbformat::ToolOutcome outcome = usbformat::RunTool(Call(argv));
  for (const std::string& name : wanted) fetched_.insert(name);
  fetched_folder_ = folder;
  if (!outcome.Succeeded()) {
    DropFetched();
    return EIO;
  }
  return 0;
}

int FatTool::MakeFolders(const std::vector<std::string>& folders) {
  std::vector<std::string> argv = {"mmd", "-i", node_};
  std::vector<std::string> path;
  std::vector<std::vector<std::string>> new_ones;
  for (const std::string& part : folders) {
    if (!IsFatName(part)) return EINVAL;
    path.push_back(part);
    if (made_.count(path)) continue;
    // mmd looks up the folders above the new one, so only they are escaped.
    std::vector<std::string> above(path.begin(), path.end() - 1);
    std::string arg = FatToolPath(above);
    if (arg.back() != '/') arg += '/';
    argv.push_back(arg + part);
    new_ones.push_back(path);
  }
  if (new_ones.empty()) return 0;
  const usbformat::ToolOutcome outcome = usbformat::RunTool(Call(argv));
  if (!outcome.Succeeded())
    return outcome.state == usbformat::ToolOutcome::State::kStartFailed
               ? (outcome.error ? outcome.error : ENOENT)
               : EIO;
  for (auto& f : new_ones) made_.insert(std::move(f));
  return 0;
}

uint32_t FatTool::CopyInto(const std::vector<std::string>& folder,
                           const std::vector<Source>& sources, const std::atomic<int32_t>* cancel,
                           const std::function<void(size_t)>& on_copied) {
  listings_.erase(folder);
  std::string target = FatToolPath(folder);
  if (target.back() != '/') target += '/';
  size_t next = 0;
  while (next < sources.size()) {
    std::vector<std::string> argv = {"mcopy", "-m", "-o", "-D", "o", "-i", node_};
    std::map<uint32_t, std::vector<std::string>> attributed;  // by their attributes
    uint64_t bytes = 0;
    size_t count = 0;
    std::string destination = target;
    for (; next < sources.size() && count < kBatchFiles && bytes < kBatchBytes; ++next, ++count) {
      const Source& s = sources[next];
      // mcopy names a copy after its source; one of another name is copied alone, to that name.
      const bool renamed = s.path.substr(s.path.rfind('/') + 1) != s.name;
      if (renamed && count > 0) break;
      if (!IsFatName(s.name)) return EINVAL;
      struct stat st {};
      if (stat(s.path.c_str(), &st) != 0) return static_cast<uint32_t>(errno);
      if (!S_ISREG(st.st_mode)) return EISDIR;
      const int source = ::open(s.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (source < 0) return static_cast<uint32_t>(errno);
      const uint32_t attributes = SourceDosAttributes(source, st);
      ::close(source);
      // mcopy names the copy after the source's last component, which is the wanted name.
      argv.push_back(s.path[0] == '/' ? s.path : "./" + s.path);
      bytes += static_cast<uint64_t>(st.st_size);
      if (attributes != 0) attributed[attributes].push_back(FatToolPath(folder) + "/" + s.name);
      if (renamed) {
        std::vector<std::string> path = folder;
        path.push_back(s.name);
        destination = FatToolPath(path);
        ++next;
        ++count;
        break;
      }
    }
    argv.push_back(destination);
    usbformat::ToolCall call = Call(argv);
    call.cancel = cancel;
    const usbformat::ToolOutcome outcome = usbformat::RunTool(call);
    if (outcome.state == usbformat::ToolOutcome::State::kCancelled) return kCancelled;
    if (outcome.state == usbformat::ToolOutcome::State::kStartFailed)
      return static_cast<uint32_t>(outcome.error ? outcome.error : ENOENT);
    if (!outcome.Succeeded()) return EIO;
    for (const auto& [attributes, paths] : attributed) {
      std::vector<std::string> attrib = {"mattrib", "-i", node_};
      if (attributes & kDosReadOnly) attrib.push_back("+r");
      if (attributes & kDosHidden) attrib.push_back("+h");
      if (attributes & kDosSystem) attrib.push_back("+s");
      for (const std::string& p : paths) {
        // The folder part is escaped already; the name is looked up too.
        const size_t slash = p.rfind('/');
        attrib.push_back(p.substr(0, slash + 1) + FatToolPath({p.substr(slash + 1)}).substr(3));
      }
      if (!usbformat::RunTool(Call(attrib)).Succeeded()) return EIO;
    }
    if (on_copied) on_copied(count);
  }
  return 0;
}

const FatListing* FatTool::Listing(const std::vector<std::string>& folder) {
  auto it = listings_.find(folder);
  if (it != listings_.end()) return &it->second;
  usbformat::RunningTool tool;
  if (!tool.Start(Call({"mdir", "-a", "-i", node_, FatToolPath(folder)}))) return nullptr;
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = tool.Read(buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  if (!tool.Finish().Succeeded()) return nullptr;
  return &listings_.emplace(folder, ParseFatListing(text)).first->second;
}

bool FatTool::FileSize(const std::vector<std::string>& folder, const std::string& name,
                       uint64_t* size) {
  const FatListing* listing = Listing(folder);
  if (listing == nullptr) return false;
  auto it = listing->files.find(name);
  if (it == listing->files.end()) return false;
  *size = it->second;
  return true;
}

std::unique_ptr<FatTool::Reader> FatTool::Open(const std::vector<std::string>& folder,
                                               const std::string& name) {
  uint64_t size = 0;
  if (!IsFatName(name) || !FileSize(folder, name, &size)) return nullptr;
  if (folder == fetched_folder_ && fetched_.count(name)) {
    const int fd = open((fetch_folder_ + "/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st {};
    if (fd < 0) return nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return nullptr;
    }
    // What the tool read from the medium, however long the listing says it is.
    return std::make_unique<LocalReader>(fd, static_cast<uint64_t>(st.st_size));
  }
  std::vector<std::string> path = folder;
  path.push_back(name);
  auto reader = std::make_unique<ToolReader>(size);
  if (!reader->Start(Call({"mcopy", "-n", "-i", node_, FatToolPath(path), "-"}))) return nullptr;
  return reader;
}

}  // namespace quenvar::usbmedia
