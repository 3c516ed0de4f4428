// The result grid: rows, reset, the column texts and the end-of-run report.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "core/status.h"
#include "ui/grid.h"
#include "ui/station.h"

namespace galmor {
namespace {

const char* const kResultLabels[] = {"FG", "FR", "LLG", "LLR", "CC1mG", "CC1mR", "CCG", "CCR"};

TEST(GridRows, BuildCreatesRowsOneToCountNamedByIndex) {
    Station st;
    BuildPortIndicators(st, 7);
    EXPECT_EQ(st.model.RowCount(), 8);
    for (int k = 0; k <= 7; ++k) {
        EXPECT_EQ(st.model.Get("ItemLab", k).caption, "Disk " + std::to_string(k));
        for (const auto& array : GridArrays()) EXPECT_TRUE(st.model.Exists(array, k)) << array << k;
    }
    EXPECT_FALSE(st.model.Exists("ItemLab", 8));
    // New rows start as row 0 was designed: labels and bar hidden.
    EXPECT_FALSE(st.model.Get("FG", 5).visible);
    EXPECT_FALSE(st.model.Get("ProgressBar", 5).visible);
}

TEST(GridRows, ResetClearsTheRowUnlessFirstBuild) {
    Station st;
    BuildPortIndicators(st, 7);
    auto fill = [&](int row) {
        for (const char* name : kResultLabels) {
            st.model.SetCaption(name, row, "text");
            st.model.SetVisible(name, row, true);
        }
        st.model.SetVisible("ProgressBar", row, true);
        st.model.SetVisible("ItemLab", row, false);
        st.model.SetEnabled("ThumbImage", row, false);
    };
    fill(3);
    fill(4);

    ResetPortIndicators(st, true, 3);
    EXPECT_TRUE(st.model.Get("ItemLab", 3).visible);
    EXPECT_TRUE(st.model.Get("ThumbImage", 3).enabled);
    EXPECT_TRUE(st.model.Get("FG", 3).visible) << "first build leaves the result labels";
    EXPECT_TRUE(st.model.Get("ProgressBar", 3).visible);

    ResetPortIndicators(st, false, 4);
    EXPECT_TRUE(st.model.Get("ItemLab", 4).visible);
    EXPECT_TRUE(st.model.Get("ThumbImage", 4).enabled);
    for (const char* name : kResultLabels) {
        const Control c = st.model.Get(name, 4);
        EXPECT_FALSE(c.visible) << name;
        EXPECT_EQ(c.caption, "") << name;
    }
    EXPECT_FALSE(st.model.Get("ProgressBar", 4).visible);
    EXPECT_EQ(st.model.Get("FG", 3).caption, "text") << "another row was touched";

    // A row beyond the grid is ignored, as the window ignores it.
    ResetPortIndicators(st, false, 12);

    st.Row(2).ShowColumn(Column::CheckWp);
    EXPECT_TRUE(st.model.Get("CCG", 2).visible);
    EXPECT_TRUE(st.model.Get("CCR", 2).visible);
    EXPECT_FALSE(st.model.Get("CC1mG", 2).visible);
}

struct ReportCase {
    bool anyFailed;
    bool checkWp;
    const char* banner;
};

TEST(GridReport, BannerLooksOnlyAtAnyFailedAndCheckWp) {
    const ReportCase cases[] = {
        {false, false, "! ALL PASS !"},
        {true, false, "! FAILED !"},
        {false, true, ""},  // the write-protect check alone: visible, no text
        {true, true, "! FAILED !"},
    };
    for (const auto& c : cases) {
        Station st;
        BuildPortIndicators(st, 7);
        st.model.SetChecked("Check1", 4, c.checkWp);
        st.run.AnyFailed = c.anyFailed;
        st.RunInProgress = true;
        ShowResult(st);
        const Control banner = st.model.Get1("PassLab");
        EXPECT_EQ(banner.caption, c.banner);
        EXPECT_TRUE(banner.visible);
        EXPECT_TRUE(banner.front);
        EXPECT_TRUE(st.model.Get1("ClearCmd").enabled);
        EXPECT_FALSE(st.RunInProgress.load());
        // The outcome says the same without reading the window.
        const RunOutcome o = st.Outcome();
        EXPECT_TRUE(o.ended);
        EXPECT_TRUE(o.bannerVisible);
        EXPECT_EQ(o.banner, c.banner);
        EXPECT_EQ(o.failed, c.anyFailed);
    }
}

TEST(GridReport, PicturesFollowEachPortsErrorStatus) {
    Station st;
    BuildPortIndicators(st, 7);
    st.DiskCount = 3;
    st.ports[0].ErrorStatus = 0;
    st.ports[1].ErrorStatus = 0x9B;
    st.ports[2].ErrorStatus = 0;
    st.ports[3].ErrorStatus = 0x9B;  // beyond DiskCount: not looked at
    st.run.AnyFailed = false;        // pictures do not look at the verdict
    ShowResult(st);
    EXPECT_EQ(st.model.Get("ThumbImage", 0).picture, kPicturePassed);
    EXPECT_EQ(st.model.Get("ThumbImage", 1).picture, kPictureFailed);
    EXPECT_EQ(st.model.Get("ThumbImage", 2).picture, kPicturePassed);
    EXPECT_EQ(st.model.Get("ThumbImage", 3).picture, kPictureAbsent);
    EXPECT_EQ(st.model.Get1("PassLab").caption, "! ALL PASS !");
}

TEST(GridTexts, EveryCodeOfTheFormatColumn) {
    const std::pair<int, const char*> own[] = {
        {0x78, "Flash Size Wrong"},  {0x7E, "Write Protect"},      {0x7F, "Password Exists"},
        {0x99, "Partition Error"},   {0x9B, "Format Error"},       {0xE1, "Loader Disk Error"},
        {0xE5, "No Flash Detect!!"}, {0xF7, "Write Reserve Error"}};
    for (const auto& [code, text] : own) EXPECT_EQ(FormatErrorText(code), text) << code;
    const std::pair<int, const char*> coded[] = {
        {0x75, "Error Status = 75"},   {0x80, "Error Status = 80"},
        {0x82, "Error Status = 82"},   {0x87, "Error Status = 87"},
        {0x93, "Error Status = 93"},   {0x96, "Error Status = 96"},
        {0x9A, "Error Status = 9A"},   {0xF6, "Error Status = F6"},
        {0xFF, "Error Status = FF"},   {0x05, "Error Status = 05"},
        {0x123, "Error Status = 123"}, {0x1ABC, "Error Status = 1ABC"}};
    for (const auto& [code, text] : coded) EXPECT_EQ(FormatErrorText(code), text) << code;
    // A 16-bit status read as a negative number keeps its four digits.
    EXPECT_EQ(ErrorStatusText(static_cast<int16_t>(0x8001)), "Error Status = 8001");

    // The README's table of codes names every code of the station's table
    // with the text the operator sees.
    std::ifstream f(std::string(UFD_SOURCE_DIR) + "/README.md");
    const std::string readme((std::istreambuf_iterator<char>(f)), {});
    for (int code = 1; code <= 0xFF; ++code) {
        const StatusInfo* info = FindStatus(code);
        if (!info) continue;
        const std::string text = info->formatText || !info->scanText
                                     ? FormatErrorText(code)
                                     : std::string(info->scanText);
        const std::string row = "| " + HexPad(code, 2, false) + " | \"" + text + "\" |";
        EXPECT_NE(readme.find(row), std::string::npos) << row;
    }
}

TEST(GridTexts, PassTextRoundsMegabytesTiesToEven) {
    EXPECT_EQ(FormatPassText(2, 512000), "2 Chip(s)   256 MB");
    EXPECT_EQ(FormatPassText(1, 3999), "1 Chip(s)   2 MB");  // 1.9995
    EXPECT_EQ(FormatPassText(1, 3000), "1 Chip(s)   2 MB");  // 1.5
    EXPECT_EQ(FormatPassText(1, 5000), "1 Chip(s)   2 MB");  // 2.5
    EXPECT_EQ(FormatPassText(1, 7000), "1 Chip(s)   4 MB");  // 3.5
    EXPECT_EQ(FormatPassText(1, 1000), "1 Chip(s)   0 MB");  // 0.5
    EXPECT_EQ(FormatPassText(4, 1024000 * 4), "4 Chip(s)   2048 MB");
    // Beyond 16 bits the figure is shown whole, not wrapped.
    EXPECT_EQ(FormatPassText(8, 131072000), "8 Chip(s)   65536 MB");
}

}  // namespace
}  // namespace galmor
