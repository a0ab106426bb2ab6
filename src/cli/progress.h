// Progress of a burn, verify or read as the tool shows it: a redrawn bar on a
// terminal, plain lines in a pipe or log, or one JSON object per status post.
#pragma once

#include <chrono>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "burn/burn_worker.h"

namespace tessarin {

enum class ProgressStyle { kBar, kLines, kJson };

/// One moment of an operation, as the formatting functions take it.
struct ProgressSnapshot {
  std::string m_text;           ///< the status text, e.g. "Downloading..."
  long m_count = 0;             ///< bytes done (or next address) in this stage
  long m_total = 0;             ///< bytes of the stage; 0: no progress to show
  double m_stageSeconds = 0;    ///< time since this stage began, for the rate
  double m_elapsedSeconds = 0;  ///< time since the operation began
};

/// "Downloading...    45% [#############.................]  14760/32768 bytes  120.4 KB/s  00:02"
/// fitted to `columns` (the bar shrinks first).
std::string FormatBarLine(const ProgressSnapshot& snapshot, int columns);
/// "Downloading... 45% 14760/32768 bytes, 120.4 KB/s, 2.1 s"
std::string FormatPlainLine(const ProgressSnapshot& snapshot);
/// "120.4 KB/s" (1 KB = 1024 bytes); "-" when no time has passed yet.
std::string FormatRate(long bytes, double seconds);

/// A status sink that prints. BURN_DOWNLOADING, BURN_VERIFYING and
/// BURN_COMPARING carry progress against `total`; every other status ends the
/// stage and prints its text on a line of its own (in JSON mode every post is
/// one event, with the status's code). Single-threaded use: the
/// command-line tool runs the burn on its own thread.
class ProgressReporter : public BurnStatusSink {
 public:
  using Clock = std::function<double()>;  ///< seconds since an arbitrary start

  ProgressReporter(ProgressStyle style, std::ostream& out, long total, int columns = 80,
                   Clock clock = {});

  void PostStatus(BurnStatus status, long count) override;
  void ShowStopNotice(const std::string& text, const std::string& caption) override;
  void DeviceInfoRefreshed(const std::string& version, const std::string& cur) override;
  /// Prints what the compare pass found ("compare" event in JSON); from then
  /// on the download and verify stages run over the bytes to write.
  void CompareFinished(const CompareSummary& summary) override;

  /// Progress of a step that has no display code (reading the EEPROM for a
  /// dump or a backup); in JSON its event carries no "code".
  void Progress(const std::string& text, long count);
  /// Ends a bar line left open (before anything else is printed).
  void EndLine();

  /// The last status posted; none before the first.
  std::optional<BurnStatus> LastStatus() const { return m_lastStatus; }
  /// Its text; "" before the first status.
  const char* LastStatusText() const;
  const std::string& Version() const { return m_version; }
  const std::string& Cur() const { return m_cur; }
  /// What the compare pass of a changed-blocks burn found; empty until then.
  const std::optional<CompareSummary>& Compared() const { return m_compared; }
  /// The stop notice shown, if any.
  const std::string& StopNotice() const { return m_stopNotice; }

 private:
  /// `status`: the status shown, none for a step without one.
  void Show(std::optional<BurnStatus> status, const std::string& text, long count, long total);

  ProgressStyle m_style;
  std::ostream& m_out;
  long m_total;
  int m_columns;
  Clock m_clock;
  double m_start = 0;
  double m_stageStart = 0;
  std::string m_stageText;
  int m_lastPlainQuarter = -1;
  bool m_lineOpen = false;
  std::optional<BurnStatus> m_lastStatus;
  std::string m_version;
  std::string m_cur;
  std::string m_stopNotice;
  std::optional<CompareSummary> m_compared;
};

}  // namespace tessarin
