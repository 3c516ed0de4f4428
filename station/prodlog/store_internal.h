// What the two stores share: the tables, and a record as the row of text
// values that both write and read.
#pragma once

#include <string>
#include <vector>

#include "prodlog/record.h"

namespace galmor::prodlog::detail {

// The columns of `disks` after its id, in the order RecordRow gives them.
extern const char* const kDiskColumns[];
constexpr int kDiskColumnCount = 23;

// "a, b, c" of the columns above.
std::string DiskColumnList();

// The record as text values for the columns above.
std::vector<std::string> RecordRow(const DiskRecord& r);

// A row read back: the id, then the columns above. False when a value is
// not what the station writes (a log edited by hand, or damaged).
bool RowRecord(const std::vector<std::string>& row, DiskRecord* r, std::string* error);

// The schema of version 1 for either database; `id_type` is the type of the
// id column ("INTEGER PRIMARY KEY AUTOINCREMENT" or "BIGSERIAL PRIMARY KEY").
std::vector<std::string> SchemaV1(const std::string& id_type);

}  // namespace galmor::prodlog::detail
