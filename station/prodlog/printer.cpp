#include "prodlog/printer.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>
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

// One line of an aligned table with the given widths.
void TableLine(const std::vector<std::string>& row, const std::vector<size_t>& width,
               std::ostream& out) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
        line += row[c];
        if (c + 1 < row.size() && c < width.size() && width[c] >= row[c].size()) {
            line += std::string(width[c] - row[c].size() + 2, ' ');
        } else if (c + 1 < row.size()) {
            line += "  ";
        }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << "\n";
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

bool ToLogTime(const std::string& text, bool utc, std::string* out) {
    std::string norm;
    if (!NormaliseSince(text, &norm)) return false;
    if (utc || (!text.empty() && text.back() == 'Z')) {
        *out = norm;
        return true;
    }
    // Local time: the same wall-clock reading in this station's time zone.
    std::tm tm{};
    if (std::sscanf(norm.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6) {
        return false;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return false;
    std::tm u{};
    gmtime_r(&t, &u);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%sZ", u.tm_year + 1900,
                  u.tm_mon + 1, u.tm_mday, u.tm_hour, u.tm_min, u.tm_sec,
                  norm.substr(19, 4).c_str());
    *out = buf;
    return true;
}

bool LocalDayRange(const std::string& day, bool utc, std::string* since, std::string* until) {
    int y = 0, m = 0, d = 0;
    if (day.size() != 10 || std::sscanf(day.c_str(), "%4d-%2d-%2d", &y, &m, &d) != 3) return false;
    std::tm next{};
    next.tm_year = y - 1900;
    next.tm_mon = m - 1;
    next.tm_mday = d + 1;
    next.tm_hour = 12;  // normalised to the next day, whatever the clock change
    next.tm_isdst = -1;
    if (timegm(&next) == static_cast<std::time_t>(-1)) return false;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", next.tm_year + 1900, next.tm_mon + 1,
                  next.tm_mday);
    return ToLogTime(day, utc, since) && ToLogTime(buf, utc, until);
}

std::string Printable(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        char buf[16];
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // The C1 controls (CSI among them) in UTF-8.
            std::snprintf(buf, sizeof buf, "\\u%04X", next);
            out += buf;
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool MakeFilter(const LogOptions& opts, LogFilter* filter, std::string* error) {
    *filter = LogFilter{};
    const char* zone = opts.utc ? "UTC" : "local";
    if (!opts.since.empty() && !ToLogTime(opts.since, opts.utc, &filter->since)) {
        *error = std::string("--since wants a ") + zone +
                 " date or time (YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS]), not \"" + opts.since + "\"";
        return false;
    }
    if (!opts.until.empty() && !ToLogTime(opts.until, opts.utc, &filter->until)) {
        *error = std::string("--until wants a ") + zone +
                 " date or time (YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS]), not \"" + opts.until + "\"";
        return false;
    }
    filter->station = opts.station;
    filter->serial = opts.serial;
    filter->run_id = opts.run_id;
    filter->lot_id = opts.lot_id;
    filter->all = opts.all;
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

int SummaryPeriodChars(bool utc) {
    // Hours even for UTC days: the store counts by hour from an index.
    if (utc) return 13;
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return tm.tm_gmtoff % 3600 == 0 ? 13 : 16;
}

std::vector<DaySummary> Summarise(const std::vector<DiskTally>& tallies, bool utc) {
    std::map<std::pair<std::string, std::string>, DaySummary> days;
    for (const auto& t : tallies) {
        std::string day = t.period.substr(0, 10);
        if (!utc) {
            std::tm tm{};
            int y = 0, mo = 0, d = 0, h = 0, mi = 0;
            const int got =
                std::sscanf(t.period.c_str(), "%4d-%2d-%2dT%2d:%2d", &y, &mo, &d, &h, &mi);
            if (got >= 4) {
                tm.tm_year = y - 1900;
                tm.tm_mon = mo - 1;
                tm.tm_mday = d;
                tm.tm_hour = h;
                tm.tm_min = got == 5 ? mi : 0;
                const std::time_t at = timegm(&tm);
                std::tm local{};
                localtime_r(&at, &local);
                char buf[16];
                std::strftime(buf, sizeof buf, "%Y-%m-%d", &local);
                day = buf;
            }
        }
        DaySummary& s = days[{day, t.station}];
        s.day = day;
        s.station = t.station;
        const int n = static_cast<int>(t.disks);
        s.disks += n;
        if (t.passed) {
            s.passed += n;
        } else {
            s.failed += n;
            s.errors[t.error_text.empty() ? "Error Status = " + Hex2(t.error_status)
                                          : t.error_text] += n;
        }
    }
    std::vector<DaySummary> out;
    for (auto& [key, d] : days) out.push_back(std::move(d));
    return out;
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

namespace {

std::vector<std::string> CsvHead() {
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
    head.push_back("state");
    head.push_back("supersedes");
    head.push_back("superseded_by");
    return head;
}

std::vector<std::string> CsvCells(const DiskRecord& r) {
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
    row.push_back(RecordStateName(r.state));
    row.push_back(std::to_string(r.supersedes));
    row.push_back(std::to_string(r.superseded_by));
    return row;
}

std::vector<std::string> TableHead() {
    return {"Time (UTC)", "Station", "Run", "Kind", "Port", "VID:PID", "Serial", "Result", "Error"};
}

// What the operator reads: every text escaped, the state of a record that
// is not (or no longer) the disk's verdict.
std::vector<std::string> TableCells(const DiskRecord& r) {
    std::string result = r.passed ? "pass" : "fail";
    if (r.state == RecordState::Configured) result = "configured (unfinished)";
    if (r.superseded_by != 0) result += " (superseded by " + std::to_string(r.superseded_by) + ")";
    return {Printable(r.logged_at),
            Printable(r.station),
            Printable(r.run_id),
            RunKindName(r.kind),
            std::to_string(r.port),
            Hex4(r.usb_vid) + ":" + Hex4(r.usb_pid),
            r.serial.empty() ? "-" : Printable(r.serial),
            result,
            Printable(ErrorCell(r))};
}

// A JSON array written one element at a time, laid out as dump(2) lays out
// the whole array.
class JsonArray {
  public:
    explicit JsonArray(std::ostream& out) : out_(out) {}
    void Add(const Json& j) {
        std::string text = j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
        std::string indented = "  ";
        for (char c : text) {
            indented += c;
            if (c == '\n') indented += "  ";
        }
        out_ << (count_++ ? ",\n" : "[\n") << indented;
    }
    void End() { out_ << (count_ ? "\n]\n" : "[]\n"); }

  private:
    std::ostream& out_;
    size_t count_ = 0;
};

// Records as they come, in one of the formats. A table needs its widths
// first: Measure every record, then Print them.
class RecordPrinter {
  public:
    RecordPrinter(LogFormat format, std::ostream& out) : format_(format), out_(out), json_(out) {}
    void Measure(const DiskRecord& r) {
        const auto cells = TableCells(r);
        for (size_t c = 0; c < cells.size(); ++c) width_[c] = std::max(width_[c], cells[c].size());
    }
    void Begin() {
        if (format_ == LogFormat::Csv) CsvLine(CsvHead(), out_);
        if (format_ == LogFormat::Table) TableLine(TableHead(), width_, out_);
    }
    void Print(const DiskRecord& r) {
        ++count_;
        if (format_ == LogFormat::Json) {
            // The code also as the grid, the CSV and the table write it.
            Json j = ToJson(r);
            j["error_status_hex"] = Hex2(r.error_status);
            json_.Add(j);
        } else if (format_ == LogFormat::Csv) {
            CsvLine(CsvCells(r), out_);
        } else {
            TableLine(TableCells(r), width_, out_);
        }
    }
    void End() {
        if (format_ == LogFormat::Json) json_.End();
        if (format_ == LogFormat::Table)
            out_ << count_ << (count_ == 1 ? " record\n" : " records\n");
    }

  private:
    LogFormat format_;
    std::ostream& out_;
    JsonArray json_;
    std::vector<size_t> width_ = [] {
        std::vector<size_t> w;
        for (const auto& h : TableHead()) w.push_back(h.size());
        return w;
    }();
    size_t count_ = 0;
};

}  // namespace

void PrintRecords(const std::vector<DiskRecord>& records, LogFormat format, std::ostream& out) {
    RecordPrinter p(format, out);
    for (const auto& r : records) p.Measure(r);
    p.Begin();
    for (const auto& r : records) p.Print(r);
    p.End();
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
        rows.push_back({d.day, Printable(d.station), std::to_string(d.disks),
                        std::to_string(d.passed), std::to_string(d.failed),
                        Percent(d.Yield()) + " %"});
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
        for (const auto& [text, n] : d.errors) {
            out << "    " << n << " x " << Printable(text) << "\n";
        }
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
    if (opts.summary) {
        std::vector<DiskTally> tallies;
        const LogResult s = store.Count(filter, SummaryPeriodChars(opts.utc), &tallies);
        if (!s.ok) {
            err << "galmor log: " << s.message << "\n";
            return 4;
        }
        PrintSummary(Summarise(tallies, opts.utc), opts.format, out);
        out.flush();
        return 0;
    }
    RecordPrinter printer(opts.format, out);
    std::set<std::string> warned;
    auto bad = [&](const std::string& id, const std::string& text) {
        if (warned.insert(id).second) {
            err << "galmor log: record " << id << " skipped: " << text << "\n";
        }
    };
    // A table is aligned over all its rows: one pass for the widths, one to
    // print. Neither keeps more than one record.
    if (opts.format == LogFormat::Table) {
        const LogResult s = store.ForEach(
            filter,
            [&](const DiskRecord& r) {
                printer.Measure(r);
                return true;
            },
            bad);
        if (!s.ok) {
            err << "galmor log: " << s.message << "\n";
            return 4;
        }
    }
    printer.Begin();
    const LogResult s = store.ForEach(
        filter,
        [&](const DiskRecord& r) {
            printer.Print(r);
            return static_cast<bool>(out);
        },
        bad);
    if (!s.ok) {
        err << "galmor log: " << s.message << "\n";
        return 4;
    }
    printer.End();
    out.flush();
    return 0;
}

std::string StatusLine(const DaySummary& today) {
    return "Today: " + std::to_string(today.passed) + " passed, " + std::to_string(today.failed) +
           " failed, yield " + (today.disks ? Percent(today.Yield()) + " %" : std::string("-"));
}

}  // namespace galmor::prodlog
