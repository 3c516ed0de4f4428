// The production log's record: one finished disk of a production run, or one
// disk of a low-level format or scan.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace galmor::prodlog {

enum class RunKind { Production, LowLevelFormat, Scan };

// "production", "low-level-format", "scan"; ParseRunKind is its inverse.
const char* RunKindName(RunKind kind);
bool ParseRunKind(const std::string& name, RunKind* kind);

// A record is written "configured" before a configuration block goes to the
// disk, and "complete" once the disk's verdict is known. A configured record
// that never completed is a disk whose job was cut short (a kill, a power
// cut): the disk may carry the serial without having been verified.
enum class RecordState { Configured, Complete };
const char* RecordStateName(RecordState state);
bool ParseRecordState(const std::string& name, RecordState* state);

// The configuration a disk carried when its job began, read from the disk.
struct PriorConfig {
    uint16_t usb_vid = 0, usb_pid = 0;
    std::string serial;  // empty: none found
    bool operator==(const PriorConfig&) const = default;
};

// One result column of the grid as the operator saw it.
struct ColumnResult {
    std::string column;  // format, config_string, check_config, check_wp
    std::string mark;
    std::string text;
    bool operator==(const ColumnResult&) const = default;
};

// How long one step of the disk's job took.
struct StepTime {
    std::string step;
    double seconds = 0.0;
    bool operator==(const StepTime&) const = default;
};

struct DiskRecord {
    int64_t id = 0;         // assigned by the store; 0 before it is written
    std::string logged_at;  // UTC, "YYYY-MM-DDTHH:MM:SS.mmmZ"
    std::string station;
    std::string run_id;
    // The lot of rolling production the disk was made in; empty otherwise.
    std::string lot_id;
    RunKind kind = RunKind::Production;
    int port = 0;  // 0-based port index
    std::string device_path;
    std::string recipe_digest;              // SHA-256 over the recipe's files
    std::vector<std::string> recipe_files;  // "name sha256", one per file
    std::vector<std::string> items;         // test items run
    uint16_t usb_vid = 0, usb_pid = 0, bcd_device = 0;
    std::string usb_manufacturer, usb_product, scsi_vendor, scsi_product;
    std::string serial;            // as written to the controller; empty when none was
    bool serial_reserved = false;  // reserved in the log before it was written
    int error_status = 0;
    std::string error_text;
    bool passed = false;
    std::vector<ColumnResult> columns;
    std::vector<StepTime> steps;
    RecordState state = RecordState::Complete;
    // The record this one replaces (the same disk, run again or rewritten
    // by a scan), and the one that replaced it; 0 for none. The store sets
    // both when a record names its disk's earlier configuration in `prior`.
    int64_t supersedes = 0, superseded_by = 0;
    // Not kept as such: what the disk carried before this record's job.
    PriorConfig prior;

    bool operator==(const DiskRecord&) const = default;
};

// Text for the log: valid UTF-8 as it is; anything else is taken as the
// 8-bit code page the controller strings use (Latin-1) and converted.
std::string ToUtf8(const std::string& text);

// The current time in the log's form.
std::string UtcNow();

// The record as JSON and back. FromJson fills what it finds and reports a
// missing or mistyped field as false with the field's name in *error.
nlohmann::ordered_json ToJson(const DiskRecord& r);
bool FromJson(const nlohmann::json& j, DiskRecord* r, std::string* error);

// The columns and steps as the compact JSON text the stores keep.
std::string ColumnsText(const std::vector<ColumnResult>& columns);
std::string StepsText(const std::vector<StepTime>& steps);
bool ParseColumns(const std::string& text, std::vector<ColumnResult>* columns);
bool ParseSteps(const std::string& text, std::vector<StepTime>* steps);
std::string ListText(const std::vector<std::string>& list);
bool ParseList(const std::string& text, std::vector<std::string>* list);
std::string JoinList(const std::vector<std::string>& list);  // "a,b,c"

}  // namespace galmor::prodlog
