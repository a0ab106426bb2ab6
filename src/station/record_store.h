// What a station keeps of its units and serial numbers, behind a small
// interface so that a shared database server can serve many stations later.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "station/serial_series.h"

namespace tessarin {

/// How a unit ended, as the store and the exports spell it.
inline constexpr char kOutcomeRunning[] = "running";  ///< burn under way
inline constexpr char kOutcomePassed[] = "passed";
inline constexpr char kOutcomeFailed[] = "failed";
inline constexpr char kOutcomeStopped[] = "stopped";          ///< Ctrl+C or unplugged
inline constexpr char kOutcomeRefused[] = "refused";          ///< never burned
inline constexpr char kOutcomeInterrupted[] = "interrupted";  ///< its station died

/// One unit: one device on one port, from its arrival to its result.
struct UnitRecord {
  std::int64_t m_id = 0;    ///< given by the store
  std::string m_startedAt;  ///< UTC, ISO 8601 with milliseconds
  std::string m_endedAt;    ///< empty while running
  std::string m_station;
  std::string m_port;
  std::string m_device;  ///< "0495:8041"
  std::string m_versionBefore;
  std::string m_curBefore;
  std::string m_versionAfter;
  std::string m_curAfter;
  std::string m_imagePath;
  std::int64_t m_imageSize = 0;
  std::string m_imageSha256;
  std::string m_serial;  ///< empty: the descriptor was cleared (or never reached)
  std::string m_outcome = kOutcomeRunning;
  int m_statusCode = 0;  ///< the last BurnStatus
  std::string m_statusText;
  std::int64_t m_bytes = 0;  ///< image bytes written to the device
  std::int64_t m_durationMs = 0;
  std::string m_toolVersion;
  std::string m_backupFile;
  std::string m_message;  ///< why it was refused, stopped or failed, in words
};

/// What became of a reserved serial when its unit ended.
enum class SerialFate {
  kUsed,      ///< burned and read back
  kSpent,     ///< spent on a failed unit: it may have reached the device; never reused
  kReturned,  ///< the burn ended before the descriptor step: free for the next unit
};

/// A serial that a station reserved and never finished (it died), found when
/// a station starts.
struct SpentSerial {
  std::string m_serial;
  std::int64_t m_unitId = 0;
  std::string m_port;
};

/// Every call is one transaction of its own and may be made from any thread.
/// Several stations (processes) may share one store.
class RecordStore {
 public:
  virtual ~RecordStore() = default;

  /// Registers this station (name, host, process) and settles what stations
  /// on this host left unfinished when they died: their running units become
  /// "interrupted" and their reserved serials spent, listed in *spent.
  virtual bool BeginSession(const std::string& station, std::vector<SpentSerial>* spent,
                            std::string* error) = 0;
  /// Marks this station's session ended.
  virtual void EndSession() = 0;

  /// Records a unit that starts its burn and, with `series`, reserves its
  /// serial in the same transaction: the lowest one returned before, else the
  /// next one never handed out. The serial is in the store before it can
  /// reach any device. Fills m_id and m_serial. False with the reason (also
  /// "every serial is taken") in *error.
  virtual bool StartUnit(UnitRecord* record, const SerialSeries* series, std::string* error) = 0;
  /// Writes the unit's end and the fate of its serial, in one transaction.
  virtual bool FinishUnit(const UnitRecord& record, SerialFate fate, std::string* error) = 0;
  /// Records a unit that was never burned (refused); fills m_id.
  virtual bool AddUnit(UnitRecord* record, std::string* error) = 0;

  /// Units whose start is at or after `since` (ISO 8601 UTC, compared as
  /// text; empty: all), oldest first.
  virtual std::optional<std::vector<UnitRecord>> Units(const std::string& since,
                                                       std::string* error) = 0;
  /// Gives a spent or failed serial back to the pool, on the operator's word.
  /// False when it is unknown, in use by a running unit, or already on a
  /// device that passed.
  virtual bool ReleaseSerial(const std::string& serial, std::string* error) = 0;
  /// The state of a serial ("reserved", "used", "failed", "spent", "free"),
  /// empty when the store never handed it out.
  virtual std::string SerialState(const std::string& serial, std::string* error) = 0;
};

/// The time now, UTC, ISO 8601 with milliseconds: "2026-12-08T14:33:51.123Z".
std::string UtcNowIso8601();

/// Normalises a --since TIME: "2026-12-08", "2026-12-08T14:00", "2026-12-08 14:00:05"
/// or with a trailing "Z", all UTC. Null with the reason when it is none of these.
std::optional<std::string> NormaliseSinceTime(const std::string& text, std::string* error);

}  // namespace tessarin
