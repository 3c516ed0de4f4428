#include "prodlog/record.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>

namespace galmor::prodlog {

namespace {

using Json = nlohmann::ordered_json;

template <typename T>
bool Take(const nlohmann::json& j, const char* key, T* out, std::string* error) {
    auto it = j.find(key);
    if (it == j.end()) {
        if (error) *error = std::string("missing field \"") + key + "\"";
        return false;
    }
    try {
        *out = it->get<T>();
    } catch (const std::exception&) {
        if (error) *error = std::string("field \"") + key + "\" has the wrong type";
        return false;
    }
    return true;
}

}  // namespace

std::string ToUtf8(const std::string& text) {
    // Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
    bool valid = true;
    for (size_t i = 0; i < text.size() && valid;) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t n = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
        if (c < 0x80) {
            n = 0;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            valid = false;
            break;
        }
        if (i + n >= text.size() && n > 0) {
            valid = false;
            break;
        }
        for (size_t k = 1; k <= n; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            if (k == 1 ? (b < lo || b > hi) : (b >> 6) != 2) valid = false;
        }
        i += n + 1;
    }
    if (valid) return text;
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

const char* RunKindName(RunKind kind) {
    switch (kind) {
        case RunKind::Production:
            return "production";
        case RunKind::LowLevelFormat:
            return "low-level-format";
        case RunKind::Scan:
            return "scan";
    }
    return "production";
}

bool ParseRunKind(const std::string& name, RunKind* kind) {
    for (RunKind k : {RunKind::Production, RunKind::LowLevelFormat, RunKind::Scan}) {
        if (name == RunKindName(k)) {
            *kind = k;
            return true;
        }
    }
    return false;
}

const char* RecordStateName(RecordState state) {
    return state == RecordState::Configured ? "configured" : "complete";
}

bool ParseRecordState(const std::string& name, RecordState* state) {
    if (name == "configured") {
        *state = RecordState::Configured;
    } else if (name == "complete") {
        *state = RecordState::Complete;
    } else {
        return false;
    }
    return true;
}

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
}

std::string JoinList(const std::vector<std::string>& list) {
    std::string out;
    for (const auto& s : list) {
        if (!out.empty()) out += ',';
        out += s;
    }
    return out;
}

std::string ListText(const std::vector<std::string>& list) {
    return Json(list).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool ParseList(const std::string& text, std::vector<std::string>* list) {
    const auto j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_array()) return false;
    list->clear();
    for (const auto& e : j) {
        if (!e.is_string()) return false;
        list->push_back(e.get<std::string>());
    }
    return true;
}

std::string ColumnsText(const std::vector<ColumnResult>& columns) {
    Json a = Json::array();
    for (const auto& c : columns)
        a.push_back({{"column", c.column}, {"mark", c.mark}, {"text", c.text}});
    return a.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string StepsText(const std::vector<StepTime>& steps) {
    Json a = Json::array();
    for (const auto& s : steps) a.push_back({{"step", s.step}, {"seconds", s.seconds}});
    return a.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool ParseColumns(const std::string& text, std::vector<ColumnResult>* columns) {
    const auto j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_array()) return false;
    columns->clear();
    for (const auto& e : j) {
        ColumnResult c;
        if (!e.is_object() || !Take(e, "column", &c.column, nullptr) ||
            !Take(e, "mark", &c.mark, nullptr) || !Take(e, "text", &c.text, nullptr)) {
            return false;
        }
        columns->push_back(std::move(c));
    }
    return true;
}

bool ParseSteps(const std::string& text, std::vector<StepTime>* steps) {
    const auto j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_array()) return false;
    steps->clear();
    for (const auto& e : j) {
        StepTime s;
        if (!e.is_object() || !Take(e, "step", &s.step, nullptr) ||
            !Take(e, "seconds", &s.seconds, nullptr)) {
            return false;
        }
        steps->push_back(std::move(s));
    }
    return true;
}

nlohmann::ordered_json ToJson(const DiskRecord& r) {
    Json columns = Json::array();
    for (const auto& c : r.columns) {
        columns.push_back({{"column", c.column}, {"mark", c.mark}, {"text", c.text}});
    }
    Json steps = Json::array();
    for (const auto& s : r.steps) steps.push_back({{"step", s.step}, {"seconds", s.seconds}});
    return {
        {"id", r.id},
        {"logged_at", r.logged_at},
        {"station", r.station},
        {"run_id", r.run_id},
        {"lot_id", r.lot_id},
        {"kind", RunKindName(r.kind)},
        {"port", r.port},
        {"device_path", r.device_path},
        {"recipe_digest", r.recipe_digest},
        {"recipe_files", r.recipe_files},
        {"items", r.items},
        {"usb_vid", r.usb_vid},
        {"usb_pid", r.usb_pid},
        {"bcd_device", r.bcd_device},
        {"usb_manufacturer", r.usb_manufacturer},
        {"usb_product", r.usb_product},
        {"scsi_vendor", r.scsi_vendor},
        {"scsi_product", r.scsi_product},
        {"serial", r.serial},
        {"serial_reserved", r.serial_reserved},
        {"error_status", r.error_status},
        {"error_text", r.error_text},
        {"result", r.passed ? "pass" : "fail"},
        {"columns", columns},
        {"steps", steps},
        {"state", RecordStateName(r.state)},
        {"supersedes", r.supersedes},
        {"superseded_by", r.superseded_by},
    };
}

bool FromJson(const nlohmann::json& j, DiskRecord* r, std::string* error) {
    if (!j.is_object()) {
        if (error) *error = "a record is not an object";
        return false;
    }
    std::string kind, result;
    bool ok =
        Take(j, "id", &r->id, error) && Take(j, "logged_at", &r->logged_at, error) &&
        Take(j, "station", &r->station, error) && Take(j, "run_id", &r->run_id, error) &&
        Take(j, "kind", &kind, error) && Take(j, "port", &r->port, error) &&
        Take(j, "device_path", &r->device_path, error) &&
        Take(j, "recipe_digest", &r->recipe_digest, error) &&
        Take(j, "recipe_files", &r->recipe_files, error) && Take(j, "items", &r->items, error) &&
        Take(j, "usb_vid", &r->usb_vid, error) && Take(j, "usb_pid", &r->usb_pid, error) &&
        Take(j, "bcd_device", &r->bcd_device, error) &&
        Take(j, "usb_manufacturer", &r->usb_manufacturer, error) &&
        Take(j, "usb_product", &r->usb_product, error) &&
        Take(j, "scsi_vendor", &r->scsi_vendor, error) &&
        Take(j, "scsi_product", &r->scsi_product, error) && Take(j, "serial", &r->serial, error) &&
        Take(j, "serial_reserved", &r->serial_reserved, error) &&
        Take(j, "error_status", &r->error_status, error) &&
        Take(j, "error_text", &r->error_text, error) && Take(j, "result", &result, error);
    if (!ok) return false;
    // Logs written before lots were kept have none.
    if (const auto lot = j.find("lot_id"); lot != j.end() && lot->is_string())
        r->lot_id = lot->get<std::string>();
    if (!ParseRunKind(kind, &r->kind)) {
        if (error) *error = "unknown kind \"" + kind + "\"";
        return false;
    }
    r->passed = result == "pass";
    // Records printed before these fields existed are complete and current.
    std::string state = j.value("state", std::string("complete"));
    if (!ParseRecordState(state, &r->state)) {
        if (error) *error = "unknown state \"" + state + "\"";
        return false;
    }
    r->supersedes = j.value("supersedes", int64_t{0});
    r->superseded_by = j.value("superseded_by", int64_t{0});
    const auto cols = j.find("columns");
    const auto steps = j.find("steps");
    if (cols == j.end() || !ParseColumns(cols->dump(), &r->columns) || steps == j.end() ||
        !ParseSteps(steps->dump(), &r->steps)) {
        if (error) *error = "bad \"columns\" or \"steps\"";
        return false;
    }
    return true;
}

}  // namespace galmor::prodlog
