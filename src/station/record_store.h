// What a station keeps of its units and serial numbers, behind a small
// interface so that a shared database server can serve many stations later.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/serial_series.h"

namespace tessarin {

/// How a unit ended (or that it has not yet).
enum class UnitOutcome {
  kRunning,      ///< burn under way
  kPassed,       ///< burned and read back
  kFailed,       ///< the burn (or the backup before it) failed
  kStopped,      ///< Ctrl+C or unplugged
  kRefused,      ///< never burned
  kInterrupted,  ///< its station died before the unit ended
};

/// Where a serial stands in the store.
enum class SerialState {
  kReserved,  ///< held by a unit whose burn is under way
  kUsed,      ///< on a device that passed
  kFailed,    ///< spent on a unit that failed after its verify: it may be on the device
  kSpent,     ///< held by a unit whose station died: it may be on the device
  kFree,      ///< given back (the burn ended before the descriptor, or released)
};

/// The words the store and the exports write for an outcome ("running",
/// "passed", "failed", "stopped", "refused", "interrupted") and for a serial
/// state ("reserved", "used", "failed", "spent", "free"); stored files hold
/// them, so they never change.
const char* OutcomeWord(UnitOutcome outcome);
const char* SerialStateWord(SerialState state);
/// The outcome or state a stored word stands for; null for any other word.
std::optional<UnitOutcome> OutcomeFromWord(std::string_view word);
std::optional<SerialState> SerialStateFromWord(std::string_view word);

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
  UnitOutcome m_outcome = UnitOutcome::kRunning;
  int m_statusCode = 0;  ///< the last BurnStatus
  std::string m_statusText;
  std::int64_t m_bytes = 0;  ///< image bytes written to the device
  std::int64_t m_durationMs = 0;
  std::string m_toolVersion;
  std::string m_backupFile;
  std::string m_message;  ///< why it was refused, stopped or failed, in words

  friend bool operator==(const UnitRecord&, const UnitRecord&) = default;
};

/// What became of a reserved serial when its unit ended.
enum class SerialFate {
  kUsed,      ///< burned and read back: SerialState::kUsed
  kFailed,    ///< the unit failed after its verify, the serial may be on the device:
              ///< SerialState::kFailed, never handed out again
  kReturned,  ///< the burn ended before the descriptor step: SerialState::kFree,
              ///< for the next unit
};

/// The state a serial is stored in after its unit's end.
SerialState SerialStateAfter(SerialFate fate);

/// A serial that a station reserved and never finished (it died), found when
/// a station starts.
struct SpentSerial {
  std::string m_serial;
  std::int64_t m_unitId = 0;
  std::string m_port;
};

/// What a station tells the store about itself when it starts.
struct StationIdentity {
  std::string m_name;  ///< the station's name in the records
};

/// The records of the units and the serial numbers of every station that
/// shares it.
///
/// The serial policy, the same for every store (ReserveSerial below holds
/// it): a unit gets the lowest serial of its series that was given back (the
/// first in a list's order; of a format, the one first handed out), else
/// the next one the store never handed out (the list's next; the format's next
/// number). A serial that may have reached a device (failed, spent) is never
/// handed out again until the operator releases it. A reserved serial is
/// durable in the store, in the transaction that records its unit, before
/// StartUnit returns: before it can reach any device.
///
/// Every call is one transaction of its own and may be made from any thread.
/// Several stations (processes, and for a server several machines) may share
/// one store.
class RecordStore {
 public:
  virtual ~RecordStore() = default;

  /// Registers this station and settles what stations that died left
  /// unfinished: their running units become kInterrupted and their reserved
  /// serials kSpent, listed in *spent. How it knows that a station died is
  /// the store's own affair (a file on one machine can ask whether the
  /// process still runs; a server can see that its connection is gone).
  virtual bool BeginSession(const StationIdentity& station, std::vector<SpentSerial>* spent,
                            std::string* error) = 0;
  /// Marks this station's session ended.
  virtual void EndSession() = 0;

  /// Records a unit that starts its burn and, with `series`, reserves its
  /// serial by the policy above in the same transaction. Fills m_id and
  /// m_serial. False with the reason (also "every serial is taken") in *error.
  virtual bool StartUnit(UnitRecord* record, const SerialSeries* series, std::string* error) = 0;
  /// Writes the unit's end and the fate of its serial, in one transaction.
  virtual bool FinishUnit(const UnitRecord& record, SerialFate fate, std::string* error) = 0;
  /// Records a unit that was never burned (refused, or its backup failed);
  /// fills m_id.
  virtual bool AddUnit(UnitRecord* record, std::string* error) = 0;

  /// Units whose start is at or after `since` (ISO 8601 UTC, compared as
  /// text; empty: all), oldest first.
  virtual std::optional<std::vector<UnitRecord>> Units(const std::string& since,
                                                       std::string* error) = 0;
  /// Gives a failed or spent serial back to the pool, on the operator's word.
  /// False when it is unknown, free already, reserved by a running unit, or on
  /// a device that passed.
  virtual bool ReleaseSerial(const std::string& serial, std::string* error) = 0;
  /// The state of a serial; null when the store never handed it out (or, with
  /// the reason in *error, when it cannot be read).
  virtual std::optional<SerialState> StateOfSerial(const std::string& serial,
                                                   std::string* error) = 0;

  /// Whether the store can be reached now; false with the reason in *why
  /// while it cannot (a server whose connection broke: the store reconnects by
  /// itself). Meanwhile StartUnit fails with an error that IsStoreUnavailable
  /// knows, and a store that keeps a journal on the station takes FinishUnit
  /// and AddUnit there, to write them once it is back. A file is always
  /// reachable. Cheap, from any thread, never waits for the store.
  virtual bool Available(std::string* why);
  /// What the store keeps on the station that it has not yet written, in
  /// words for the operator; empty when nothing waits.
  virtual std::string Pending();
  /// The time to stamp the records with, UTC ISO 8601 with milliseconds (as
  /// UtcNowIso8601): the clock of the store's own machine, so that the records
  /// of stations on several machines compare.
  virtual std::string Now();
};

/// The reason StartUnit (and any call that needs the store) fails with while
/// the store cannot be reached: "store unavailable: ..." with the cause.
/// Nothing was recorded; the call may be made again.
std::string StoreUnavailableError(const std::string& cause);
/// Whether `error` is such a reason.
bool IsStoreUnavailable(const std::string& error);

/// What a store keeps of the serials it handed out, as ReserveSerial needs
/// it. Every call is made inside the one transaction of StartUnit.
class SerialLedger {
 public:
  enum class Take {
    kTaken,        ///< reserved now for the unit that starts
    kHandedOut,    ///< the store holds it in a state other than free
    kFailedToAsk,  ///< the store failed; the reason is in *error
  };
  virtual ~SerialLedger() = default;
  /// Reserves `serial` of the series `key` when the store never handed it out
  /// or holds it free.
  virtual Take Reserve(const std::string& key, const std::string& serial, std::string* error) = 0;
  /// Of the free serials of series `key`, the one the store handed out
  /// first (*serial empty when there is none). False when the store failed.
  virtual bool FirstFree(const std::string& key, std::string* serial, std::string* error) = 0;
  /// The number the format series `key` goes on from; 0 when the store keeps
  /// none yet. False when the store failed.
  virtual bool Counter(const std::string& key, std::uint64_t* next, std::string* error) = 0;
  virtual bool SetCounter(const std::string& key, std::uint64_t next, std::string* error) = 0;
};

/// Reserves the serial of `series` that the policy above gives, through a
/// store's ledger; false with the reason (every serial taken, none within
/// the search limit, a formatted serial that cannot be burned, the store's
/// failure) in *error.
bool ReserveSerial(const SerialSeries& series, SerialLedger& ledger, std::string* serial,
                   std::string* error);

}  // namespace tessarin
