#include "cli/progress.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>

#include "burn/burn_status.h"

namespace tessarin {

namespace {

double SteadySeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool CarriesProgress(BurnStatus status) {
  return status == BurnStatus::BURN_DOWNLOADING || status == BurnStatus::BURN_VERIFYING ||
         status == BurnStatus::BURN_COMPARING;
}

int Percent(long count, long total) {
  if (total <= 0) return 0;
  long clamped = std::clamp(count, 0L, total);
  return static_cast<int>(clamped * 100 / total);
}

/// "1 block", "2 blocks".
std::string Count(long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Elapsed(double seconds) {
  long whole = static_cast<long>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%02ld:%02ld", whole / 60, whole % 60);
  return text;
}

}  // namespace

std::string FormatRate(long bytes, double seconds) {
  if (seconds <= 0.0005) return "-";
  double perSecond = static_cast<double>(bytes) / seconds;
  char text[32];
  if (perSecond >= 1024.0 * 1024.0) {
    std::snprintf(text, sizeof text, "%.1f MB/s", perSecond / (1024.0 * 1024.0));
  } else {
    std::snprintf(text, sizeof text, "%.1f KB/s", perSecond / 1024.0);
  }
  return text;
}

std::string FormatBarLine(const ProgressSnapshot& s, int columns) {
  char head[64];
  std::snprintf(head, sizeof head, "%-16s %3d%% ", s.m_text.c_str(), Percent(s.m_count, s.m_total));
  char tail[96];
  std::snprintf(tail, sizeof tail, " %5ld/%ld bytes  %s  %s", s.m_count, s.m_total,
                FormatRate(s.m_count, s.m_stageSeconds).c_str(),
                Elapsed(s.m_elapsedSeconds).c_str());
  // The bar takes what is left of the line, between 10 and 30 cells; on a
  // very narrow terminal it goes, and the line is cut rather than wrapped.
  int room =
      columns - 1 - static_cast<int>(std::string(head).size() + std::string(tail).size()) - 2;
  std::string line = head;
  if (room >= 10) {
    int width = std::min(room, 30);
    int filled = s.m_total > 0
                     ? static_cast<int>(std::clamp(s.m_count, 0L, s.m_total) * width / s.m_total)
                     : 0;
    line += '[' + std::string(filled, '#') + std::string(width - filled, '.') + ']';
  }
  line += tail;
  if (columns > 1 && static_cast<int>(line.size()) > columns - 1) line.resize(columns - 1);
  return line;
}

std::string FormatPlainLine(const ProgressSnapshot& s) {
  char text[160];
  std::snprintf(text, sizeof text, "%s %d%% %ld/%ld bytes, %s, %.1f s", s.m_text.c_str(),
                Percent(s.m_count, s.m_total), s.m_count, s.m_total,
                FormatRate(s.m_count, s.m_stageSeconds).c_str(), s.m_elapsedSeconds);
  return text;
}

ProgressReporter::ProgressReporter(ProgressStyle style, std::ostream& out, long total, int columns,
                                   Clock clock)
    : m_style(style),
      m_out(out),
      m_total(total),
      m_columns(columns),
      m_clock(clock ? std::move(clock) : Clock(SteadySeconds)) {
  m_start = m_clock();
  m_stageStart = m_start;
}

void ProgressReporter::PostStatus(BurnStatus status, long count) {
  m_lastStatus = status;
  long total = CarriesProgress(status) ? m_total : -1;
  // After a compare pass only the changed blocks are written and read back.
  if (m_compared &&
      (status == BurnStatus::BURN_DOWNLOADING || status == BurnStatus::BURN_VERIFYING)) {
    total = m_compared->m_bytesToWrite;
  }
  Show(status, BurnStatusText(status), count, total);
}

void ProgressReporter::Progress(const std::string& text, long count) {
  Show(std::nullopt, text, count, m_total);
}

const char* ProgressReporter::LastStatusText() const {
  return m_lastStatus ? BurnStatusText(*m_lastStatus) : "";
}

// `total` < 0: a status without progress, printed on a line of its own.
void ProgressReporter::Show(std::optional<BurnStatus> status, const std::string& text, long count,
                            long total) {
  const bool carriesProgress = total >= 0;
  double now = m_clock();
  if (text != m_stageText) {
    m_stageText = text;
    m_stageStart = now;
    m_lastPlainQuarter = -1;
  }
  ProgressSnapshot snapshot{text, count, carriesProgress ? total : 0, now - m_stageStart,
                            now - m_start};

  if (m_style == ProgressStyle::kJson) {
    nlohmann::json event = {{"event", "status"}, {"text", text}};
    if (status) event["code"] = BurnStatusCode(*status);
    if (carriesProgress) {
      event["count"] = count;
      event["total"] = total;
    }
    event["elapsedMs"] = static_cast<long>(snapshot.m_elapsedSeconds * 1000);
    m_out << event.dump() << '\n';
    m_out.flush();
    return;
  }

  if (!carriesProgress) {
    EndLine();
    if (!text.empty()) m_out << text << '\n';
    m_out.flush();
    return;
  }

  if (m_style == ProgressStyle::kBar) {
    // Blanks, not an escape sequence, clear what a longer line left: every
    // console understands them.
    std::string line = FormatBarLine(snapshot, m_columns);
    if (static_cast<int>(line.size()) < m_columns - 1) line.resize(m_columns - 1, ' ');
    m_out << '\r' << line;
    m_lineOpen = true;
    if (count >= total) EndLine();
  } else {
    // A line when a stage begins, at each quarter and at its end: enough for
    // a log, few enough for a pipe.
    int quarter = total > 0 ? Percent(count, total) / 25 : 4;
    if (quarter != m_lastPlainQuarter) {
      m_lastPlainQuarter = quarter;
      m_out << FormatPlainLine(snapshot) << '\n';
    }
  }
  m_out.flush();
}

void ProgressReporter::EndLine() {
  if (m_lineOpen) {
    m_out << '\n';
    m_lineOpen = false;
  }
}

void ProgressReporter::ShowStopNotice(const std::string& text, const std::string& caption) {
  m_stopNotice = text;
  EndLine();
  if (m_style == ProgressStyle::kJson) {
    m_out << nlohmann::json{{"event", "notice"}, {"caption", caption}, {"text", text}}.dump()
          << '\n';
  } else {
    m_out << caption << ": " << text << '\n';
  }
  m_out.flush();
}

void ProgressReporter::DeviceInfoRefreshed(const std::string& version, const std::string& cur) {
  m_version = version;
  m_cur = cur;
}

void ProgressReporter::CompareFinished(const CompareSummary& summary) {
  m_compared = summary;
  EndLine();
  if (m_style == ProgressStyle::kJson) {
    m_out << nlohmann::json{{"event", "compare"},
                            {"blocks", summary.m_blocks},
                            {"changedBlocks", summary.m_changedBlocks},
                            {"skippedBlocks", summary.SkippedBlocks()},
                            {"bytesToWrite", summary.m_bytesToWrite},
                            {"comparedBlocks", summary.ComparedBlocks()},
                            {"elapsedMs", static_cast<long>((m_clock() - m_start) * 1000)}}
                 .dump()
          << '\n';
  } else if (summary.StoppedEarly()) {
    // Most of the first blocks differed: the rest is written without reading it first.
    const long uncompared = summary.m_uncomparedBlocks;
    const long differ = summary.m_changedBlocks - uncompared;
    m_out << differ << " of the first " << Count(summary.ComparedBlocks(), "block", "blocks")
          << (differ == 1 ? " differs" : " differ") << ", so the other " << uncompared
          << (uncompared == 1 ? " is" : " are") << " written without comparing ("
          << Count(summary.m_bytesToWrite, "byte", "bytes") << " to write); "
          << summary.SkippedBlocks() << " skipped\n";
  } else {
    m_out << summary.m_changedBlocks << " of " << Count(summary.m_blocks, "block", "blocks")
          << (summary.m_changedBlocks == 1 ? " differs (" : " differ (")
          << Count(summary.m_bytesToWrite, "byte", "bytes") << " to write); "
          << summary.SkippedBlocks() << " skipped\n";
  }
  m_out.flush();
}

}  // namespace tessarin
