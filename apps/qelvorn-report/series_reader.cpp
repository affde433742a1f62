// The reading thread: whole lines copied into a batch's own bytes, then parsed there, so
// that a batch stays valid after the reader's buffer has moved on.
#include "series_reader.h"

#include <cstdio>
#include <exception>
#include <utility>

namespace qel::report {
namespace {

// Points the batch's lines into its bytes, now that they no longer move, and parses them.
void Seal(SeriesReader::Batch& batch, Section* section) {
  for (size_t i = 0; i < batch.lines.size(); ++i) {
    SeriesReader::Line& line = batch.lines[i];
    const auto& [offset, length] = batch.spans[i];
    line.read.text = std::string_view(batch.bytes.data() + offset, length);
    if (!line.read.ended) continue;
    line.parsed = ParseLine(line.read.text, *section);
    *section = line.parsed.nextSection;
  }
}

}  // namespace

SeriesReader::SeriesReader(std::vector<std::string> paths) : paths_(std::move(paths)) {
  thread_ = std::thread([this] { Run(); });
}

SeriesReader::~SeriesReader() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

const SeriesReader::Batch* SeriesReader::Next() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (current_ && spare_.size() <= kAhead) spare_.push_back(std::move(current_));
  current_.reset();
  changed_.wait(lock, [this] { return !ready_.empty() || finished_; });
  if (ready_.empty() && failure_) std::rethrow_exception(failure_);
  if (ready_.empty()) return nullptr;
  current_ = std::move(ready_.front());
  ready_.pop_front();
  lock.unlock();
  changed_.notify_all();
  return current_.get();
}

std::unique_ptr<SeriesReader::Batch> SeriesReader::Fresh(size_t file, bool first) {
  std::unique_ptr<Batch> batch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!spare_.empty()) {
      batch = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  if (!batch) batch = std::make_unique<Batch>();
  batch->file = file;
  batch->first = first;
  batch->end = FileEnd::kNone;
  batch->lines.clear();
  batch->bytes.clear();
  batch->spans.clear();
  // A batch that took an overlong line gives its room back rather than keep it.
  if (batch->bytes.capacity() > 2 * kBatchBytes + LineReader::kLineLimit) {
    batch->bytes.shrink_to_fit();
  }
  return batch;
}

bool SeriesReader::Hand(std::unique_ptr<Batch> batch) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return ready_.size() < kAhead || stop_; });
    if (stop_) return false;
    ready_.push_back(std::move(batch));
  }
  changed_.notify_all();
  return true;
}

void SeriesReader::Run() {
  Section section = Section::kNone;
  try {
    for (size_t f = 0; f < paths_.size(); ++f) {
      std::unique_ptr<Batch> batch = Fresh(f, true);
      std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(std::fopen(paths_[f].c_str(), "rb"),
                                                             std::fclose);
      if (!stream) {
        batch->end = FileEnd::kUnopened;
        Hand(std::move(batch));
        break;
      }
      LineReader reader(stream.get());
      ReadLine read;
      while (reader.Next(&read)) {
        batch->spans.emplace_back(batch->bytes.size(), read.text.size());
        batch->bytes.append(read.text.data(), read.text.size());
        batch->lines.push_back(Line{ReadLine{std::string_view(), read.ended, read.cut}, {}});
        // Lines count as well as their bytes: a file of empty lines is no smaller a batch.
        if (batch->bytes.size() < kBatchBytes && batch->lines.size() < kBatchLines) continue;
        Seal(*batch, &section);
        if (!Hand(std::move(batch))) return;
        batch = Fresh(f, false);
      }
      bool failed = reader.Failed();
      batch->end = failed ? FileEnd::kReadError : FileEnd::kDone;
      Seal(*batch, &section);
      if (!Hand(std::move(batch)) || failed) break;
    }
  } catch (...) {
    // Out of memory, most likely: what was handed on stands, and Next passes the failure on
    // to the caller's thread after it.
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::current_exception();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  changed_.notify_all();
}

}  // namespace qel::report
