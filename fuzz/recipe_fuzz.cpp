// Fuzz target: the recipe text parser and its value readers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/text.h"
#include "recipe/parser.h"
#include "recipe/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    galmor::ProductSettings s;
    int calls = 0;
    // Accept every other folder so that both paths of the folder check run.
    auto parsed =
        galmor::ParseRecipe(text, s, "/home/station", [&calls](const std::string& folder) {
            if (folder.empty() || folder.back() != '/') __builtin_trap();
            return (calls++ % 2) == 0;
        });
    const auto problems = galmor::RecipeLimitProblems(s, parsed);
    // What an accepted recipe hands the controller: UTF-8 texts, ASCII SCSI
    // strings, a label a FAT checker takes.
    if (problems.empty() && !parsed.empty) {
        for (const auto* t : {&s.UsbManufacturer, &s.UsbProduct, &s.DiskLabel, &s.SerialNumber}) {
            if (!galmor::IsUtf8(*t)) __builtin_trap();
        }
        if (!galmor::IsPrintableAscii(s.ScsiVendor) || !galmor::IsPrintableAscii(s.ScsiProduct)) {
            __builtin_trap();
        }
        for (char c : s.DiskLabel) {
            if (!galmor::FatLabelCharacterOk(c)) __builtin_trap();
        }
    }

    // Invariants the rest of the station relies on.
    if (s.SerialNumber.size() != galmor::kSerialChars) __builtin_trap();
    if (!s.FilesFolder.empty() && s.FilesFolder.back() != '/') __builtin_trap();
    if (s.SerialComplete && !s.SerialGiven) __builtin_trap();
    if (s.Vid.size() > 4 || s.Pid.size() > 4) __builtin_trap();

    (void)galmor::RecipeNumber(text);
    (void)galmor::RecipeBool(text);
    return 0;
}
