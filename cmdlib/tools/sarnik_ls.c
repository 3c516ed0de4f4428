/* sarnik_ls: lists the disk and CD-ROM units that libsarnik sees, with each
 * disk's capacity.
 *
 *   sarnik_ls [LIBRARY]
 *
 * LIBRARY defaults to libsarnik.so beside this program. The units come from
 * the simulated bus when SARNIK_SIM_BUS names one, else from the system. The
 * device path of each unit is the line the library logs on every open; when
 * SARNIK_ROOT is not set, a temporary folder takes the library's files and is
 * removed at the end.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <libgen.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef int32_t (*open_fn)(int32_t);
typedef int32_t (*capacity_fn)(int32_t, void*);

enum { kMaxUnits = 256 };

static int read_line(const char* file, char* out, size_t size) {
    FILE* f = fopen(file, "r");
    out[0] = '\0';
    if (!f) return 0;
    if (!fgets(out, (int)size, f)) out[0] = '\0';
    fclose(f);
    out[strcspn(out, "\r\n")] = '\0';
    return out[0] != '\0';
}

static void default_library(char* out, size_t size) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        snprintf(out, size, "libsarnik.so");
        return;
    }
    exe[n] = '\0';
    snprintf(out, size, "%s/libsarnik.so", dirname(exe));
}

static void show_capacity(capacity_fn capacity, int32_t handle) {
    unsigned char b[8] = {0};
    if (capacity(handle, b) != 8) {
        printf("%-28s", "not ready");
        return;
    }
    uint32_t last = (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
    uint32_t block = (uint32_t)b[4] << 24 | (uint32_t)b[5] << 16 | (uint32_t)b[6] << 8 | b[7];
    uint64_t sectors = (uint64_t)last + 1;
    char text[64];
    snprintf(text, sizeof text, "%llu x %u B (%.1f MiB)", (unsigned long long)sectors, block,
             (double)sectors * block / (1024.0 * 1024.0));
    printf("%-28s", text);
}

int main(int argc, char** argv) {
    char lib[PATH_MAX];
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        fprintf(stderr, "usage: %s [LIBRARY]\n", argv[0]);
        return 2;
    }
    if (argc == 2) {
        snprintf(lib, sizeof lib, "%s", argv[1]);
    } else {
        default_library(lib, sizeof lib);
    }

    void* h = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        fprintf(stderr, "sarnik_ls: cannot load %s: %s\n", lib, dlerror());
        return 1;
    }
    open_fn open_disk = (open_fn)dlsym(h, "fnFerrule_GetDiskHandle");
    open_fn open_cd = (open_fn)dlsym(h, "fnFerrule_GetCDHandle");
    capacity_fn capacity = (capacity_fn)dlsym(h, "fnFerrule_Read25Capacity");
    if (!open_disk || !open_cd || !capacity) {
        fprintf(stderr, "sarnik_ls: %s lacks the expected exports\n", lib);
        return 1;
    }

    char tmp_root[] = "/tmp/sarnik_ls-XXXXXX";
    int own_root = 0;
    const char* root = getenv("SARNIK_ROOT");
    if (!root || !*root) {
        if (!mkdtemp(tmp_root)) {
            perror("sarnik_ls: mkdtemp");
            return 1;
        }
        setenv("SARNIK_ROOT", tmp_root, 1);
        root = tmp_root;
        own_root = 1;
    }
    char log[PATH_MAX];
    snprintf(log, sizeof log, "%s/tessary.txt", root);

    printf("%-6s %-6s %-28s %s\n", "index", "class", "capacity", "device path");
    int units = 0;
    for (int cls = 0; cls < 2; ++cls) {
        open_fn open_unit = cls == 0 ? open_disk : open_cd;
        for (int32_t i = 0; i < kMaxUnits; ++i) {
            char path[4096];
            int32_t handle = open_unit(i);
            /* An empty log means there is no unit at this index. */
            if (!read_line(log, path, sizeof path)) {
                if (handle > 0) close(handle);
                break;
            }
            ++units;
            printf("%-6d %-6s ", i, cls == 0 ? "disk" : "cdrom");
            if (handle <= 0) {
                printf("%-28s", "cannot open");
            } else if (cls == 0) {
                show_capacity(capacity, handle);
            } else {
                printf("%-28s", "-");
            }
            printf(" %s\n", path);
            if (handle > 0) close(handle);
        }
    }
    if (units == 0) printf("(no units)\n");

    if (own_root) {
        char file[PATH_MAX];
        snprintf(file, sizeof file, "%s/tessary.txt", tmp_root);
        unlink(file);
        snprintf(file, sizeof file, "%s/tessary.bin", tmp_root);
        unlink(file);
        rmdir(tmp_root);
    }
    dlclose(h);
    return 0;
}
