// The recipe text parser: sections, value positions, number and boolean
// reading, line ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recipe/parser.h"
#include "recipe/settings.h"

namespace galmor {
namespace {

// Parses `text` with a folder check that accepts everything and records the
// folders it was asked about.
struct Parsed {
    ProductSettings s;
    RecipeText r;
    std::vector<std::string> foldersChecked;
};

// The sections every recipe needs, valid; a test's own lines follow them.
const std::string kGood =
    "[VID/PID]\nVID=1234\nPID=5678\n[USB MANUFACTURE STRING]\nAB\n[USB PRODUCT STRING]\nDisk\n"
    "[SCSI MANUFACTURE STRING]\nAB\n[SCSI PRODUCT STRING]\nDisk\n";

void Parse(Parsed& p, const std::string& text, const std::string& home = "/home/st",
           bool folderOk = true) {
    p.r = ParseRecipe(text, p.s, home, [&](const std::string& f) {
        p.foldersChecked.push_back(f);
        return folderOk;
    });
}

TEST(RecipeValues, NumbersTakeTheLongestNumericPrefix) {
    EXPECT_EQ(RecipeNumber("0.7"), 0.7);
    EXPECT_EQ(RecipeNumber("  1.5 MB"), 1.5);
    EXPECT_EQ(RecipeNumber("\t-0.25x"), -0.25);
    EXPECT_EQ(RecipeNumber(".5"), 0.5);
    EXPECT_EQ(RecipeNumber("5."), 5.0);
    EXPECT_EQ(RecipeNumber("2e3"), 2000.0);
    EXPECT_EQ(RecipeNumber("2e"), 2.0);  // no exponent digits: the prefix ends before "e"
    EXPECT_EQ(RecipeNumber("2e+x"), 2.0);
    EXPECT_EQ(RecipeNumber("abc"), 0.0);
    EXPECT_EQ(RecipeNumber(""), 0.0);
    EXPECT_EQ(RecipeNumber("-"), 0.0);
    EXPECT_EQ(RecipeNumber("1 2"), 1.0);
    // Too small is 0; too large is no value at all.
    EXPECT_EQ(RecipeNumber("1e-999"), 0.0);
    EXPECT_EQ(RecipeNumber("0.0000001e-400"), 0.0);
    EXPECT_EQ(RecipeNumber("1e999"), std::nullopt);
    EXPECT_EQ(RecipeNumber(std::string(400, '9')), std::nullopt);
    EXPECT_EQ(RecipeNumber("1e99999999999999999999999"), std::nullopt);
    EXPECT_EQ(RecipeNumber("1e-99999999999999999999999"), 0.0);
}

TEST(RecipeValues, BooleansAreWordsInAnyCaseOrNumbers) {
    EXPECT_EQ(RecipeBool("True"), true);
    EXPECT_EQ(RecipeBool("  fAlSe "), false);
    EXPECT_EQ(RecipeBool("TRUE"), true);
    EXPECT_EQ(RecipeBool("1"), true);
    EXPECT_EQ(RecipeBool("-2"), true);
    EXPECT_EQ(RecipeBool("0"), false);
    EXPECT_EQ(RecipeBool("0.0"), false);
    EXPECT_EQ(RecipeBool(""), std::nullopt);
    EXPECT_EQ(RecipeBool("yes"), std::nullopt);
    EXPECT_EQ(RecipeBool("Truee"), std::nullopt);
}

TEST(RecipeSections, VidPidTakeCharactersFiveToEight) {
    Parsed p;
    Parse(p, "[VID/PID]\r\nVID=1234\r\nPID=56789\r\n");
    EXPECT_EQ(p.s.Vid, "1234");
    EXPECT_EQ(p.s.Pid, "5678");

    Parsed q;  // an empty line after PID empties it; a short line gives what is there
    Parse(q, "[VID/PID]\r\nVID=12\r\nPID=5678\r\n\r\n");
    EXPECT_EQ(q.s.Vid, "12");
    EXPECT_EQ(q.s.Pid, "");

    Parsed r;  // any line not starting with VID sets the PID, even a lower-case vid
    Parse(r, "[VID/PID]\nPID=5678\nvid=ABCD\n");
    EXPECT_EQ(r.s.Pid, "ABCD");
    EXPECT_EQ(r.s.Vid, "");
}

TEST(RecipeSections, HeadersMatchWholeLinesExactly) {
    Parsed p;
    Parse(p,
          "ignored before any header\r\n"
          "[SCSI PRODUCT STRING]\r\n"
          "Flash Disk\r\n"
          "[DISK LABEL] \r\n"  // a blank after the bracket: not a header
          "LABEL1\r\n"
          "; a comment line is never a value\r\n"
          "[disk label]\r\n"   // wrong case: not a header
          " [DISK LABEL]\r\n"  // a blank before the bracket: a value line
          "[USB MANUFACTURE STRING]\r\n"
          "  Maker  \r\n");
    EXPECT_EQ(p.s.ScsiProduct, " [DISK LABEL]");
    EXPECT_EQ(p.s.DiskLabel, "");
    EXPECT_EQ(p.s.UsbManufacturer, "  Maker  ");  // strings are kept untrimmed
    EXPECT_TRUE(p.r.messages.empty());
}

TEST(RecipeSections, LineEndsCrLfOrLfAndNoPhantomLastLine) {
    // A final line end adds no empty value line (which would empty the PID).
    for (const char* text :
         {"[VID/PID]\r\nVID=1234\r\nPID=5678\r\n", "[VID/PID]\nVID=1234\nPID=5678\n",
          "[VID/PID]\nVID=1234\r\nPID=5678"}) {
        Parsed p;
        Parse(p, text);
        EXPECT_EQ(p.s.Vid, "1234") << text;
        EXPECT_EQ(p.s.Pid, "5678") << text;
    }
    Parsed p;  // a CR inside a line stays part of it
    Parse(p, "[DISK LABEL]\nA\rB\r\n");
    EXPECT_EQ(p.s.DiskLabel, "A\rB");
}

TEST(RecipeSections, PartitionStatusAndNumbersAfterEquals) {
    Parsed p;
    Parse(p,
          "[PARTITION STATUS]\r\nParNum=2\r\n1st=0.7\r\n2nd = 0.3 ; rest\r\n"
          "[APPLICATION MODE]\r\nApMode=3\r\n"
          "[DISK CAPACITY]\r\nSize=512\r\n"
          "[7301 2nd Reserved Section Size]\r\nSize=1.5\r\n");
    EXPECT_FALSE(p.r.badPartitionCount);
    EXPECT_EQ(p.s.FirstPartitionShare, 0.7);
    EXPECT_EQ(p.s.SecondPartitionShare, 0.3);
    EXPECT_EQ(p.s.ApplicationMode, 3);
    EXPECT_EQ(p.s.DiskCapacityMb, 512);
    EXPECT_TRUE(p.r.capacityGiven);
    EXPECT_EQ(p.s.SecondReservedSectors, 3072);

    Parsed q;  // rounding ties to even; a value out of 16 bits leaves the field as it was
    Parse(q,
          "[DISK CAPACITY]\nSize=2.5\nSize=40000\n[7301 2nd Reserved Section Size]\n"
          "Size=0.000244140625\n");  // 0.5 sector
    EXPECT_EQ(q.s.DiskCapacityMb, 2);
    EXPECT_EQ(q.s.SecondReservedSectors, 0);

    Parsed r;  // prefix tests are exact and with case; "size=" is not "Size="
    Parse(r, "[DISK CAPACITY]\nsize=64\n[PARTITION STATUS]\n1ST=0.5\n");
    EXPECT_FALSE(r.r.capacityGiven);
    EXPECT_EQ(r.s.FirstPartitionShare, 0.0);
}

TEST(RecipeSections, BadPartitionCountStopsReading) {
    for (const char* line : {"ParNum=3", "ParNum=0", "ParNum=", "ParNum = 2"}) {
        Parsed p;
        Parse(p, std::string("[PARTITION STATUS]\r\n") + line + "\r\n1st=1\r\n");
        EXPECT_TRUE(p.r.badPartitionCount) << line;
        ASSERT_EQ(p.r.messages.size(), 1u) << line;
        EXPECT_EQ(p.r.messages[0].text, "Error Partition Number");
        EXPECT_EQ(p.r.messages[0].icon, Icon::Error);
        EXPECT_EQ(p.s.FirstPartitionShare, 0.0) << "reading went on after " << line;
    }
    for (const char* line : {"ParNum=1", "ParNum=2", "ParNum=2x"}) {
        Parsed p;
        Parse(p, std::string("[PARTITION STATUS]\n") + line + "\n");
        EXPECT_FALSE(p.r.badPartitionCount) << line;
    }
}

TEST(RecipeSections, FlagsAndBooleans) {
    Parsed p;
    Parse(p,
          "[1M Reserved]\r\n 1 \r\n"
          "[7301 Compare Disk Flag]\r\nfalse\r\n\r\n"  // the empty line is no boolean
          "[7301 Serial Number Flag]\r\nTRUE\r\n"
          "[7301 Disable Removable Disk]\r\n-1\r\n"
          "[5207 Disable Loader Disk]\r\n 2 \r\n"
          "[DISK TYPE]\r\nanything\r\n");
    EXPECT_TRUE(p.s.OneMegReserved);
    EXPECT_EQ(p.r.compareDisk, false);
    EXPECT_FALSE(p.s.CompareDisk);
    EXPECT_TRUE(p.s.SerialNumberFlag);
    EXPECT_TRUE(p.s.bNoRomeableDisk);
    EXPECT_TRUE(p.s.bNoLoaderDisk);

    Parsed q;  // the last line wins: an empty line reads as 0 for the numeric flags
    Parse(q, "[1M Reserved]\n1\n\n[7301 Compare Disk Flag]\nTrue\n");
    EXPECT_FALSE(q.s.OneMegReserved);
    EXPECT_EQ(q.r.compareDisk, true);
}

TEST(RecipeSections, SerialNumberWholeOrPrefix) {
    Parsed full;
    Parse(full, "[Serial Number]\r\n00012345\r\n");
    EXPECT_TRUE(full.s.SerialSectionPresent);
    EXPECT_TRUE(full.s.SerialGiven);
    EXPECT_TRUE(full.s.SerialComplete);
    EXPECT_EQ(full.s.SerialNumber, "00012345");

    Parsed prefix;
    Parse(prefix, "[Serial Number]\r\nABC\r\n");
    EXPECT_TRUE(prefix.s.SerialGiven);
    EXPECT_FALSE(prefix.s.SerialComplete);
    EXPECT_EQ(prefix.s.SerialNumber, "ABC     ");

    Parsed longer;  // 5 characters: only the first 3 are the prefix
    Parse(longer, "[Serial Number]\nABCDE\n");
    EXPECT_EQ(longer.s.SerialNumber, "ABC     ");
    EXPECT_EQ(longer.r.serialLineLength, 5u);

    // A line longer than a serial number is a prefix too: the recipe stays
    // acceptable and the operator gets a warning.
    Parsed tooLong;
    Parse(tooLong, kGood + "[PARTITION STATUS]\n1st=1\n[Serial Number]\nXYZ0123456\n");
    EXPECT_FALSE(tooLong.s.SerialComplete);
    EXPECT_EQ(tooLong.s.SerialNumber, "XYZ     ");
    EXPECT_TRUE(RecipeLimitProblems(tooLong.s, tooLong.r).empty());
    ASSERT_EQ(RecipeWarnings(tooLong.s, tooLong.r).size(), 1u);
    EXPECT_TRUE(RecipeWarnings(full.s, full.r).empty());

    Parsed header;  // the header alone: present, nothing given
    Parse(header, "[Serial Number]\r\n");
    EXPECT_TRUE(header.s.SerialSectionPresent);
    EXPECT_FALSE(header.s.SerialGiven);
    EXPECT_EQ(header.s.SerialNumber, "        ");

    Parsed none;
    Parse(none, "[VID/PID]\r\nVID=1234\r\n");
    EXPECT_FALSE(none.s.SerialSectionPresent);
}

TEST(RecipeSections, FilesFolderIsNormalisedAndChecked) {
    Parsed p;
    Parse(p, "[7301 Files Directory]\r\n  files\\img  \r\n");
    ASSERT_EQ(p.foldersChecked.size(), 1u);
    EXPECT_EQ(p.foldersChecked[0], "/home/st/files/img/");
    EXPECT_EQ(p.s.FilesFolder, "/home/st/files/img/");

    Parsed abs;
    Parse(abs, "[7301 Files Directory]\n/srv/images/\n");
    EXPECT_EQ(abs.s.FilesFolder, "/srv/images/");

    // A folder that fails the check: message (plain box), folder emptied,
    // reading goes on.
    Parsed bad;
    Parse(bad, "[7301 Files Directory]\n/nowhere\n[DISK LABEL]\nL\n", "/h", false);
    ASSERT_EQ(bad.r.messages.size(), 1u);
    EXPECT_EQ(bad.r.messages[0].text, "7301 Files Folder set wrong, Check the Product.ini");
    EXPECT_EQ(bad.r.messages[0].icon, Icon::None);
    EXPECT_EQ(bad.s.FilesFolder, "");
    EXPECT_EQ(bad.s.DiskLabel, "L");

    // An empty line names no folder at all: it is wrong without a check.
    Parsed empty;
    Parse(empty, "[7301 Files Directory]\n/srv/images\n\n");
    EXPECT_EQ(empty.foldersChecked.size(), 1u);
    EXPECT_EQ(empty.r.messages.size(), 1u);
    EXPECT_EQ(empty.s.FilesFolder, "");
}

TEST(RecipeLimits, SharesThatAddUpButCannotBeLaidOut) {
    struct Case {
        const char* lines;
        bool problem;
    };
    const Case cases[] = {
        {"1st=0.5\n2nd=0.5\n", false}, {"1st=1\n", false},       {"1st=1\n2nd=0\n", false},
        {"1st=1.5\n2nd=-0.5\n", true}, {"1st=0\n2nd=1\n", true}, {"1st=-1\n2nd=2\n", true},
        {"1st=0.7\n2nd=0.2\n", false},  // does not add up: rejected elsewhere, not here
    };
    for (const auto& c : cases) {
        Parsed p;
        Parse(p, kGood + "[PARTITION STATUS]\n" + c.lines);
        EXPECT_EQ(!RecipeLimitProblems(p.s, p.r).empty(), c.problem) << c.lines;
    }
    Parsed negative;
    Parse(negative,
          kGood + "[PARTITION STATUS]\n1st=1\n[7301 2nd Reserved Section Size]\nSize=-1\n");
    EXPECT_EQ(negative.s.SecondReservedSectors, -2048);
    EXPECT_EQ(RecipeLimitProblems(negative.s, negative.r).size(), 1u);
}

TEST(RecipeLimits, IdsMustBeHexAndLabelsFitFat) {
    struct Case {
        const char* text;
        size_t problems;
    };
    const Case cases[] = {
        {"[VID/PID]\nVID=0e5A\nPID=7301\n[DISK LABEL]\nMY DISK_1\n", 0},
        {"[VID/PID]\nVID=ZZZZ\nPID=7301\n", 1},
        {"[VID/PID]\nVID=0E5A\nPID=73 1\n", 1},
        {"[VID/PID]\nVID=0x5A\nPID=G301\n", 2},
    };
    for (const auto& c : cases) {
        Parsed p;
        Parse(p, kGood + "[PARTITION STATUS]\n1st=1\n" + c.text);
        EXPECT_EQ(RecipeLimitProblems(p.s, p.r).size(), c.problems) << c.text;
    }
    // fsck.fat refuses a label with any of these, or with a non-ASCII letter.
    const std::vector<std::string> badLabels = {"A*B",
                                                "A?",
                                                "A/B",
                                                "A\\B",
                                                "A:B",
                                                "<A",
                                                "A>",
                                                "A|B",
                                                "A\"B",
                                                "A\tB",
                                                "A\x7F",
                                                "A.B",
                                                "A=B",
                                                "A+B",
                                                "A,B",
                                                "A;B",
                                                "D\u00c4M\u00d6",
                                                "D\xC4M\xD6"};
    for (const std::string& bad : badLabels) {
        Parsed p;
        Parse(p, kGood + "[DISK LABEL]\n" + bad + "\n");
        const auto problems = RecipeLimitProblems(p.s, p.r);
        ASSERT_EQ(problems.size(), 1u) << bad;
        EXPECT_EQ(problems[0].line, 13u) << bad;
    }
}

TEST(RecipeText, Utf8OrLatin1AndAsciiWhereTheFieldIsAscii) {
    // The same letters in a UTF-8 and in a Latin-1 file, after a byte-order mark
    // or not, are the same UTF-8 text.
    for (const std::string& text : {kGood + "[USB MANUFACTURE STRING]\n\u00c4b\n",
                                    "\xEF\xBB\xBF" + kGood + "[USB MANUFACTURE STRING]\n\u00c4b\n",
                                    kGood + "[USB MANUFACTURE STRING]\n\xC4"
                                            "b\n"}) {
        Parsed p;
        Parse(p, text);
        EXPECT_EQ(p.s.UsbManufacturer, "\u00c4b");
        EXPECT_EQ(p.s.Vid, "1234");
        EXPECT_TRUE(RecipeLimitProblems(p.s, p.r).empty());
    }
    for (const char* section : {"[SCSI MANUFACTURE STRING]", "[SCSI PRODUCT STRING]"}) {
        Parsed p;
        Parse(p, kGood + section + "\n\u00c4b\n");
        const auto problems = RecipeLimitProblems(p.s, p.r);
        ASSERT_EQ(problems.size(), 1u) << section;
        EXPECT_NE(problems[0].text.find("ASCII"), std::string::npos);
    }
    // Control characters never reach a disk's serial or strings.
    for (const std::string& bad : {std::string("AB\x01"), std::string("AB\0", 3)}) {
        for (const char* section : {"[Serial Number]", "[USB PRODUCT STRING]"}) {
            Parsed p;
            Parse(p, kGood + section + "\n" + bad + "\n");
            EXPECT_EQ(RecipeLimitProblems(p.s, p.r).size(), 1u) << section;
        }
    }
}

}  // namespace
}  // namespace galmor
