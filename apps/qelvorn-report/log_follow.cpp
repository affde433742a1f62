// Following a log as it is written: whole lines only, the next file of the ring found by
// the files that appear beside the one being read, and calls that stay open written as in
// flight so that one blocked thread does not hold back the others.
#include "log_follow.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "log_line.h"
#include "shown_text.h"

namespace qel::report {
namespace {

namespace fs = std::filesystem;

constexpr size_t kChunk = 64 << 10;

// The files of one process's series in a folder, with their last-write times.
std::map<std::string, std::pair<LogFile, fs::file_time_type>> SeriesFiles(const fs::path& folder,
                                                                          const LogFile& of) {
  std::map<std::string, std::pair<LogFile, fs::file_time_type>> files;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    LogFile file;
    std::string name = it->path().filename().string();
    if (!ParseSeriesName(name, &file) || file.program != of.program || file.pid != of.pid) continue;
    std::error_code timeError;
    fs::file_time_type time = fs::last_write_time(it->path(), timeError);
    if (timeError) continue;
    file.path = it->path().string();
    file.name = name;
    files.emplace(name, std::make_pair(std::move(file), time));
  }
  return files;
}

constexpr int kRingSlots = 31;

// What the folder held when the current file was taken up: the file the tracer rolls on to
// is one of another slot that is new since, or changed since (a slot of the ring taken
// again), or written no earlier than the current file, and not one read already. File
// times may be as coarse as a second (they are under Wine), so several files can share
// one: of the files that qualify, the nearest after the current one in the ring is taken,
// as the tracer takes the first free slot or the one after the newest.
class RingWatch {
 public:
  void Begin(const LogFile& current) {
    if (!current_.name.empty()) {
      std::error_code error;
      done_[current_.name] = fs::last_write_time(current_.path, error);
    }
    current_ = current;
    folder_ = fs::path(current.path).parent_path();
    if (folder_.empty()) folder_ = ".";
    before_ = SeriesFiles(folder_, current);
    auto self = before_.find(current.name);
    currentTime_ = self != before_.end() ? self->second.second : fs::file_time_type::min();
  }

  std::optional<LogFile> Next() const {
    std::optional<LogFile> next;
    int nearest = kRingSlots;
    for (const auto& [name, entry] : SeriesFiles(folder_, current_)) {
      const auto& [file, time] = entry;
      if (file.slot == current_.slot) continue;
      auto done = done_.find(name);
      if (done != done_.end() && done->second == time) continue;
      auto known = before_.find(name);
      bool fresh = known == before_.end() || known->second.second != time || time >= currentTime_;
      int distance = (file.slot - current_.slot + kRingSlots) % kRingSlots;
      if (fresh && distance < nearest) {
        next = file;
        nearest = distance;
      }
    }
    return next;
  }

 private:
  LogFile current_;
  fs::path folder_;
  std::map<std::string, std::pair<LogFile, fs::file_time_type>> before_;
  fs::file_time_type currentTime_;
  // The files read to their end, with their times then: at most one per slot.
  std::map<std::string, fs::file_time_type> done_;
};

using FileHandle = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

}  // namespace

bool TailReader::Read(size_t* got) {
  char chunk[kChunk];
  // The end of the file so far is no end: the writer may have added to it since. A seek
  // to where the stream is clears the end the C runtime remembers (Windows' keeps one
  // for the descriptor as well, which clearerr leaves set).
#ifdef _WIN32
  if (_fseeki64(file_, 0, SEEK_CUR) != 0) std::clearerr(file_);
#else
  if (fseeko(file_, 0, SEEK_CUR) != 0) std::clearerr(file_);
#endif
  size_t read = std::fread(chunk, 1, sizeof chunk, file_);
  if (std::ferror(file_)) return false;
  *got = read;
  if (read > 0) Append(chunk, read);
  return true;
}

void TailReader::Append(const char* bytes, size_t size) {
  if (begin_ > 0) {
    buffer_.erase(0, begin_);
    begin_ = 0;
  }
  if (skipping_) {
    std::string_view more(bytes, size);
    size_t after = std::string_view::npos;
    if (skippedCr_ && more.front() == '\n') {
      // The CR read last was the start of the line end.
      --cut_;
      after = 1;
    } else if (size_t end = FindLineEnd(more, 0); end != std::string_view::npos) {
      cut_ += end;
      after = end + 2;
    }
    if (after == std::string_view::npos) {
      cut_ += size;
      skippedCr_ = more.back() == '\r';
      return;
    }
    skipping_ = false;
    overlongDone_ = true;
    bytes += after;
    size -= after;
  }
  buffer_.append(bytes, size);
}

bool TailReader::Next(ReadLine* line) {
  if (overlongDone_) {
    overlongDone_ = false;
    line->text = line_;
    line->ended = true;
    line->cut = cut_;
    cut_ = 0;
    return true;
  }
  if (skipping_) return false;
  std::string_view bytes(buffer_);
  size_t end = FindLineEnd(bytes, begin_);
  if (end == std::string_view::npos) {
    if (bytes.size() - begin_ > LineReader::kLineLimit) {
      // An overlong line: its head is kept, the rest counted until its line end arrives.
      line_.assign(bytes.substr(begin_, LineReader::kLineLimit));
      cut_ = bytes.size() - begin_ - LineReader::kLineLimit;
      skippedCr_ = bytes.back() == '\r';
      skipping_ = true;
      buffer_.clear();
      begin_ = 0;
    }
    return false;
  }
  line->text = bytes.substr(begin_, end - begin_);
  line->ended = true;
  line->cut = 0;
  begin_ = end + 2;
  return true;
}

bool TailReader::Rest(ReadLine* line) {
  if (skipping_) {
    skipping_ = false;
    line->text = line_;
    line->ended = false;
    line->cut = cut_;
    cut_ = 0;
    return true;
  }
  if (begin_ >= buffer_.size()) return false;
  line->text = std::string_view(buffer_).substr(begin_);
  line->ended = false;
  line->cut = 0;
  begin_ = buffer_.size();
  return true;
}

std::FILE* OpenSharedForReading(const std::string& path) {
#ifdef _WIN32
  // The tracer writes with FILE_SHARE_READ and deletes the files of a slot it takes again.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "rb");
  if (file == nullptr) _close(fd);
  return file;
#else
  return std::fopen(path.c_str(), "rb");
#endif
}

bool TracedProcessGone(long long pid) {
#ifdef _WIN32
  if (pid <= 0 || pid > 0xffffffffll) return false;
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  bool gone = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return gone;
#else
  (void)pid;
  return false;
#endif
}

FollowResult FollowLog(const LogFile& start, const FollowSettings& settings, ReportBuilder& builder,
                       CallListing& listing, std::ostream& out) {
  using Clock = std::chrono::steady_clock;
  LogFile current = start;
  bool series = ParseSeriesName(current.name, &current);
  FileHandle file(OpenSharedForReading(current.path), std::fclose);
  if (!file) return {FollowEnd::kReadError, EscapeControls(current.path) + ": cannot be read"};
  auto reader = std::make_unique<TailReader>(file.get());
  RingWatch ring;
  if (series) ring.Begin(current);
  builder.BeginFile(current.name);
  // When each call line so far had arrived: a call still open a while after is in flight.
  std::deque<std::pair<Clock::time_point, uint64_t>> arrivals;
  bool cleanUp = false;
  Clock::time_point delivered = Clock::now();
  auto take = [&](const ReadLine& line) {
    builder.AddLine(line.text, line.ended, line.cut);
    listing.AddLine(line.text, line.ended);
    if (line.ended && line.text == "CleanUp OK") cleanUp = true;
  };
  // Reads what the current file holds now; false on a read error.
  auto drain = [&] {
    ReadLine line;
    for (;;) {
      while (!cleanUp && reader->Next(&line)) take(line);
      if (cleanUp) return true;
      size_t got = 0;
      if (!reader->Read(&got)) return false;
      if (got == 0) return true;
    }
  };
  auto readError = [&] {
    return FollowResult{FollowEnd::kReadError, EscapeControls(current.path) + ": read error"};
  };
  bool gone = false;
  for (;;) {
    ReadLine line;
    while (!cleanUp && reader->Next(&line)) take(line);
    size_t got = 0;
    if (!cleanUp && !reader->Read(&got)) return readError();
    if (cleanUp) {
      listing.Deliver();
      return {FollowEnd::kCleanUp, "CleanUp OK: the tracing ended"};
    }
    Clock::time_point now = Clock::now();
    uint64_t next = listing.NextSequence();
    if (arrivals.empty() ||
        (arrivals.back().second != next && now - arrivals.back().first >= settings.poll / 4)) {
      arrivals.emplace_back(now, next);
    }
    uint64_t overdue = 0;
    while (!arrivals.empty() && now - arrivals.front().first >= settings.inFlight) {
      overdue = arrivals.front().second;
      arrivals.pop_front();
    }
    if (overdue > 0) listing.WriteInFlight(overdue);
    // A busy log is shown as it goes too, not only when the reads catch up with it.
    if (now - delivered >= settings.poll) {
      listing.Deliver();
      out.flush();
      delivered = now;
    }
    if (settings.stop != nullptr && settings.stop->load()) {
      listing.Deliver();
      return {FollowEnd::kStopped, "stopped"};
    }
    if (got > 0) continue;
    listing.Deliver();
    out.flush();
    if (series) {
      if (std::optional<LogFile> rolled = ring.Next()) {
        // The tracer closes a file before it opens the next: what the old one holds now is
        // all it will hold.
        if (!drain()) return readError();
        if (cleanUp) continue;
        FileHandle opened(OpenSharedForReading(rolled->path), std::fclose);
        if (!opened) {
          // Gone again before it could be opened (its slot taken once more), or not yet
          // readable: looked for again after a pause.
          std::this_thread::sleep_for(settings.poll);
          continue;
        }
        if (reader->Rest(&line)) take(line);
        file = std::move(opened);
        reader = std::make_unique<TailReader>(file.get());
        current = *rolled;
        ring.Begin(current);
        builder.BeginFile(current.name);
        continue;
      }
    }
    if (gone) {
      // Nothing more will come: a last line the process was cut off in counts as the
      // reader of finished logs counts it.
      if (reader->Rest(&line)) take(line);
      listing.Deliver();
      return {FollowEnd::kProcessGone, "process " + std::to_string(current.pid) + " has ended"};
    }
    // The process is looked at before the last reads, so that whatever it wrote before it
    // ended is read.
    if (series && settings.processGone && settings.processGone(current.pid)) {
      gone = true;
      continue;
    }
    std::this_thread::sleep_for(settings.poll);
  }
}

}  // namespace qel::report
