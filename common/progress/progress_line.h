// One progress line on a terminal, redrawn in place: a program keeps its
// Status up to date and calls update() as work moves; the line is redrawn
// at most every kRedrawInterval. Around every line of its own that reaches
// the same terminal the program calls clear() before and restore() after,
// and finish() at the end. Without a terminal every call does nothing.
//
//   progress::ProgressLine line(progress::terminalOn(STDERR_FILENO));
//   line.status().files_total = 5;                 // when totals are known
//   line.status().bytes_done += n; line.update(progress::Clock::now());
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

#include "progress_text.h"
#include "terminal.h"

namespace progress {

using Clock = std::chrono::steady_clock;

constexpr Clock::duration kRedrawInterval = std::chrono::milliseconds(250);

// The rate of bytes over the last few seconds, from samples of the byte
// count; none until the samples span a second.
class RateMeter {
 public:
  static constexpr Clock::duration kWindow = std::chrono::seconds(5);
  static constexpr Clock::duration kShortestSpan = std::chrono::seconds(1);

  void add(Clock::time_point when, uint64_t bytes_done);
  std::optional<double> bytesPerSecond() const;

 private:
  std::deque<std::pair<Clock::time_point, uint64_t>> samples_;
};

class ProgressLine {
 public:
  // No terminal: the line is never drawn.
  explicit ProgressLine(std::unique_ptr<Terminal> terminal);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  bool active() const { return terminal_ != nullptr && !finished_; }
  Status& status() { return status_; }

  // Redraws with the current status when the last drawing is
  // kRedrawInterval old or more (the first call always draws), and only
  // while the program is in the terminal's foreground.
  void update(Clock::time_point now);
  // Takes the line off the terminal, before a line of the program's own.
  void clear();
  // Draws the line again after that, if it had been drawn.
  void restore();
  // Takes the line off for good.
  void finish();

 private:
  void draw();

  std::unique_ptr<Terminal> terminal_;
  Status status_;
  RateMeter rate_;
  std::optional<Clock::time_point> last_draw_;
  size_t covered_ = 0;  // columns of the row the line covers now
  bool finished_ = false;
};

}  // namespace progress
