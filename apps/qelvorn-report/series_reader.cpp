// The reading thread: whole lines copied into a batch's own bytes, then parsed there, so
// that a batch stays valid after the reader's buffer has moved on.
#include "series_reader.h"

#include <cstdio>
#include <utility>

namespace qel::report {
namespace {

// Points the batch's lines into its bytes, now that they no longer move, and parses them.
void Seal(SeriesReader::Batch& batch, Section* section) {
  for (size_t i = 0; i < batch.lines.size(); ++i) {
    SeriesReader::Line& line = batch.lines[i];
    line.read.text = std::string_view(batch.bytes.data() + batch.offsets[i], line.read.text.size());
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
  batch->offsets.clear();
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
  // Made before anything else, so that running out of memory can still be told.
  std::unique_ptr<Batch> broken = std::make_unique<Batch>();
  broken->end = FileEnd::kReadError;
  size_t f = 0;
  try {
    for (; f < paths_.size(); ++f) {
      std::unique_ptr<Batch> batch = Fresh(f, true);
      std::FILE* stream = std::fopen(paths_[f].c_str(), "rb");
      if (stream == nullptr) {
        batch->end = FileEnd::kUnopened;
        Hand(std::move(batch));
        break;
      }
      bool failed = false;
      {
        LineReader reader(stream);
        ReadLine read;
        bool handed = true;
        while (handed && reader.Next(&read)) {
          batch->offsets.push_back(batch->bytes.size());
          batch->bytes.append(read.text.data(), read.text.size());
          // The text is pointed into the bytes when the batch is sealed.
          batch->lines.push_back(
              Line{ReadLine{std::string_view(nullptr, read.text.size()), read.ended, read.cut},
                   ParsedLine()});
          if (batch->bytes.size() < kBatchBytes) continue;
          Seal(*batch, &section);
          handed = Hand(std::move(batch));
          batch = Fresh(f, false);
        }
        failed = reader.Failed();
        std::fclose(stream);
        if (!handed) return;
      }
      batch->end = failed ? FileEnd::kReadError : FileEnd::kDone;
      Seal(*batch, &section);
      if (!Hand(std::move(batch)) || failed) break;
    }
  } catch (...) {
    // Out of memory: what was handed on stands, and the file ends as unreadable.
    broken->file = f;
    std::lock_guard<std::mutex> lock(mutex_);
    ready_.push_back(std::move(broken));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  changed_.notify_all();
}

}  // namespace qel::report
