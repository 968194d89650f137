// mervanectl's output: tables, progress bars, the live block redrawn in place on a terminal, and
// following moves until the motors rest.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/console.h"
#include "tools/mervanectl/cli.h"

namespace mervanectl {

namespace pf = mervane::platform;

namespace {
constexpr double kLivePeriod = 0.05;   // redraw interval on a terminal, seconds
constexpr double kPlainPeriod = 1.0;   // progress line interval otherwise
constexpr int kBarWidth = 24;

std::string Padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}
}  // namespace

bool Live() {
  static const bool live = pf::StdoutIsTerminal();
  return live;
}

std::string Number(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", value == 0.0 ? 0.0 : value);  // no "-0"
  return buffer;
}

std::string Bar(double fraction, int width) {
  fraction = std::clamp(fraction, 0.0, 1.0);
  int filled = static_cast<int>(std::lround(fraction * width));
  // Appended in place: GCC 12 at -O3 takes "[" + std::string(...) for an overlapping copy
  // (-Werror=restrict).
  std::string bar = "[";
  bar.append(static_cast<std::size_t>(filled), '#').append(static_cast<std::size_t>(width - filled), '.');
  return bar + "]";
}

void PrintTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
  if (!Live()) {
    auto line = [](const std::vector<std::string>& fields) {
      std::string out;
      for (std::size_t i = 0; i < fields.size(); ++i) out += (i ? "\t" : "") + fields[i];
      std::printf("%s\n", out.c_str());
    };
    line(header);
    for (const auto& row : rows) line(row);
    return;
  }
  std::vector<std::size_t> width(header.size());
  for (std::size_t i = 0; i < header.size(); ++i) width[i] = header[i].size();
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size() && i < width.size(); ++i) width[i] = std::max(width[i], row[i].size());
  auto line = [&](const std::vector<std::string>& fields) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i)
      out += i + 1 < fields.size() ? Padded(fields[i], width[i] + 2) : fields[i];
    std::printf("%s\n", out.c_str());
  };
  line(header);
  for (const auto& row : rows) line(row);
}

void LiveBlock::Erase() {
  // Cursor up over the drawn lines, then clear to the end of the screen.
  if (drawn_ > 0) std::printf("\x1b[%zuF\x1b[J", drawn_);
  drawn_ = 0;
}

void LiveBlock::Draw(const std::vector<std::string>& lines) {
  Erase();
  for (const auto& l : lines) std::printf("%s\n", l.c_str());
  lines_ = lines;
  drawn_ = lines.size();
  std::fflush(stdout);
}

void LiveBlock::Message(const std::string& line) {
  Erase();
  std::printf("%s\n", line.c_str());
  Draw(lines_);
}

void LiveBlock::Finish() {
  drawn_ = 0;
  std::fflush(stdout);
}

bool FollowMoves(Session& session, const std::vector<WatchedMotor>& watched, double startTime) {
  LiveBlock block;
  std::vector<bool> resting(watched.size(), false);
  // A signal that came before the wait began (between the start and here) counts as well.
  int interruptsSeen = 0;
  bool interrupted = false;
  double nextPlain = pf::NowSeconds() + kPlainPeriod;
  for (;;) {
    if (pf::InterruptCount() != interruptsSeen) {
      interruptsSeen = pf::InterruptCount();
      if (!interrupted) {
        for (const auto& w : watched) SM_Stop(w.box, w.channel);  // run down the ramp
        std::string note = "Ctrl+C: stopping on the ramp, waiting for rest";
        Live() ? block.Message(note) : (void)std::printf("%s\n", note.c_str());
      }
      interrupted = true;
    }
    double now = pf::NowSeconds();
    std::vector<std::string> lines;
    bool anyRunning = false;
    for (std::size_t i = 0; i < watched.size(); ++i) {
      Motor m = session.MotorAt(watched[i].box, watched[i].channel);
      if (!m.running && !resting[i]) {
        resting[i] = true;
        char text[160];
        std::snprintf(text, sizeof text, "Motor Stopped: %s at %s %s after %.2f s", m.name.c_str(),
                      Number(m.position).c_str(), m.Unit().c_str(), now - startTime);
        if (Live()) {
          block.Message(text);
        } else {
          std::printf("%s\n", text);
          std::fflush(stdout);
        }
      }
      anyRunning = anyRunning || m.running;
      double span = m.destination - watched[i].start;
      double done = span == 0.0 ? 1.0 : (m.position - watched[i].start) / span;
      char line[200];
      std::snprintf(line, sizeof line, "%-9s %10s %-3s -> %10s %-3s %s  %s", m.name.c_str(), Number(m.position).c_str(),
                    m.Unit().c_str(), Number(m.destination).c_str(), m.Unit().c_str(),
                    Bar(m.running ? done : 1.0, kBarWidth).c_str(), m.running ? "running" : "stopped");
      lines.push_back(line);
      if (!Live() && m.running && now >= nextPlain)
        std::printf("%s\t%s\t%s\trunning\n", m.name.c_str(), Number(m.position).c_str(), Number(m.destination).c_str());
    }
    if (!Live() && now >= nextPlain) {
      nextPlain = now + kPlainPeriod;
      std::fflush(stdout);
    }
    if (Live()) block.Draw(lines);
    if (!anyRunning) break;
    pf::SleepSeconds(kLivePeriod);
  }
  block.Finish();
  return interrupted;
}

}  // namespace mervanectl
