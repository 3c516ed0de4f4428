// What the two stores share: the tables, and a record as the row of text
// values that both write and read.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "prodlog/record.h"
#include "prodlog/store.h"

namespace galmor::prodlog::detail {

// The columns of `disks` after its id, in the order RecordRow gives them:
// those of schema version 1, then state, supersedes and superseded_by
// (version 2), then lot_id (version 3).
extern const char* const kDiskColumns[];
constexpr int kDiskColumnCount = 27;
constexpr int kDiskColumnCountV1 = 23;

// Whether a column of `disks` holds a number (ids are the 64-bit ones).
bool IntegerColumn(const std::string& name);
bool IdColumn(const std::string& name);

// "a, b, c" of the columns above.
std::string DiskColumnList();

// The record as text values for the columns above.
std::vector<std::string> RecordRow(const DiskRecord& r);

// A row read back: the id, then the columns above. False when a value is
// not what the station writes (a log edited by hand, or damaged). Brief:
// the lists and the columns and steps of the record (JSON texts) are only
// checked to be well-formed (unchecked: not even that), and stay empty.
bool RowRecord(const std::vector<std::string>& row, DiskRecord* r, std::string* error,
               bool brief = false, bool unchecked = false);

// The schema of version 1 for either database; `id_type` is the type of the
// id column ("INTEGER PRIMARY KEY AUTOINCREMENT" or "BIGSERIAL PRIMARY KEY").
std::vector<std::string> SchemaV1(const std::string& id_type);

// Version 2: a record's state and the records it supersedes, whether a
// record counts in the yield (a production disk, or a record that replaced
// one), and the indexes that the station's look-ups and the summaries use.
std::vector<std::string> SchemaV2(const std::string& id_type);
// Version 3: the lot a disk was made in (rolling production).
std::vector<std::string> SchemaV3();
// Version 4: the disks that count, per hour, station, lot and outcome, kept
// by triggers on `disks` in the transaction of every write and filled from
// the records already there.
std::vector<std::string> SchemaV4(bool postgres);

// The WHERE clause of a filter over `disks` (without "WHERE"), its values
// appended to *args; `placeholder` gives the text of the n-th value (1-based).
std::string FilterSql(const LogFilter& filter, std::vector<std::string>* args,
                      const std::function<std::string(size_t)>& placeholder);

// The aggregate behind Store::Count: over the hourly counts when the filter
// allows (no serial or run, whole hours, periods of hours or longer),
// otherwise over the records.
std::string CountSql(const LogFilter& filter, int period_chars, std::vector<std::string>* args,
                     const std::function<std::string(size_t)>& placeholder);

// The message of a record whose serial is held by another disk's reservation.
std::string SerialHeldElsewhere(const DiskRecord& r);

// Group commit. Ports that finish together hand in their records at once;
// while one commit is being flushed the records that arrive meanwhile queue
// up and go into the next commit together, so a run of eight disks pays for
// two or three flushes instead of eight. Every caller still returns only
// once its own record is committed (or refused).
class GroupCommit {
  public:
    // Writes `records` in one transaction and sets one result per record: a
    // record may be refused while the others are committed. False when the
    // transaction itself failed (nothing of it is in the log); the records
    // of a failed batch are then tried one by one, so that one bad record
    // does not fail the disks that finished with it.
    using Writer = std::function<bool(const std::vector<DiskRecord*>& records,
                                      std::vector<LogResult>* results)>;

    // Queues `r`, takes a turn as the writer when no one else is writing,
    // and returns once the commit holding `r` is done.
    LogResult Append(DiskRecord* r, const Writer& write);

    // Records waiting for a commit to start (not those being written).
    size_t Queued();

  private:
    struct Pending {
        DiskRecord* record;
        LogResult result;
        bool done = false;
    };
    std::mutex mutex_;
    std::condition_variable done_;
    std::vector<Pending*> queue_;
    bool writing_ = false;
};

}  // namespace galmor::prodlog::detail
