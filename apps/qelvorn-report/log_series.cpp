// Series resolution: the files of one process, ordered around the 31-slot ring.
#include "log_series.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>
#include <utility>

#include "common/name_patterns.h"
#include "log_line.h"
#include "shown_text.h"

namespace qel::report {
namespace fs = std::filesystem;
namespace {

constexpr int kSlots = 31;

bool HasWildcard(const std::string& text) {
  return text.find_first_of("*?") != std::string::npos;
}

std::string FileName(const fs::path& path) {
  return path.filename().string();
}

LogFile MakeFile(const fs::path& path) {
  LogFile file;
  file.path = path.string();
  file.name = FileName(path);
  ParseSeriesName(file.name, &file);
  return file;
}

// A folder: every file in it with a series name; a pattern: every file that matches.
Status Expand(const std::string& argument, std::vector<LogFile>* files) {
  std::error_code error;
  fs::path path(argument);
  bool pattern = HasWildcard(FileName(path));
  if (!pattern && !fs::is_directory(path, error)) {
    if (!fs::is_regular_file(path, error)) {
      return Fail(EscapeControls(argument) + ": no such file");
    }
    files->push_back(MakeFile(path));
    return Done();
  }
  fs::path folder = pattern ? path.parent_path() : path;
  if (folder.empty()) folder = ".";
  std::string glob = pattern ? FileName(path) : std::string();
  std::vector<LogFile> found;
  fs::directory_iterator it(folder, error);
  if (error) {
    return Fail(EscapeControls(folder.string()) + ": cannot list the folder");
  }
  for (const fs::directory_entry& entry : it) {
    if (!entry.is_regular_file(error)) continue;
    LogFile file = MakeFile(entry.path());
    if (pattern ? GlobMatches(glob, file.name) : file.slot >= 0) found.push_back(file);
  }
  if (found.empty()) {
    return Fail(EscapeControls(argument) +
                (pattern ? ": no file matches" : ": no log file in the folder"));
  }
  std::sort(found.begin(), found.end(),
            [](const LogFile& a, const LogFile& b) { return a.name < b.name; });
  files->insert(files->end(), found.begin(), found.end());
  return Done();
}

std::string ProcessLabel(const LogFile& file) {
  if (file.slot < 0) return EscapeControls(file.name) + " (not a series name)";
  return EscapeControls(file.program) + " process " + std::to_string(file.pid);
}

fs::file_time_type WriteTime(const LogFile& file) {
  std::error_code error;
  return fs::last_write_time(file.path, error);
}

}  // namespace

bool ParseSeriesName(const std::string& name, LogFile* file) {
  constexpr std::string_view kMarks = "$$$";
  if (name.size() < 3 + 2 + 5 + 6 || name.compare(0, 3, kMarks) != 0) return false;
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.compare(lower.size() - 5, 5, ").txt") != 0) return false;
  size_t close = name.rfind("$$$(");
  if (close == std::string::npos || close < 5) return false;
  std::string pid = name.substr(close + 4, name.size() - 5 - (close + 4));
  if (pid.empty() || pid.size() > 10) return false;
  long long value = 0;
  for (char c : pid) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  char tens = name[close - 2], ones = name[close - 1];
  if (tens < '0' || tens > '9' || ones < '0' || ones > '9') return false;
  int slot = (tens - '0') * 10 + (ones - '0');
  if (slot >= kSlots) return false;
  file->program = name.substr(3, close - 2 - 3);
  file->pid = value;
  file->slot = slot;
  return true;
}

std::vector<size_t> RingStartCandidates(const std::vector<int>& slots) {
  std::vector<size_t> candidates;
  int widest = -1;
  for (size_t i = 0; i < slots.size(); ++i) {
    size_t next = (i + 1) % slots.size();
    int gap = (slots[next] - slots[i] + kSlots) % kSlots;
    if (gap == 0) gap = kSlots;
    if (gap > widest) {
      widest = gap;
      candidates.clear();
    }
    if (gap == widest) candidates.push_back(next);
  }
  return candidates;
}

Result<std::vector<LogFile>> FindLogFiles(const std::vector<std::string>& arguments) {
  std::vector<LogFile> files;
  for (const std::string& argument : arguments) {
    Status expanded = Expand(argument, &files);
    if (!expanded) return Fail(expanded.message());
  }
  // The same file named twice is read once.
  std::vector<LogFile> unique;
  for (const LogFile& file : files) {
    bool seen = std::any_of(unique.begin(), unique.end(), [&](const LogFile& u) {
      std::error_code error;
      return u.path == file.path || fs::equivalent(u.path, file.path, error);
    });
    if (!seen) unique.push_back(file);
  }
  return unique;
}

Result<Series> FormSeries(std::vector<LogFile> files) {
  std::map<std::string, int> processes;
  for (const LogFile& file : files) ++processes[ProcessLabel(file)];
  bool allNamed =
      std::all_of(files.begin(), files.end(), [](const LogFile& f) { return f.slot >= 0; });
  bool anyNamed =
      std::any_of(files.begin(), files.end(), [](const LogFile& f) { return f.slot >= 0; });
  // Files without a series name are read in the order given, unless they join a series.
  if (processes.size() > 1 && anyNamed) {
    std::string list;
    for (const auto& [label, count] : processes) {
      list += "\n  " + label + ": " + std::to_string(count) + " file" + (count == 1 ? "" : "s");
    }
    return Fail("the files belong to more than one process; name the files of one:" + list);
  }
  Series series;
  if (allNamed) {
    std::sort(files.begin(), files.end(),
              [](const LogFile& a, const LogFile& b) { return a.slot < b.slot; });
    std::vector<int> slots;
    for (const LogFile& file : files) slots.push_back(file.slot);
    std::vector<size_t> candidates = RingStartCandidates(slots);
    size_t start = candidates.front();
    for (size_t candidate : candidates) {
      if (WriteTime(files[candidate]) < WriteTime(files[start])) start = candidate;
    }
    std::rotate(files.begin(), files.begin() + static_cast<std::ptrdiff_t>(start), files.end());
    series.program = files.front().program;
    series.pid = files.front().pid;
  }
  series.files = std::move(files);
  return series;
}

// The buffer is left uninitialised: only bytes read into it are ever looked at, and a
// reader made per file (or per fuzz input) need not clear a megabyte first.
LineReader::LineReader(std::FILE* file) : file_(file), buffer_(new char[kBufferSize]) {}

size_t LineReader::Read(char* into, size_t size) {
  if (eof_) return 0;
  size_t got = std::fread(into, 1, size, file_);
  if (got == 0) {
    eof_ = true;
    if (std::ferror(file_)) failed_ = true;
  }
  return got;
}

bool LineReader::Fill() {
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == kBufferSize) return false;
  size_t got = Read(buffer_.get() + end_, kBufferSize - end_);
  end_ += got;
  return got > 0;
}

bool LineReader::Next(ReadLine* line) {
  *line = ReadLine();
  for (;;) {
    std::string_view pending(buffer_.get() + begin_, end_ - begin_);
    // A CR that ended the part already searched may pair with the LF read next.
    size_t at = FindLineEnd(pending, scanned_ > 0 ? scanned_ - 1 : 0);
    if (at != std::string_view::npos) {
      line->text = pending.substr(0, std::min(at, kLineLimit));
      line->cut = at - line->text.size();
      begin_ += at + 2;
      scanned_ = 0;
      return true;
    }
    scanned_ = pending.size();
    if (pending.size() > kLineLimit) {
      SkipRest(line);
      return true;
    }
    if (!Fill()) break;
  }
  if (begin_ == end_) return false;
  line->text = std::string_view(buffer_.get() + begin_, end_ - begin_);
  line->ended = false;
  begin_ = end_;
  scanned_ = 0;
  return true;
}

// Reads on to the CR LF of an overlong line, counting what it passes; the head stays at
// the start of the buffer, the bytes passed over go through the room behind it.
void LineReader::SkipRest(ReadLine* line) {
  std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
  line->text = std::string_view(buffer_.get(), kLineLimit);
  char* room = buffer_.get() + kLineLimit;
  uint64_t passed = end_ - kLineLimit;
  bool endsInCr = room[passed - 1] == '\r';
  for (;;) {
    size_t got = Read(room, kBufferSize - kLineLimit);
    if (got == 0) {
      line->ended = false;
      line->cut = passed;
      begin_ = end_ = kLineLimit;
      scanned_ = 0;
      return;
    }
    std::string_view chunk(room, got);
    size_t rest = std::string_view::npos;
    if (endsInCr && chunk[0] == '\n') {
      line->cut = passed - 1;
      rest = 1;
    } else if (size_t at = FindLineEnd(chunk, 0); at != std::string_view::npos) {
      line->cut = passed + at;
      rest = at + 2;
    }
    if (rest != std::string_view::npos) {
      begin_ = kLineLimit + rest;
      end_ = kLineLimit + got;
      scanned_ = 0;
      return;
    }
    passed += got;
    endsInCr = chunk.back() == '\r';
  }
}

}  // namespace qel::report
