#include "prodlog/digest.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace galmor::prodlog {

namespace {

struct CtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

std::string Hex(const unsigned char* p, unsigned int n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (unsigned int i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

// Feeds `more` until it returns false; empty on a digest failure.
template <typename Feed>
std::string Digest(Feed more) {
    std::unique_ptr<EVP_MD_CTX, CtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return {};
    const uint8_t* data = nullptr;
    size_t size = 0;
    while (more(&data, &size)) {
        if (EVP_DigestUpdate(ctx.get(), data, size) != 1) return {};
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), md, &len) != 1) return {};
    return Hex(md, len);
}

}  // namespace

std::string Sha256Hex(const uint8_t* data, size_t size) {
    bool done = false;
    return Digest([&](const uint8_t** p, size_t* n) {
        if (done) return false;
        done = true;
        *p = data;
        *n = size;
        return true;
    });
}

bool Sha256File(const std::string& path, std::string* hex, std::string* error) {
    std::unique_ptr<std::FILE, FileClose> f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        if (error) *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    uint8_t buf[1 << 16];
    bool readError = false;
    *hex = Digest([&](const uint8_t** p, size_t* n) {
        *n = std::fread(buf, 1, sizeof buf, f.get());
        *p = buf;
        if (*n == 0 && std::ferror(f.get())) readError = true;
        return *n > 0;
    });
    if (readError || hex->empty()) {
        if (error) *error = "cannot read " + path;
        hex->clear();
        return false;
    }
    return true;
}

RecipeDigest DigestRecipe(const std::vector<RecipeFile>& files) {
    RecipeDigest out;
    std::string all;
    for (const auto& f : files) {
        out.files.push_back(f.name + " " + f.sha256);
        all += out.files.back() + "\n";
    }
    out.digest = Sha256Hex(reinterpret_cast<const uint8_t*>(all.data()), all.size());
    return out;
}

}  // namespace galmor::prodlog
