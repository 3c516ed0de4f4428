// The log's pieces that need no database: the serial draw loop against a
// scripted store, the printer and summary, the recipe digest.
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "prodlog/digest.h"
#include "prodlog/printer.h"
#include "prodlog/serials.h"
#include "prodlog/store_internal.h"

namespace {

using namespace galmor::prodlog;

// Holds serials in memory; can be told to fail.
class MemoryStore : public Store {
  public:
    std::set<std::string> held;
    std::vector<size_t> batch_sizes;
    bool fail = false;
    std::vector<DiskRecord> records;

    std::string Describe() const override { return "memory"; }
    LogResult Append(DiskRecord* r) override {
        records.push_back(*r);
        r->id = static_cast<int64_t>(records.size());
        return LogResult::Ok();
    }
    LogResult ReserveFirstFree(uint16_t, uint16_t, const std::vector<std::string>& c,
                               const std::string&, const std::string&, int* taken) override {
        *taken = -1;
        batch_sizes.push_back(c.size());
        if (fail) return LogResult::Fail("memory: server gone");
        for (size_t i = 0; i < c.size(); ++i) {
            if (held.insert(c[i]).second) {
                *taken = static_cast<int>(i);
                break;
            }
        }
        return LogResult::Ok();
    }
    LogResult Query(const LogFilter&, std::vector<DiskRecord>* out) override {
        *out = records;
        return LogResult::Ok();
    }
    LogResult ForEach(const LogFilter&, const std::function<bool(const DiskRecord&)>& each,
                      const std::function<void(const std::string&, const std::string&)>&) override {
        for (const auto& r : records) {
            if (!each(r)) break;
        }
        return LogResult::Ok();
    }
    LogResult Count(const LogFilter&, int, std::vector<DiskTally>*) override {
        return LogResult::Ok();
    }
    LogResult FindUnfinished(uint16_t, uint16_t, const std::string&, DiskRecord*,
                             bool* found) override {
        *found = false;
        return LogResult::Ok();
    }
    LogResult Settle(int64_t, bool, int, const std::string&) override { return LogResult::Ok(); }
};

// Draws "S0000000", "S0000001", ... in turn.
struct Counter {
    int n = 0;
    std::string operator()() {
        char buf[16];
        std::snprintf(buf, sizeof buf, "S%07d", n++);
        return buf;
    }
};

TEST(ReserveSerial, RedrawsPastHeldSerialsUpToTheBound) {
    MemoryStore store;
    for (int i = 0; i < 20; ++i) store.held.insert(Counter{i}());
    SerialRequest req;
    req.vid = 0x1234;
    req.pid = 0x5678;
    req.prefix = "ABC";
    Counter draw;
    SerialOutcome o = ReserveSerial(&store, req, std::ref(draw));
    ASSERT_TRUE(o.ok) << o.message;
    EXPECT_TRUE(o.reserved);
    EXPECT_EQ(o.serial, "S0000020");  // the first draw nobody held
    // A free first draw costs one small request; batches grow while draws collide.
    EXPECT_EQ(store.batch_sizes, (std::vector<size_t>{1, 16, 256}));

    // All draws held: the disk fails after exactly `bound` draws.
    req.bound = 300;
    int draws = 0;
    o = ReserveSerial(&store, req, [&] {
        ++draws;
        return std::string("S0000000");
    });
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(draws, 300);
    EXPECT_EQ(o.message, ExhaustedMessage(req));
    EXPECT_NE(o.message.find("prefix \"ABC\" (VID 1234, PID 5678) is nearly exhausted"),
              std::string::npos)
        << o.message;
}

TEST(ReserveSerial, FixedSerialsAndNoLogAreNotReservedAndAFailingLogFailsTheDisk) {
    MemoryStore store;
    SerialRequest req;
    req.fixed = true;
    int draws = 0;
    auto fixed = [&] {
        ++draws;
        return std::string("12345678");
    };
    for (int i = 0; i < 2; ++i) {
        const SerialOutcome o = ReserveSerial(&store, req, fixed);
        EXPECT_TRUE(o.ok);
        EXPECT_FALSE(o.reserved);
        EXPECT_EQ(o.serial, "12345678");
    }
    EXPECT_TRUE(store.batch_sizes.empty());
    req.fixed = false;
    Counter draw;
    SerialOutcome o = ReserveSerial(nullptr, req, std::ref(draw));
    EXPECT_TRUE(o.ok);
    EXPECT_FALSE(o.reserved);
    EXPECT_EQ(draw.n, 1);

    store.fail = true;
    o = ReserveSerial(&store, req, std::ref(draw));
    EXPECT_FALSE(o.ok);
    EXPECT_TRUE(o.serial.empty());
    EXPECT_NE(o.message.find("server gone"), std::string::npos) << o.message;
}

DiskRecord Made(const std::string& at, const std::string& station, bool passed, int code,
                const std::string& text, RunKind kind = RunKind::Production) {
    DiskRecord r;
    r.logged_at = at;
    r.station = station;
    r.passed = passed;
    r.error_status = code;
    r.error_text = text;
    r.kind = kind;
    r.usb_vid = 0x1234;
    r.usb_pid = 0xABCD;
    return r;
}

// Records that arrive while a commit is being written go into the next one
// together; a commit that fails as a whole is retried record by record, so
// only the record at fault fails.
TEST(GroupCommit, LateArrivalsShareACommitAndAFailedCommitIsRetriedAlone) {
    detail::GroupCommit group;
    std::mutex m;
    std::condition_variable cv;
    bool first_started = false, release = false;
    std::vector<std::vector<int>> calls;  // the ports of each write, in order
    int64_t next_id = 1;
    const detail::GroupCommit::Writer write = [&](const std::vector<DiskRecord*>& records,
                                                  std::vector<LogResult>* results) {
        std::unique_lock<std::mutex> lock(m);
        std::vector<int> ports;
        for (const DiskRecord* r : records) ports.push_back(r->port);
        calls.push_back(ports);
        if (calls.size() == 1) {
            first_started = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
        }
        // Port 9's record breaks any transaction it is in.
        for (const DiskRecord* r : records) {
            if (r->port == 9) {
                results->assign(records.size(), LogResult::Fail("broken"));
                return false;
            }
        }
        for (DiskRecord* r : records) {
            r->id = next_id++;
            results->push_back(LogResult::Ok());
        }
        return true;
    };

    std::vector<DiskRecord> records(5);
    std::vector<LogResult> results(5);
    const int ports[5] = {0, 1, 9, 2, 3};
    for (int i = 0; i < 5; ++i) records[i].port = ports[i];
    std::thread first([&] { results[0] = group.Append(&records[0], write); });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return first_started; });
    }
    std::vector<std::thread> late;
    for (int i = 1; i < 5; ++i) {
        late.emplace_back([&, i] { results[i] = group.Append(&records[i], write); });
    }
    // The late ones queue up behind the commit in progress.
    while (group.Queued() < 4) std::this_thread::yield();
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
        cv.notify_all();
    }
    first.join();
    for (auto& t : late) t.join();

    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(results[i].ok, ports[i] != 9) << ports[i];
        EXPECT_EQ(records[i].id > 0, ports[i] != 9) << ports[i];
    }
    // The late four went in as one batch; it failed on port 9, so each of
    // them was written alone.
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0], std::vector<int>{0});
    EXPECT_EQ(calls[1].size(), 4u);
    std::multiset<int> alone;
    for (size_t c = 2; c < calls.size(); ++c) {
        ASSERT_EQ(calls[c].size(), 1u);
        alone.insert(calls[c][0]);
    }
    EXPECT_EQ(alone, (std::multiset<int>{1, 2, 3, 9}));
}

TEST(LogPrinter, SummaryCountsPerDayAndStation) {
    const std::vector<DiskRecord> records = {
        Made("2026-12-07T08:00:00.000Z", "b", true, 0, ""),
        Made("2026-12-07T08:01:00.000Z", "a", false, 0x9B, "Format Error"),
        Made("2026-12-07T08:02:00.000Z", "a", true, 0, ""),
        Made("2026-12-07T08:03:00.000Z", "a", false, 0x9B, "Format Error"),
        Made("2026-12-07T08:04:00.000Z", "a", false, 0x87, "Error Status = 87"),
        Made("2026-12-07T08:05:00.000Z", "a", false, 0x93, ""),
        Made("2026-12-07T08:06:00.000Z", "a", true, 0, "", RunKind::LowLevelFormat),
        Made("2026-12-08T00:00:00.000Z", "a", true, 0, ""),
    };
    const auto days = Summarise(records);
    ASSERT_EQ(days.size(), 3u);
    EXPECT_EQ(days[0].day, "2026-12-07");
    EXPECT_EQ(days[0].station, "a");
    EXPECT_EQ(days[0].disks, 5);  // the low-level format is no disk made
    EXPECT_EQ(days[0].passed, 1);
    EXPECT_EQ(days[0].failed, 4);
    EXPECT_DOUBLE_EQ(days[0].Yield(), 20.0);
    EXPECT_EQ(days[0].errors,
              (std::map<std::string, int>{
                  {"Format Error", 2}, {"Error Status = 87", 1}, {"Error Status = 93", 1}}));
    EXPECT_EQ(days[1].station, "b");
    EXPECT_EQ(days[2].day, "2026-12-08");

    std::ostringstream table, csv, json;
    PrintSummary(days, LogFormat::Table, table);
    EXPECT_NE(table.str().find("2026-12-07  a        5      1       4       20.0 %\n"
                               "    1 x Error Status = 87\n"),
              std::string::npos)
        << table.str();
    PrintSummary(days, LogFormat::Csv, csv);
    EXPECT_NE(csv.str().find("2026-12-07,a,5,1,4,20.0,Error Status = 87=1;Error Status = "
                             "93=1;Format Error=2\n"),
              std::string::npos)
        << csv.str();
    PrintSummary(days, LogFormat::Json, json);
    const auto j = nlohmann::json::parse(json.str());
    EXPECT_EQ(j[0]["yield"], 20.0);
    EXPECT_EQ(j[0]["errors"]["Format Error"], 2);

    EXPECT_EQ(StatusLine(days[0]), "Today: 1 passed, 4 failed, yield 20.0 %");
    EXPECT_EQ(StatusLine(DaySummary{}), "Today: 0 passed, 0 failed, yield -");
}

TEST(LogPrinter, RecordsPrintAsCsvAndJsonThatReadBack) {
    DiskRecord r = Made("2026-12-07T08:00:00.000Z", "line,1", false, 0x9B, "Format Error");
    r.id = 7;
    r.usb_product = "say \"hi\"\nthere";
    r.items = {"format", "manufacture"};
    r.columns = {{"format", "X", "Format Error"}, {"check_wp", "", ""}};
    r.steps = {{"format", 2.5}};
    r.recipe_files = {"Product.ini 00"};

    std::ostringstream json;
    PrintRecords({r}, LogFormat::Json, json);
    DiskRecord back;
    std::string error;
    ASSERT_TRUE(FromJson(nlohmann::json::parse(json.str())[0], &back, &error)) << error;
    EXPECT_EQ(back, r);
    EXPECT_EQ(nlohmann::json::parse(json.str())[0]["error_status_hex"], "9B");

    std::ostringstream csv;
    PrintRecords({r}, LogFormat::Csv, csv);
    const std::string text = csv.str();
    EXPECT_EQ(text.substr(0, text.find('\n')).find("id,logged_at,station,run_id,kind,port"), 0u);
    EXPECT_NE(text.find(",\"line,1\","), std::string::npos) << text;
    EXPECT_NE(text.find(",\"say \"\"hi\"\"\nthere\","), std::string::npos) << text;
    EXPECT_NE(text.find(",1234,ABCD,0000,"), std::string::npos) << text;
    EXPECT_NE(text.find(",9B,Format Error,fail,X,Format Error,,,,,,,format=2.500,complete,0,0\n"),
              std::string::npos)
        << text;

    std::ostringstream table;
    PrintRecords({r}, LogFormat::Table, table);
    EXPECT_NE(table.str().find("fail    9B Format Error"), std::string::npos) << table.str();
    EXPECT_NE(table.str().find("1 record\n"), std::string::npos);

    // Text from the log reaches the terminal escaped, never as control
    // sequences; an unfinished or superseded record says so.
    r.station = "a\x1b]0;x\x07\nb\xc2\x9b" "2J";
    r.state = RecordState::Configured;
    r.superseded_by = 9;
    std::ostringstream shown;
    PrintRecords({r}, LogFormat::Table, shown);
    EXPECT_NE(shown.str().find("a\\x1B]0;x\\x07\\nb\\u009B2J  "), std::string::npos) << shown.str();
    EXPECT_NE(shown.str().find("configured (unfinished) (superseded by 9)"), std::string::npos);
    for (char c : shown.str()) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
}

TEST(LogPrinter, OptionsAreCheckedBeforeTheLogIsRead) {
    LogFilter f;
    std::string error;
    LogOptions o;
    o.since = "2026-12-07";
    o.utc = true;
    ASSERT_TRUE(MakeFilter(o, &f, &error));
    EXPECT_EQ(f.since, "2026-12-07T00:00:00.000Z");
    o.since = "2026-12-07T08:15";
    ASSERT_TRUE(MakeFilter(o, &f, &error));
    EXPECT_EQ(f.since, "2026-12-07T08:15:00.000Z");
    o.since = "2026-12-07 08:15:30.5Z";
    ASSERT_TRUE(MakeFilter(o, &f, &error));
    EXPECT_EQ(f.since, "2026-12-07T08:15:30.500Z");
    o.result = "fail";
    ASSERT_TRUE(MakeFilter(o, &f, &error));
    EXPECT_EQ(f.result, 0);

    // Without --utc, dates and days are the station's local time, also in a
    // zone off the whole hour; a time ending in Z stays UTC.
    const char* tz = std::getenv("TZ");
    const std::string saved = tz ? tz : "";
    setenv("TZ", "Asia/Kolkata", 1);
    tzset();
    o.utc = false;
    o.since = "2026-12-07";
    o.until = "2026-12-08T00:00Z";
    ASSERT_TRUE(MakeFilter(o, &f, &error)) << error;
    EXPECT_EQ(f.since, "2026-12-06T18:30:00.000Z");
    EXPECT_EQ(f.until, "2026-12-08T00:00:00.000Z");
    std::string since, until;
    ASSERT_TRUE(LocalDayRange("2026-12-31", false, &since, &until));
    EXPECT_EQ(until, "2026-12-31T18:30:00.000Z");
    EXPECT_EQ(SummaryPeriodChars(false), 16);
    const auto days = Summarise({DiskTally{"2026-12-06T18:29", "a", true, 0, "", 2},
                                 DiskTally{"2026-12-06T18:30", "a", true, 0, "", 3}},
                                false);
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[1].day, "2026-12-07");
    EXPECT_EQ(days[1].disks, 3);
    if (tz) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    o.since = "2026-12-07";
    o.until.clear();
    o.utc = true;

    MemoryStore store;
    std::ostringstream out, err;
    o.since = "yesterday";
    EXPECT_EQ(PrintLog(store, o, out, err), 4);
    EXPECT_NE(err.str().find("--since"), std::string::npos);
    o.since.clear();
    o.result = "passed";
    EXPECT_EQ(PrintLog(store, o, out, err), 4);
    EXPECT_NE(err.str().find("--result wants pass or fail"), std::string::npos);
    EXPECT_TRUE(out.str().empty());
}

TEST(RecipeDigest, KnownValuesAndEveryFileCounts) {
    const std::string abc = "abc";
    EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(nullptr, 0),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    const std::string file = "/tmp/galmor-digest-" + std::to_string(getpid());
    {
        std::ofstream f(file, std::ios::binary);
        for (int i = 0; i < 100000; ++i) f << "abc";  // more than one read
    }
    std::string hex, error;
    ASSERT_TRUE(Sha256File(file, &hex, &error)) << error;
    std::string whole;
    for (int i = 0; i < 100000; ++i) whole += abc;
    EXPECT_EQ(hex, Sha256Hex(reinterpret_cast<const uint8_t*>(whole.data()), whole.size()));
    std::filesystem::remove(file);
    EXPECT_FALSE(Sha256File(file, &hex, &error));
    EXPECT_NE(error.find(file), std::string::npos);

    const RecipeDigest a = DigestRecipe({{"Product.ini", "11"}, {"loader.iso", "22"}});
    EXPECT_EQ(a.files, (std::vector<std::string>{"Product.ini 11", "loader.iso 22"}));
    EXPECT_EQ(a.digest.size(), 64u);
    EXPECT_NE(a.digest, DigestRecipe({{"Product.ini", "11"}, {"loader.iso", "23"}}).digest);
    EXPECT_NE(a.digest, DigestRecipe({{"Product.ini", "11"}}).digest);
}

}  // namespace
