#include "prodlog/printer.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <utility>

namespace galmor::prodlog {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kColumnNames[] = {"format", "config_string", "check_config", "check_wp"};

std::string Hex2(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X", v);
    return buf;
}
std::string Hex4(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X", v);
    return buf;
}
std::string Percent(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string ErrorCell(const DiskRecord& r) {
    if (r.error_status == 0) return r.error_text;
    return Hex2(r.error_status) + (r.error_text.empty() ? "" : " " + r.error_text);
}

// A CSV field: quoted when it holds a separator, a quote or a line break.
std::string Csv(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

void CsvLine(const std::vector<std::string>& cells, std::ostream& out) {
    for (size_t i = 0; i < cells.size(); ++i) out << (i ? "," : "") << Csv(cells[i]);
    out << "\n";
}

// Aligned columns, two blanks apart; the last column is not padded.
void Table(const std::vector<std::vector<std::string>>& rows, std::ostream& out) {
    std::vector<size_t> width;
    for (const auto& row : rows) {
        width.resize(std::max(width.size(), row.size()));
        for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(width[c] - row[c].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << "\n";
    }
}

const ColumnResult* FindColumn(const DiskRecord& r, const char* name) {
    for (const auto& c : r.columns) {
        if (c.column == name) return &c;
    }
    return nullptr;
}

std::string StepsCell(const DiskRecord& r) {
    std::string out;
    for (const auto& s : r.steps) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.3f", s.seconds);
        out += (out.empty() ? "" : ";") + s.step + "=" + buf;
    }
    return out;
}

}  // namespace

bool ParseLogFormat(const std::string& text, LogFormat* format) {
    if (text == "table") {
        *format = LogFormat::Table;
    } else if (text == "csv") {
        *format = LogFormat::Csv;
    } else if (text == "json") {
        *format = LogFormat::Json;
    } else {
        return false;
    }
    return true;
}

bool MakeFilter(const LogOptions& opts, LogFilter* filter, std::string* error) {
    *filter = LogFilter{};
    if (!opts.since.empty() && !NormaliseSince(opts.since, &filter->since)) {
        *error = "--since wants a UTC date or time (YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS]), not \"" +
                 opts.since + "\"";
        return false;
    }
    filter->station = opts.station;
    if (opts.result == "pass") {
        filter->result = 1;
    } else if (opts.result == "fail") {
        filter->result = 0;
    } else if (!opts.result.empty()) {
        *error = "--result wants pass or fail, not \"" + opts.result + "\"";
        return false;
    }
    return true;
}

std::vector<DaySummary> Summarise(const std::vector<DiskRecord>& records) {
    std::map<std::pair<std::string, std::string>, DaySummary> days;
    for (const auto& r : records) {
        if (r.kind != RunKind::Production) continue;
        const std::string day = r.logged_at.substr(0, 10);
        DaySummary& d = days[{day, r.station}];
        d.day = day;
        d.station = r.station;
        ++d.disks;
        if (r.passed) {
            ++d.passed;
        } else {
            ++d.failed;
            ++d.errors[r.error_text.empty() ? "Error Status = " + Hex2(r.error_status)
                                            : r.error_text];
        }
    }
    std::vector<DaySummary> out;
    for (auto& [key, d] : days) out.push_back(std::move(d));
    return out;
}

void PrintRecords(const std::vector<DiskRecord>& records, LogFormat format, std::ostream& out) {
    if (format == LogFormat::Json) {
        Json a = Json::array();
        for (const auto& r : records) {
            // The code also as the grid, the CSV and the table write it.
            Json j = ToJson(r);
            j["error_status_hex"] = Hex2(r.error_status);
            a.push_back(std::move(j));
        }
        out << a.dump(2) << "\n";
        return;
    }
    if (format == LogFormat::Csv) {
        std::vector<std::string> head = {
            "id",          "logged_at",    "station",       "run_id",           "kind",
            "port",        "device_path",  "recipe_digest", "recipe_files",     "items",
            "usb_vid",     "usb_pid",      "bcd_device",    "usb_manufacturer", "usb_product",
            "scsi_vendor", "scsi_product", "serial",        "serial_reserved",  "error_status",
            "error_text",  "result"};
        for (const char* c : kColumnNames) {
            head.push_back(std::string(c) + "_mark");
            head.push_back(std::string(c) + "_text");
        }
        head.push_back("steps");
        CsvLine(head, out);
        for (const auto& r : records) {
            std::string files;
            for (const auto& f : r.recipe_files) files += (files.empty() ? "" : ";") + f;
            std::vector<std::string> row = {std::to_string(r.id),
                                            r.logged_at,
                                            r.station,
                                            r.run_id,
                                            RunKindName(r.kind),
                                            std::to_string(r.port),
                                            r.device_path,
                                            r.recipe_digest,
                                            files,
                                            JoinList(r.items),
                                            Hex4(r.usb_vid),
                                            Hex4(r.usb_pid),
                                            Hex4(r.bcd_device),
                                            r.usb_manufacturer,
                                            r.usb_product,
                                            r.scsi_vendor,
                                            r.scsi_product,
                                            r.serial,
                                            r.serial_reserved ? "1" : "0",
                                            Hex2(r.error_status),
                                            r.error_text,
                                            r.passed ? "pass" : "fail"};
            for (const char* c : kColumnNames) {
                const ColumnResult* col = FindColumn(r, c);
                row.push_back(col ? col->mark : "");
                row.push_back(col ? col->text : "");
            }
            row.push_back(StepsCell(r));
            CsvLine(row, out);
        }
        return;
    }
    std::vector<std::vector<std::string>> rows = {
        {"Time (UTC)", "Station", "Run", "Kind", "Port", "VID:PID", "Serial", "Result", "Error"}};
    for (const auto& r : records) {
        rows.push_back({r.logged_at, r.station, r.run_id, RunKindName(r.kind),
                        std::to_string(r.port), Hex4(r.usb_vid) + ":" + Hex4(r.usb_pid),
                        r.serial.empty() ? "-" : r.serial, r.passed ? "pass" : "fail",
                        ErrorCell(r)});
    }
    Table(rows, out);
    out << records.size() << (records.size() == 1 ? " record\n" : " records\n");
}

void PrintSummary(const std::vector<DaySummary>& days, LogFormat format, std::ostream& out) {
    if (format == LogFormat::Json) {
        Json a = Json::array();
        for (const auto& d : days) {
            Json errors = Json::object();
            for (const auto& [text, n] : d.errors) errors[text] = n;
            a.push_back({{"day", d.day},
                         {"station", d.station},
                         {"disks", d.disks},
                         {"passed", d.passed},
                         {"failed", d.failed},
                         {"yield", d.disks ? Json(std::stod(Percent(d.Yield()))) : Json(nullptr)},
                         {"errors", errors}});
        }
        out << a.dump(2) << "\n";
        return;
    }
    if (format == LogFormat::Csv) {
        CsvLine({"day", "station", "disks", "passed", "failed", "yield", "errors"}, out);
        for (const auto& d : days) {
            std::string errors;
            for (const auto& [text, n] : d.errors) {
                errors += (errors.empty() ? "" : ";") + text + "=" + std::to_string(n);
            }
            CsvLine({d.day, d.station, std::to_string(d.disks), std::to_string(d.passed),
                     std::to_string(d.failed), Percent(d.Yield()), errors},
                    out);
        }
        return;
    }
    std::vector<std::vector<std::string>> rows = {
        {"Day", "Station", "Disks", "Passed", "Failed", "Yield"}};
    for (const auto& d : days) {
        rows.push_back({d.day, d.station, std::to_string(d.disks), std::to_string(d.passed),
                        std::to_string(d.failed), Percent(d.Yield()) + " %"});
    }
    // The error counts go under their day's line, so the table is printed
    // row by row with the widths of the whole table.
    std::ostringstream aligned;
    Table(rows, aligned);
    std::istringstream lines(aligned.str());
    std::string line;
    std::getline(lines, line);
    out << line << "\n";
    for (const auto& d : days) {
        std::getline(lines, line);
        out << line << "\n";
        for (const auto& [text, n] : d.errors) out << "    " << n << " x " << text << "\n";
    }
    if (days.empty()) out << "no production records\n";
}

int PrintLog(Store& store, const LogOptions& opts, std::ostream& out, std::ostream& err) {
    LogFilter filter;
    std::string why;
    if (!MakeFilter(opts, &filter, &why)) {
        err << "galmor log: " << why << "\n";
        return 4;
    }
    std::vector<DiskRecord> records;
    const LogResult s = store.Query(filter, &records);
    if (!s.ok) {
        err << "galmor log: " << s.message << "\n";
        return 4;
    }
    if (opts.summary) {
        PrintSummary(Summarise(records), opts.format, out);
    } else {
        PrintRecords(records, opts.format, out);
    }
    out.flush();
    return 0;
}

std::string StatusLine(const DaySummary& today) {
    return "Today: " + std::to_string(today.passed) + " passed, " + std::to_string(today.failed) +
           " failed, yield " + (today.disks ? Percent(today.Yield()) + " %" : std::string("-"));
}

}  // namespace galmor::prodlog
