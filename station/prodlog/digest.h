// The recipe's fingerprint: SHA-256 of "Product.ini" and of each image file
// it names, and one digest over all of them that the log keeps per disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace galmor::prodlog {

// SHA-256 in lower-case hexadecimal.
std::string Sha256Hex(const uint8_t* data, size_t size);
// Of a whole file; false (with the reason in *error) when it cannot be read.
bool Sha256File(const std::string& path, std::string* hex, std::string* error);

struct RecipeFile {
    std::string name;  // as the recipe names it ("Product.ini", "loader.iso")
    std::string sha256;
};

struct RecipeDigest {
    std::string digest;              // SHA-256 over the lines below, in order
    std::vector<std::string> files;  // "name sha256", one per file
};

// Files in the order given: Product.ini first, then the images.
RecipeDigest DigestRecipe(const std::vector<RecipeFile>& files);

}  // namespace galmor::prodlog
