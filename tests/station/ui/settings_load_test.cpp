// Loading Product.ini and its images from a home folder, the messages the
// operator sees, and the start-up summary.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "testbus.h"
#include "ui/settings_loader.h"
#include "ui/station.h"

namespace galmor {
namespace {

namespace fs = std::filesystem;

std::string Crlf(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += l + "\r\n";
    return out;
}

class RecipeLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/galmor_recipe_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        files_ = home_ + "/files/";
        st_.HomeDir = home_;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(home_, ec);
    }

    // A recipe that is accepted as it stands; `extra` lines are appended.
    std::string Recipe(const std::vector<std::string>& extra = {},
                       const std::string& shares = "1st=0.5\r\n2nd=0.5") {
        std::vector<std::string> lines = {"[VID/PID]",
                                          "VID=1234",
                                          "PID=5678",
                                          "[USB MANUFACTURE STRING]",
                                          "AB",
                                          "[USB PRODUCT STRING]",
                                          "Disk",
                                          "[SCSI MANUFACTURE STRING]",
                                          "ScsiV",
                                          "[SCSI PRODUCT STRING]",
                                          "ScsiP",
                                          "[PARTITION STATUS]",
                                          "ParNum=2",
                                          shares,
                                          "[DISK CAPACITY]",
                                          "Size=64",
                                          "[7301 Files Directory]",
                                          files_};
        lines.insert(lines.end(), extra.begin(), extra.end());
        return Crlf(lines);
    }
    void WriteRecipe(const std::string& text) { testbus::WriteFile(home_ + "/Product.ini", text); }
    void WriteImage(const std::string& name, size_t bytes, char fill = 'x') {
        testbus::WriteFile(files_ + name, std::string(bytes, fill));
    }
    void WriteImages(size_t loader = 2048, size_t reserve = 1024) {
        WriteImage("7301.img", loader, 'L');
        WriteImage("Reserve.img", reserve, 'R');
    }
    std::vector<std::pair<std::string, Icon>> Messages() const {
        std::vector<std::pair<std::string, Icon>> out;
        for (const auto& m : st_.model.Messages()) out.emplace_back(m.text, m.icon);
        return out;
    }

    std::string home_, files_;
    Station st_;
};

using Msgs = std::vector<std::pair<std::string, Icon>>;
const std::pair<std::string, Icon> kPartitionError{"Partition Information error", Icon::Error};

TEST_F(RecipeLoad, AcceptedRecipeFillsTheSummaryAndTheGrid) {
    WriteRecipe(Recipe({"[7301 Compare Disk Flag]", "False", "[Serial Number]", "ABC"}));
    WriteImages();
    ASSERT_TRUE(ShowProductSettings(st_)) << ::testing::PrintToString(Messages());
    EXPECT_TRUE(st_.model.Messages().empty());
    const WindowModel& m = st_.model;
    EXPECT_EQ(m.Get1("VidPidLab").caption, "VID = 1234  PID = 5678");
    EXPECT_EQ(m.Get1("UsbStrLab").caption, "USB String = AB  Disk");
    EXPECT_EQ(m.Get1("ScsiStrLab").caption, "SCSI String = ScsiV  ScsiP");
    EXPECT_EQ(m.Get1("DiskLabContent").caption, "7306");
    EXPECT_EQ(m.Get1("Combo1").caption, "64");
    EXPECT_FALSE(m.Get1("CheckCompare").checked);
    EXPECT_FALSE(st_.settings.CompareDisk);
    EXPECT_EQ(st_.settings.ApplicationMode, 1);
    EXPECT_EQ(m.RowCount(), 8);
    EXPECT_EQ(m.Get("ItemLab", 7).caption, "Disk 7");
    EXPECT_EQ(st_.BootSectorTemplate[510], 0x55);
    EXPECT_EQ(st_.BootSectorTemplate[511], 0xAA);
    EXPECT_EQ(st_.settings.LoaderImagePath, files_ + "7301.img");
    EXPECT_EQ(st_.settings.ReserveImagePath, files_ + "Reserve.img");
    // The test items keep the state the window was designed with.
    EXPECT_TRUE(m.Get("Check1", 0).checked);
    EXPECT_FALSE(m.Get("Check1", 4).checked);
}

TEST_F(RecipeLoad, SharesMustAddUpToOne) {
    struct Case {
        std::string shares;
        bool accepted;
    };
    const Case cases[] = {{"1st=0.5\r\n2nd=0.5", true},
                          {"1st=0.7\r\n2nd=0.3", true},
                          {"1st=1", true},
                          {"1st=0.7\r\n2nd=0.2", false}};
    WriteImages();
    for (const auto& c : cases) {
        Station st;
        st.HomeDir = home_;
        WriteRecipe(Recipe({}, c.shares));
        EXPECT_EQ(ShowProductSettings(st), c.accepted) << c.shares;
        if (!c.accepted) {
            ASSERT_EQ(st.model.Messages().size(), 1u);
            EXPECT_EQ(st.model.Messages()[0].text, "Partition Information error");
        }
    }
}

TEST_F(RecipeLoad, ImageSizesRoundAndPad) {
    struct Case {
        size_t loader, reserve;
        int loaderSectors, reserveSectors;
    };
    // Loader: rounded up, then padded to an even count. Reserve: rounded up.
    const Case cases[] = {{768, 1000, 2, 2}, {1280, 1024, 4, 2}, {1792, 1025, 4, 3},
                          {1024, 1, 2, 1},   {255, 0, 2, 0},     {257, 512, 2, 1},
                          {2560, 512, 6, 1}, {0, 0, 0, 0}};
    for (const auto& c : cases) {
        Station st;
        st.HomeDir = home_;
        WriteRecipe(Recipe({"[7301 2nd Reserved Section Size]", "Size=1.5"}));
        WriteImages(c.loader, c.reserve);
        ASSERT_EQ(LoadProductSettings(st), LoadResult::Accepted);
        const ProductSettings& s = st.settings;
        EXPECT_EQ(s.LoaderImageSectors, c.loaderSectors) << c.loader;
        EXPECT_EQ(s.ReserveImageSectors, c.reserveSectors) << c.reserve;
        EXPECT_EQ(s.SecondReservedSectors, 3072);
        EXPECT_EQ(s.TotalReservedSectors, c.reserveSectors + 3072);
        // Each image reads as the whole file, then zeros to its sectors' end.
        auto expect = [](const ImageFile& image, size_t bytes, int sectors, char fill) {
            std::vector<uint8_t> got(static_cast<size_t>(sectors) * 512 + 1, 0x5A);
            ASSERT_TRUE(image.Read(0, got.size(), got.data()));
            std::vector<uint8_t> want(got.size(), 0);
            std::fill_n(want.begin(), bytes, static_cast<uint8_t>(fill));
            EXPECT_EQ(got, want) << bytes;
        };
        expect(s.ReserveImage, c.reserve, c.reserveSectors, 'R');
        expect(s.LoaderImage, c.loader, c.loaderSectors, 'L');
    }
}

// Images that cannot fit the smallest layout of the recipe's disk (64 MB:
// 128,000 sectors; the smallest user area is 512 sectors) are refused at
// load, with the sizes.
TEST_F(RecipeLoad, ImagesMustFitTheSmallestLayout) {
    const uint64_t reserve = 3 * 512, second = 2048;  // "Size=1" megabyte
    for (const bool fits : {true, false}) {
        Station st;
        st.HomeDir = home_;
        WriteRecipe(Recipe({"[7301 2nd Reserved Section Size]", "Size=1"}));
        WriteImages(0, reserve);
        // 125,436 sectors fit exactly (one spare); one byte more is two sectors more.
        const uint64_t loader = (128000 - 512 - second - 3 - 1) * 512 + (fits ? 0 : 1);
        fs::resize_file(files_ + "7301.img", loader);  // sparse: no memory, no disk
        EXPECT_EQ(LoadProductSettings(st), fits ? LoadResult::Accepted : LoadResult::Rejected);
        if (fits) continue;
        ASSERT_EQ(st.model.Messages().size(), 1u);
        const std::string text = st.model.Messages()[0].text;
        EXPECT_EQ(text,
                  "The images do not fit a disk of 64 MB (128000 sectors): loader disk 125438 "
                  "sectors (" +
                      std::to_string(loader) +
                      " bytes) + reserved area 2051 sectors (reserve image 1536 bytes) + the "
                      "smallest user area 512 sectors = 128001 sectors");
    }
}

TEST_F(RecipeLoad, MissingFilesShowTheirTextsInOrder) {
    // No Product.ini at all.
    EXPECT_FALSE(ShowProductSettings(st_));
    EXPECT_EQ(Messages(), Msgs{kPartitionError});

    // Folder given but missing.
    {
        Station st;
        st.HomeDir = home_;
        WriteRecipe(Recipe());
        EXPECT_FALSE(ShowProductSettings(st));
        const Msgs want = {{"7301 Files Folder set wrong, Check the Product.ini", Icon::None},
                           kPartitionError};
        std::vector<std::pair<std::string, Icon>> got;
        for (const auto& m : st.model.Messages()) got.emplace_back(m.text, m.icon);
        EXPECT_EQ(got, want);
    }
    // Folder exists but holds only a folder: still wrong.
    fs::create_directories(files_ + "sub");
    {
        Station st;
        st.HomeDir = home_;
        EXPECT_FALSE(ShowProductSettings(st));
        ASSERT_EQ(st.model.Messages().size(), 2u);
        EXPECT_EQ(st.model.Messages()[0].text,
                  "7301 Files Folder set wrong, Check the Product.ini");
    }
    // Folder with a file but no loader image.
    WriteImage("other.bin", 10);
    {
        Station st;
        st.HomeDir = home_;
        EXPECT_FALSE(ShowProductSettings(st));
        std::vector<std::pair<std::string, Icon>> got;
        for (const auto& m : st.model.Messages()) got.emplace_back(m.text, m.icon);
        EXPECT_EQ(got, (Msgs{{"Missing Autorun File : " + files_ + "7301.img !!!", Icon::None},
                             kPartitionError}));
    }
    // Loader image but no reserve image.
    WriteImage("7301.img", 2048);
    {
        Station st;
        st.HomeDir = home_;
        EXPECT_FALSE(ShowProductSettings(st));
        std::vector<std::pair<std::string, Icon>> got;
        for (const auto& m : st.model.Messages()) got.emplace_back(m.text, m.icon);
        EXPECT_EQ(got, (Msgs{{"Missing Reserved File : " + files_ + "Reserve.img !!!", Icon::None},
                             kPartitionError}));
    }
    // Without a loader disk the dump image is needed instead of Reserve.img.
    WriteRecipe(Recipe({"[5207 Disable Loader Disk]", "1"}));
    {
        Station st;
        st.HomeDir = home_;
        EXPECT_FALSE(ShowProductSettings(st));
        ASSERT_EQ(st.model.Messages().size(), 2u);
        EXPECT_EQ(st.model.Messages()[0].text,
                  "Missing Dump File : " + files_ + "Dump7306.img !!!");
    }
    WriteImage("Dump7306.img", 4096, 'D');
    {
        Station st;
        st.HomeDir = home_;
        EXPECT_TRUE(ShowProductSettings(st));
        EXPECT_EQ(st.settings.ReserveImagePath, files_ + "Dump7306.img");
        EXPECT_EQ(st.settings.ReserveImageSectors, 8);
    }
}

TEST_F(RecipeLoad, BadPartitionCountShowsThreeMessages) {
    WriteImages();
    std::string text = Recipe();
    text.replace(text.find("ParNum=2"), 8, "ParNum=3");
    WriteRecipe(text);
    EXPECT_EQ(LoadProductSettings(st_), LoadResult::BadPartitionCount);
    Station st;
    st.HomeDir = home_;
    EXPECT_FALSE(ShowProductSettings(st));
    std::vector<std::pair<std::string, Icon>> got;
    for (const auto& m : st.model.Messages()) got.emplace_back(m.text, m.icon);
    EXPECT_EQ(got, (Msgs{{"Error Partition Number", Icon::Error},
                         {"Open product.ini failed", Icon::Error},
                         {"Open Product.ini failed", Icon::Error}}));
}

TEST_F(RecipeLoad, ImagesThatAreNotFilesNeverCrash) {
    WriteRecipe(Recipe());
    WriteImage("Reserve.img", 100);
    fs::create_directories(files_ + "7301.img");  // a folder where the image should be
    EXPECT_FALSE(ShowProductSettings(st_));
    ASSERT_EQ(st_.model.Messages().size(), 2u);
    EXPECT_EQ(st_.model.Messages()[0].text, "Missing Autorun File : " + files_ + "7301.img !!!");
}

TEST_F(RecipeLoad, ValuesBeyondTheConfigBlockAreRejected) {
    WriteImages();
    struct Case {
        std::vector<std::string> extra;
        std::string shares;
        std::string mentions;  // empty: accepted
    };
    const Case cases[] = {
        {{"[USB MANUFACTURE STRING]", std::string(20, 'M'), "[USB PRODUCT STRING]",
          std::string(14, 'P')},
         "1st=1",
         ""},
        {{"[USB MANUFACTURE STRING]", std::string(20, 'M'), "[USB PRODUCT STRING]",
          std::string(15, 'P')},
         "1st=1",
         "USB String"},
        {{"[Serial Number]", "12345678"}, "1st=1", ""},
        // Longer than a serial number: a prefix, with a warning only.
        {{"[Serial Number]", "123456789"}, "1st=1", ""},
        {{}, "1st=1.5\r\n2nd=-0.5", "share"},
        {{}, "1st=0\r\n2nd=1", "share"},
        {{"[7301 2nd Reserved Section Size]", "Size=-1"}, "1st=1", "Reserved"},
    };
    for (const auto& c : cases) {
        Station st;
        st.HomeDir = home_;
        WriteRecipe(Recipe(c.extra, c.shares));
        const bool accepted = ShowProductSettings(st);
        const auto msgs = st.model.Messages();
        if (c.mentions.empty()) {
            EXPECT_TRUE(accepted) << c.shares;
            EXPECT_TRUE(msgs.empty());
            continue;
        }
        EXPECT_FALSE(accepted) << c.mentions;
        EXPECT_EQ(LoadProductSettings(st), LoadResult::Invalid);
        ASSERT_EQ(msgs.size(), 1u) << c.mentions;
        EXPECT_NE(msgs[0].text.find(c.mentions), std::string::npos) << msgs[0].text;
        EXPECT_EQ(msgs[0].icon, Icon::Error);
    }
}

TEST_F(RecipeLoad, TyposAreRefusedWithTheirLineInOneMessage) {
    WriteImages();
    struct Case {
        std::string from, to;
        size_t line;  // 0: the file as a whole
        std::string mentions;
    };
    const Case cases[] = {
        {"[VID/PID]", "[VID PID]", 1, "expected [VID/PID]"},
        {"VID=1234", "VID=", 2, "VID"},
        {"PID=5678", "PID=", 3, "PID"},
        {"VID=1234", "VID=12G4", 2, "hexadecimal"},
        {"VID=1234", "VID:1234", 2, "expected VID="},
        {"[VID/PID]\r\nVID=1234\r\nPID=5678\r\n", "", 0, "no [VID/PID] section"},
        {"ScsiV", "Sc\u00e4siV", 9, "ASCII"},
        {"Size=64", "Size=abc", 16, "number"},
        {"Size=64", "Size=0", 16, "from 1"},
        {"1st=1", "1st=half", 14, "number"},
        {"Size=64", "Size=64\r\n[7301 Compare Disk Flag]\r\nyes", 18, "True, False"},
        {"Size=64",
         "Size=64\r\n[Serial Number]\r\nAB\x01"
         "CDEFG",
         18, "ASCII"},
    };
    for (const auto& c : cases) {
        Station st;
        st.HomeDir = home_;
        std::string text = Recipe({}, "1st=1");
        text.replace(text.find(c.from), c.from.size(), c.to);
        WriteRecipe(text);
        EXPECT_EQ(LoadProductSettings(st), LoadResult::Invalid) << c.to;
        Station shown;
        shown.HomeDir = home_;
        EXPECT_FALSE(ShowProductSettings(shown));
        const auto msgs = shown.model.Messages();
        ASSERT_EQ(msgs.size(), 1u) << c.to << ::testing::PrintToString(msgs.size());
        const std::string where =
            home_ + "/Product.ini" + (c.line ? ":" + std::to_string(c.line) : "") + ": ";
        EXPECT_EQ(msgs[0].text.rfind(where, 0), 0u) << msgs[0].text;
        EXPECT_NE(msgs[0].text.find(c.mentions), std::string::npos) << msgs[0].text;
    }
    // A byte-order mark before the first section is no typo; unknown sections
    // and keys are remarks, not refusals.
    Station st;
    st.HomeDir = home_;
    WriteRecipe("\xEF\xBB\xBF" + Recipe({"[DISK CAPACITY]", "Sise=8", "[DISK SIZE]"}));
    EXPECT_EQ(LoadProductSettings(st), LoadResult::Accepted);
    EXPECT_EQ(st.settings.Vid, "1234");
}

TEST_F(RecipeLoad, RelativeFilesFolderAndLfOnlyRecipe) {
    std::string text = Recipe({"[7301 Compare Disk Flag]", "True"});
    text.replace(text.find(files_), files_.size(), "files");
    std::string lf;
    for (char c : text) {
        if (c != '\r') lf += c;
    }
    WriteRecipe(lf);
    WriteImages();
    st_.model.SetChecked("CheckCompare", -1, false);
    ASSERT_TRUE(ShowProductSettings(st_)) << ::testing::PrintToString(Messages());
    EXPECT_EQ(st_.settings.FilesFolder, home_ + "/files/");
    EXPECT_EQ(st_.settings.Pid, "5678");
    EXPECT_TRUE(st_.model.Get1("CheckCompare").checked);
    EXPECT_TRUE(st_.settings.CompareDisk);
}

}  // namespace
}  // namespace galmor
