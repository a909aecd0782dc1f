#include "progress_line.h"

#include <algorithm>
#include <string>

namespace progress {

void RateMeter::add(Clock::time_point when, uint64_t bytes_done) {
  samples_.emplace_back(when, bytes_done);
  // Keep one sample from the window's start or before it.
  while (samples_.size() > 2 && samples_[1].first <= when - kWindow) samples_.pop_front();
}

std::optional<double> RateMeter::bytesPerSecond() const {
  if (samples_.size() < 2) return std::nullopt;
  const auto& [first_time, first_bytes] = samples_.front();
  const auto& [last_time, last_bytes] = samples_.back();
  if (last_time - first_time < kShortestSpan || last_bytes < first_bytes) return std::nullopt;
  const std::chrono::duration<double> span = last_time - first_time;
  return static_cast<double>(last_bytes - first_bytes) / span.count();
}

ProgressLine::ProgressLine(std::unique_ptr<Terminal> terminal) : terminal_(std::move(terminal)) {}

ProgressLine::~ProgressLine() { finish(); }

void ProgressLine::update(Clock::time_point now) {
  if (!active() || (last_draw_ && now - *last_draw_ < kRedrawInterval)) return;
  if (!terminal_->inForeground()) return;
  last_draw_ = now;
  rate_.add(now, status_.bytes_done);
  draw();
}

void ProgressLine::clear() {
  if (terminal_ == nullptr || covered_ == 0) return;
  std::string bytes(covered_ + 2, ' ');
  bytes.front() = bytes.back() = '\r';
  terminal_->write(bytes);
  covered_ = 0;
  terminal_->covers(0);
}

void ProgressLine::restore() {
  if (active() && last_draw_) draw();
}

void ProgressLine::finish() {
  clear();
  finished_ = true;
}

void ProgressLine::draw() {
  // The last column stays free: a terminal may wrap as soon as it is
  // written.
  const size_t columns = terminal_->columns();
  const Text line = render(status_, rate_.bytesPerSecond(), columns > 0 ? columns - 1 : 0);
  // Blanks over what is left of a longer line before it; plain text and
  // carriage returns, which every terminal knows.
  std::string bytes = "\r";
  bytes += line.text;
  if (covered_ > line.columns) bytes.append(covered_ - line.columns, ' ');
  terminal_->write(bytes);
  covered_ = std::max(covered_, line.columns);
  terminal_->covers(covered_);
}

}  // namespace progress
