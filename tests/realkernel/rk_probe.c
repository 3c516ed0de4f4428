/* rk_probe: checks libsarnik's Linux layer against the SCSI units of a running
 * kernel (meant for the throw-away QEMU guest that run.sh boots).
 *
 *   rk_probe LIBRARY UNITS-FILE      run the checks, print PASS/FAIL lines and
 *                                    "N passed, N failed"; exit 0 when all pass
 *   rk_probe --pattern LBA COUNT     write the bytes the checks put at LBA (COUNT
 *                                    sectors) to stdout, for the host-side compare
 *
 * UNITS-FILE has one line per unit the guest was given, fields separated by
 * tabs:  model  class(disk|cdrom)  bytes  block-size  expected device path
 * where "@" in the path stands for the unit's SCSI address "H&C&T&L", taken
 * from sysfs. The probe finds each unit in sysfs by its model text on its own,
 * so the library's enumeration is compared with an independent listing.
 *
 * RK_NODES=block in the environment: the guest has no sg driver, so every
 * handle must be the unit's block node; the sectors written move up by 0x100.
 *
 * The probe writes sectors: only ever run it on disposable units.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

typedef int32_t (*open_fn)(int32_t);
typedef int32_t (*handle_fn)(int32_t);
typedef int32_t (*rw_fn)(int32_t, int32_t, int32_t, void*);
typedef int32_t (*capacity_fn)(int32_t, void*);
typedef int32_t (*vendor_r_fn)(int32_t, int32_t, void*);

static struct {
    open_fn disk, cd;
    handle_fn tur, mode_sense, layout, rescan;
    rw_fn read, write;
    capacity_fn capacity;
    vendor_r_fn vendor_r;
} L;

enum { kMaxUnits = 64, kClassDisk = 0, kClassCd = 1 };

static int passed, failed;
static char root[512];
static int block_nodes; /* RK_NODES=block */

static void check(int ok, const char* name, const char* fmt, ...) {
    if (ok) {
        passed++;
        printf("PASS %s\n", name);
    } else {
        failed++;
        printf("FAIL %s: ", name);
        va_list ap;
        va_start(ap, fmt);
        vprintf(fmt, ap);
        va_end(ap);
        printf("\n");
    }
    fflush(stdout);
}

/* ---- test data ------------------------------------------------------------ */

static void pattern(uint32_t lba, uint32_t count, uint8_t* out) {
    for (uint32_t s = 0; s < count; ++s) {
        uint8_t* p = out + 512u * s;
        const uint32_t l = lba + s;
        for (uint32_t i = 0; i < 512; ++i)
            p[i] = (uint8_t)((l * 131u + i * 7u + (i >> 8) * 3u) ^ 0xA5u);
        p[0] = (uint8_t)(l >> 24);
        p[1] = (uint8_t)(l >> 16);
        p[2] = (uint8_t)(l >> 8);
        p[3] = (uint8_t)l;
    }
}

/* ---- sysfs, read independently of the library ----------------------------- */

struct sysunit {
    unsigned a[4];
    char name[700]; /* H:C:T:L */
    char model[64]; /* trimmed */
    char sg[32];    /* the node handles must open: sgN, or the block node */
    int type;
};

static void trim(char* s) {
    size_t n = strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\n' || s[n - 1] == '\t')) s[--n] = '\0';
    size_t lead = strspn(s, " \t");
    memmove(s, s + lead, strlen(s + lead) + 1);
}

static int read_text(const char* path, char* out, size_t size) {
    FILE* f = fopen(path, "r");
    out[0] = '\0';
    if (!f) return 0;
    size_t n = fread(out, 1, size - 1, f);
    out[n] = '\0';
    fclose(f);
    return 1;
}

static int first_entry(const char* dir, char* out, size_t size) {
    DIR* d = opendir(dir);
    out[0] = '\0';
    if (!d) return 0;
    struct dirent* e;
    while ((e = readdir(d)) != NULL) {
        if (e->d_name[0] == '.') continue;
        if (out[0] == '\0' || strcmp(e->d_name, out) < 0) snprintf(out, size, "%s", e->d_name);
    }
    closedir(d);
    return out[0] != '\0';
}

static int cmp_addr(const void* x, const void* y) {
    const struct sysunit* a = x;
    const struct sysunit* b = y;
    for (int i = 0; i < 4; ++i) {
        if (a->a[i] != b->a[i]) return a->a[i] < b->a[i] ? -1 : 1;
    }
    return 0;
}

static int class_of(int type) {
    if (type == 0 || type == 7 || type == 14) return kClassDisk;
    if (type == 5) return kClassCd;
    return -1;
}

/* Units of one class in SCSI address order. */
static int sys_units(int cls, struct sysunit* out, int max) {
    const char* base = "/sys/bus/scsi/devices";
    DIR* d = opendir(base);
    int n = 0;
    if (!d) return 0;
    struct dirent* e;
    while ((e = readdir(d)) != NULL && n < max) {
        struct sysunit u;
        memset(&u, 0, sizeof u);
        int used = 0;
        if (sscanf(e->d_name, "%u:%u:%u:%u%n", &u.a[0], &u.a[1], &u.a[2], &u.a[3], &used) != 4 ||
            e->d_name[used] != '\0')
            continue;
        char p[512], t[64];
        snprintf(p, sizeof p, "%s/%s/type", base, e->d_name);
        if (!read_text(p, t, sizeof t)) continue;
        u.type = atoi(t);
        if (class_of(u.type) != cls) continue;
        snprintf(u.name, sizeof u.name, "%s", e->d_name);
        snprintf(p, sizeof p, "%s/%s/model", base, e->d_name);
        read_text(p, u.model, sizeof u.model);
        trim(u.model);
        snprintf(p, sizeof p, "%s/%s/%s", base, e->d_name, block_nodes ? "block" : "scsi_generic");
        first_entry(p, u.sg, sizeof u.sg);
        out[n++] = u;
    }
    closedir(d);
    qsort(out, (size_t)n, sizeof out[0], cmp_addr);
    return n;
}

static void instance_of(const struct sysunit* u, char* out, size_t size) {
    snprintf(out, size, "%u&%u&%u&%u", u->a[0], u->a[1], u->a[2], u->a[3]);
}

/* ---- the library's files -------------------------------------------------- */

/* Whole file; -1 when it cannot be read. */
static long read_file(const char* name, uint8_t* out, size_t size) {
    char p[700];
    snprintf(p, sizeof p, "%s/%s", root, name);
    FILE* f = fopen(p, "rb");
    if (!f) return -1;
    size_t n = fread(out, 1, size, f);
    fclose(f);
    return (long)n;
}

/* ---- enumeration through the library ------------------------------------- */

struct libunit {
    char path[512];
    int handle;
};

/* Opens index 0, 1, ... until the library says no; keeps every handle open. */
static int lib_units(int cls, struct libunit* out, int max, int* log_empty_after) {
    int n = 0;
    *log_empty_after = 0;
    for (int i = 0; i < max + 1; ++i) {
        const int32_t h = cls == kClassDisk ? L.disk(i) : L.cd(i);
        char buf[600];
        long len = read_file("tessary.txt", (uint8_t*)buf, sizeof buf - 1);
        if (h == 0) {
            *log_empty_after = len == 0;
            break;
        }
        if (n == max) {
            close(h);
            break;
        }
        buf[len < 0 ? 0 : len] = '\0';
        /* the log holds exactly the path and one line end */
        char* nl = strchr(buf, '\n');
        if (nl && nl[1] == '\0') {
            *nl = '\0';
        } else {
            snprintf(buf, sizeof buf, "<malformed log of %ld bytes>", len);
        }
        snprintf(out[n].path, sizeof out[n].path, "%s", buf);
        out[n].handle = h;
        n++;
    }
    return n;
}

/* "H&C&T&L" part of a device path (the third '#'-separated field). */
static void path_instance(const char* path, char* out, size_t size) {
    out[0] = '\0';
    const char* a = strchr(path, '#');
    const char* b = a ? strchr(a + 1, '#') : NULL;
    const char* c = b ? strchr(b + 1, '#') : NULL;
    if (!c) return;
    snprintf(out, size, "%.*s", (int)(c - b - 1), b + 1);
}

/* ---- expectations --------------------------------------------------------- */

struct expect {
    char model[64];
    int cls;
    unsigned long long bytes;
    unsigned block;
    char path[512]; /* with "@" for the address */
};

static int load_expect(const char* file, struct expect* out, int max) {
    FILE* f = fopen(file, "r");
    if (!f) return -1;
    char line[1024];
    int n = 0;
    while (fgets(line, sizeof line, f) && n < max) {
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] == '\0' || line[0] == '#') continue;
        char* field[5];
        int k = 0;
        for (char* s = line; k < 5; ++k) {
            field[k] = s;
            char* tab = strchr(s, '\t');
            if (!tab) {
                ++k;
                break;
            }
            *tab = '\0';
            s = tab + 1;
        }
        if (k != 5) continue;
        struct expect* e = &out[n++];
        snprintf(e->model, sizeof e->model, "%s", field[0]);
        e->cls = strcmp(field[1], "cdrom") == 0 ? kClassCd : kClassDisk;
        e->bytes = strtoull(field[2], NULL, 0);
        e->block = (unsigned)strtoul(field[3], NULL, 0);
        snprintf(e->path, sizeof e->path, "%s", field[4]);
    }
    fclose(f);
    return n;
}

static void fill_path(const char* tmpl, const char* inst, char* out, size_t size) {
    const char* at = strchr(tmpl, '@');
    if (!at) {
        snprintf(out, size, "%s", tmpl);
        return;
    }
    snprintf(out, size, "%.*s%s%s", (int)(at - tmpl), tmpl, inst, at + 1);
}

/* ---- raw SG_IO, only to record what the device itself answered ------------ */

static int raw_status(const char* sg, uint8_t opcode, uint8_t* sense, int* host, int* driver) {
    char p[64];
    snprintf(p, sizeof p, "/dev/%s", sg);
    int fd = open(p, O_RDWR | O_NONBLOCK);
    if (fd < 0) return -1;
    uint8_t cdb[10] = {opcode};
    uint8_t data[512];
    sg_io_hdr_t h;
    memset(&h, 0, sizeof h);
    h.interface_id = 'S';
    h.dxfer_direction = SG_DXFER_FROM_DEV;
    h.dxferp = data;
    h.dxfer_len = sizeof data;
    h.cmdp = cdb;
    h.cmd_len = sizeof cdb;
    h.sbp = sense;
    h.mx_sb_len = 18;
    h.timeout = 5000;
    int rc = ioctl(fd, SG_IO, &h);
    close(fd);
    if (rc < 0) return -1;
    *host = h.host_status;
    *driver = h.driver_status;
    return h.status;
}

/* ---- checks ---------------------------------------------------------------- */

static uint32_t be32(const uint8_t* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
static uint32_t le32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* The handle is a close-on-exec descriptor of the unit's own sg node. */
static void check_handle(const char* what, int h, const struct sysunit* u) {
    char name[700];
    snprintf(name, sizeof name, "%s: handle is close-on-exec and opens /dev/%s", what, u->sg);
    char link[64], target[256] = "";
    snprintf(link, sizeof link, "/proc/self/fd/%d", h);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 0) target[n] = '\0';
    char want[64];
    snprintf(want, sizeof want, "/dev/%s", u->sg);
    const int fl = fcntl(h, F_GETFD);
    check(h > 0 && fl >= 0 && (fl & FD_CLOEXEC) && strcmp(target, want) == 0, name,
          "handle %d flags %d target '%s'", h, fl, target);
}

static void check_capacity(const char* what, int h, const struct expect* e) {
    uint8_t b[8];
    memset(b, 0xEE, sizeof b);
    const int32_t r = L.capacity(h, b);
    const unsigned long long blocks = (unsigned long long)be32(b) + 1;
    char name[700];
    snprintf(name, sizeof name, "%s: Read25Capacity = %llu bytes in %u-byte blocks", what, e->bytes,
             e->block);
    check(r == 8 && be32(b + 4) == e->block && blocks * e->block == e->bytes, name,
          "returned %d, last lba %u, block %u", r, be32(b), be32(b + 4));
}

/* Writes `count` sectors of test data at `lba`, reads them back. */
static void check_round_trip(const char* what, int h, int32_t lba, int32_t count) {
    static uint8_t out[8 * 512], in[8 * 512];
    pattern((uint32_t)lba, (uint32_t)count, out);
    memset(in, 0xEE, sizeof in);
    const int32_t w = L.write(h, count, lba, out);
    const int32_t r = L.read(h, count, lba, in);
    char name[700];
    snprintf(name, sizeof name, "%s: Write then Read of %d sector(s) at lba 0x%x round-trips", what,
             count, (unsigned)lba);
    const size_t len = 512u * (size_t)count;
    size_t first_diff = len;
    for (size_t i = 0; i < len; ++i) {
        if (in[i] != out[i]) {
            first_diff = i;
            break;
        }
    }
    check(w == 1 && r == 1 && first_diff == len, name, "write %d read %d, first differing byte %zu",
          w, r, first_diff);
}

static void check_mode_sense_dump(const char* what, int h) {
    char p[700];
    snprintf(p, sizeof p, "%s/tessary.bin", root);
    unlink(p);
    const int32_t r = L.mode_sense(h);
    uint8_t b[400];
    const long n = read_file("tessary.bin", b, sizeof b);
    char name[700];
    snprintf(name, sizeof name, "%s: ModeSense returns 0 and dumps the 272-byte block", what);
    static const uint8_t cdb[6] = {0x1A, 0x00, 0x1C, 0x00, 0xC0, 0x00};
    check(r == 0 && n == 272 && b[0] == 44 && b[1] == 0 && b[6] == 6 && b[8] == 1 &&
              memcmp(b + 28, cdb, sizeof cdb) == 0,
          name, "returned %d, %ld bytes, length %u cdb-length %u data-in %u", r, n,
          n >= 2 ? b[0] | b[1] << 8 : 0, n > 6 ? b[6] : 0, n > 8 ? b[8] : 0);
    if (n != 272) return;
    const unsigned status = b[2];
    const uint32_t moved = le32(b + 12);
    printf(
        "INFO %s: mode sense status 0x%02x, %u bytes, sense %02x %02x %02x ... asc %02x ascq "
        "%02x\n",
        what, status, moved, b[48], b[49], b[50], b[48 + 12], b[48 + 13]);
    snprintf(name, sizeof name, "%s: ModeSense dump holds a consistent outcome", what);
    if (status == 0) {
        /* mode parameter header: byte 0 = bytes that follow it */
        check(moved >= 4 && moved <= 192 && b[80] + 1u >= moved, name,
              "GOOD with %u bytes, header length byte %u", moved, b[80]);
    } else {
        const uint8_t code = b[48] & 0x7F;
        check(status == 0x02 && (code == 0x70 || code == 0x71) && (b[50] & 0x0F) != 0, name,
              "status 0x%02x, sense response 0x%02x key %u", status, b[48], b[50] & 0x0F);
    }
}

static const struct sysunit* find_model(const struct sysunit* us, int n, const char* model) {
    const struct sysunit* found = NULL;
    for (int i = 0; i < n; ++i) {
        if (strcmp(us[i].model, model) == 0) {
            if (found) return NULL; /* not unique */
            found = &us[i];
        }
    }
    return found;
}

static int index_of(const struct libunit* lu, int n, const char* inst) {
    for (int i = 0; i < n; ++i) {
        char got[64];
        path_instance(lu[i].path, got, sizeof got);
        if (strcmp(got, inst) == 0) return i;
    }
    return -1;
}

/* Sorting by name would give another order: the numeric sort is actually exercised. */
static int name_order_differs(const struct sysunit* us, int n) {
    for (int i = 0; i + 1 < n; ++i) {
        if (strcmp(us[i].name, us[i + 1].name) > 0) return 1;
    }
    return 0;
}

static int load_library(const char* lib) {
    void* h = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        printf("FAIL load library: %s\n", dlerror());
        return 0;
    }
#define SYM(field, type, name)                             \
    L.field = (type)dlsym(h, name);                        \
    if (!L.field) {                                        \
        printf("FAIL load library: no symbol %s\n", name); \
        return 0;                                          \
    }
    SYM(disk, open_fn, "fnFerrule_GetDiskHandle");
    SYM(cd, open_fn, "fnFerrule_GetCDHandle");
    SYM(tur, handle_fn, "fnFerrule_TestUnitReady");
    SYM(mode_sense, handle_fn, "fnFerrule_ModeSense");
    SYM(layout, handle_fn, "fnFerrule_Inquiry");
    SYM(rescan, handle_fn, "fnFerrule_ScsiReScan");
    SYM(read, rw_fn, "fnFerrule_Read");
    SYM(write, rw_fn, "fnFerrule_Write");
    SYM(capacity, capacity_fn, "fnFerrule_Read25Capacity");
    SYM(vendor_r, vendor_r_fn, "fnFerrule_VendorR");
#undef SYM
    return 1;
}

/* Everything about one class: enumeration order, paths, per-unit commands. */
struct class_run {
    struct sysunit sys[kMaxUnits];
    int nsys;
    struct libunit lib[kMaxUnits];
    int nlib;
};

static void check_enumeration(int cls, struct class_run* c) {
    const char* what = cls == kClassDisk ? "disk" : "cdrom";
    char name[700];
    int empty_after = 0;
    c->nsys = sys_units(cls, c->sys, kMaxUnits);
    c->nlib = lib_units(cls, c->lib, kMaxUnits, &empty_after);
    printf("INFO %s units in sysfs (address order):", what);
    for (int i = 0; i < c->nsys; ++i) printf(" %s(%s)", c->sys[i].name, c->sys[i].model);
    printf("\n");
    for (int i = 0; i < c->nlib; ++i) printf("INFO %s index %d: %s\n", what, i, c->lib[i].path);

    snprintf(name, sizeof name, "%s: the library enumerates every %s unit of sysfs", what, what);
    check(c->nlib == c->nsys && c->nsys > 0, name, "library %d, sysfs %d", c->nlib, c->nsys);
    int order_ok = c->nlib == c->nsys;
    for (int i = 0; order_ok && i < c->nlib; ++i) {
        char want[64], got[64];
        instance_of(&c->sys[i], want, sizeof want);
        path_instance(c->lib[i].path, got, sizeof got);
        if (strcmp(want, got) != 0) {
            order_ok = 0;
            printf("INFO %s index %d is %s, sysfs address order has %s\n", what, i, got, want);
        }
    }
    snprintf(name, sizeof name, "%s: indexes follow the numeric SCSI address order", what);
    check(order_ok, name, "see INFO lines");
    snprintf(name, sizeof name, "%s: past the last unit the open fails and tessary.txt is empty",
             what);
    check(empty_after, name, "log not empty after the failing open");
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--pattern") == 0) {
        const uint32_t lba = (uint32_t)strtoul(argv[2], NULL, 0);
        const uint32_t count = (uint32_t)strtoul(argv[3], NULL, 0);
        if (count == 0 || count > 8) return 2;
        uint8_t b[8 * 512];
        pattern(lba, count, b);
        return fwrite(b, 512, count, stdout) == count ? 0 : 1;
    }
    if (argc != 3) {
        fprintf(stderr, "usage: %s LIBRARY UNITS-FILE | --pattern LBA COUNT\n", argv[0]);
        return 2;
    }
    const char* r = getenv("SARNIK_ROOT");
    if (!r || !*r) {
        fprintf(stderr, "rk_probe: set SARNIK_ROOT to a scratch folder\n");
        return 2;
    }
    snprintf(root, sizeof root, "%s", r);
    const char* nodes = getenv("RK_NODES");
    block_nodes = nodes && strcmp(nodes, "block") == 0;
    const int32_t shift = block_nodes ? 0x100 : 0;
    printf("INFO handles are expected on %s nodes\n", block_nodes ? "block" : "sg");
    if (!load_library(argv[1])) return 1;
    static struct expect ex[kMaxUnits];
    const int nex = load_expect(argv[2], ex, kMaxUnits);
    if (nex <= 0) {
        fprintf(stderr, "rk_probe: no units in %s\n", argv[2]);
        return 2;
    }

    if (block_nodes) {
        char none[64];
        check(!first_entry("/sys/class/scsi_generic", none, sizeof none),
              "setup: no SCSI generic node exists", "found %s", none);
    }

    static struct class_run cr[2];
    check_enumeration(kClassDisk, &cr[kClassDisk]);
    check_enumeration(kClassCd, &cr[kClassCd]);
    check(name_order_differs(cr[kClassDisk].sys, cr[kClassDisk].nsys),
          "setup: sorting disk addresses by name would give another order",
          "the guest's disks do not exercise the numeric sort");

    /* Each unit the guest was given: its path, handle, readiness, capacity. */
    int usb_disk = -1, usb_cd = -1, sata_disk = -1, plain_disk = -1;
    int usb_cd_idx = -1;
    for (int k = 0; k < nex; ++k) {
        const struct expect* e = &ex[k];
        struct class_run* c = &cr[e->cls];
        char name[700];
        const struct sysunit* u = find_model(c->sys, c->nsys, e->model);
        snprintf(name, sizeof name, "%s: exactly one unit with this model in sysfs", e->model);
        check(u != NULL, name, "missing or not unique");
        if (!u) continue;
        char inst[64], want[600];
        instance_of(u, inst, sizeof inst);
        fill_path(e->path, inst, want, sizeof want);
        const int i = index_of(c->lib, c->nlib, inst);
        snprintf(name, sizeof name, "%s: device path is %s", e->model, want);
        check(i >= 0 && strcmp(c->lib[i].path, want) == 0, name, "got '%s'",
              i >= 0 ? c->lib[i].path : "<no index with this address>");
        if (i < 0) continue;
        const int usb_path = strcasestr(c->lib[i].path, "usb") != NULL;
        const int usb_expected = strcasestr(e->path, "usbstor#") != NULL;
        snprintf(name, sizeof name, "%s: \"usb\" in the path %s", e->model,
                 usb_expected ? "marks the USB unit" : "is absent for a non-USB unit");
        check(usb_path == usb_expected, name, "path '%s'", c->lib[i].path);

        const int h = c->lib[i].handle;
        check_handle(e->model, h, u);
        snprintf(name, sizeof name, "%s: TestUnitReady is 1", e->model);
        const int32_t t = L.tur(h);
        check(t == 1, name, "returned %d", t);
        check_capacity(e->model, h, e);

        if (strcmp(e->model, "FLASHDISK") == 0) usb_disk = h;
        if (strcmp(e->model, "FLASHDISK2") == 0) plain_disk = h;
        if (strcmp(e->model, "FLASHCD") == 0) usb_cd = h, usb_cd_idx = i;
        if (strncmp(e->model, "USB-LOOKALIKE", 13) == 0) sata_disk = h;
    }

    if (usb_disk > 0) {
        const char* w = "USB disk";
        check_round_trip(w, usb_disk, 0x12345 + shift, 1);
        check_round_trip(w, usb_disk, 0x12350 + shift, 4);
        uint8_t b[512];
        int32_t rr = L.read(usb_disk, 1, 131072, b); /* one past the last lba */
        check(rr == 0, "USB disk: Read past the last lba fails", "returned %d", rr);

        const struct sysunit* u = find_model(cr[kClassDisk].sys, cr[kClassDisk].nsys, "FLASHDISK");
        uint8_t sense[18] = {0};
        int host = -1, drv = -1;
        const int st = u ? raw_status(u->sg, 0x75, sense, &host, &drv) : -1;
        printf(
            "INFO USB disk: device's own answer to opcode 0x75: status 0x%02x host 0x%02x driver "
            "0x%02x sense key %u asc 0x%02x\n",
            st, host, drv, sense[2] & 0x0F, sense[12]);
        memset(b, 0, sizeof b);
        const int32_t v = L.vendor_r(usb_disk, 0x75, b);
        check(v == 0, "USB disk: VendorR 0x75 is 0 (the device rejects the opcode)", "returned %d",
              v);
        const int32_t t = L.tur(usb_disk);
        check(t == 1, "USB disk: TestUnitReady is 1 again after the rejected opcode", "returned %d",
              t);
        check_mode_sense_dump(w, usb_disk);
        const int32_t lay = L.layout(usb_disk);
        check(lay == 40, "USB disk: drive layout of its one-partition table is 40 bytes",
              "returned %d", lay);
    }
    if (plain_disk > 0) {
        const int32_t lay = L.layout(plain_disk);
        check(lay == 8, "USB disk 2: drive layout without a partition table is 8 bytes",
              "returned %d", lay);
    }
    if (sata_disk > 0) {
        check_round_trip("SATA disk", sata_disk, 0x12345 + shift, 1);
        uint8_t b[512];
        const int32_t v = L.vendor_r(sata_disk, 0x75, b);
        check(v == 0, "SATA disk: VendorR 0x75 is 0", "returned %d", v);
    }
    if (usb_cd > 0) {
        uint8_t b[512];
        const int32_t v = L.vendor_r(usb_cd, 0x75, b);
        check(v == 0, "USB cdrom: VendorR 0x75 is 0", "returned %d", v);
    }

    /* The USB CD-ROM goes away and comes back through a rescan of its host. */
    if (usb_cd > 0 && usb_disk > 0) {
        const struct sysunit* u = find_model(cr[kClassCd].sys, cr[kClassCd].nsys, "FLASHCD");
        char p[300], old_path[512];
        snprintf(old_path, sizeof old_path, "%s", cr[kClassCd].lib[usb_cd_idx].path);
        snprintf(p, sizeof p, "/sys/bus/scsi/devices/%s/delete", u ? u->name : "none");
        int fd = open(p, O_WRONLY);
        const int deleted = fd >= 0 && write(fd, "1", 1) == 1;
        if (fd >= 0) close(fd);
        check(deleted, "setup: USB cdrom deleted through sysfs", "%s: %s", p, strerror(errno));
        const int32_t t = L.tur(usb_cd);
        check(t == 0, "USB cdrom: TestUnitReady on the handle of the removed unit is 0",
              "returned %d", t);
        struct libunit lu[kMaxUnits];
        int empty = 0;
        int n = lib_units(kClassCd, lu, kMaxUnits, &empty);
        int gone = 1;
        for (int i = 0; i < n; ++i) {
            if (strcmp(lu[i].path, old_path) == 0) gone = 0;
            close(lu[i].handle);
        }
        check(n == cr[kClassCd].nlib - 1 && gone, "cdrom: the removed unit is no longer enumerated",
              "%d units now, %d before", n, cr[kClassCd].nlib);
        const int32_t rs = L.rescan(usb_disk);
        printf("INFO ScsiReScan on the USB disk's handle returned %d\n", rs);
        n = lib_units(kClassCd, lu, kMaxUnits, &empty);
        const int back =
            n == cr[kClassCd].nlib && usb_cd_idx < n && strcmp(lu[usb_cd_idx].path, old_path) == 0;
        check(back, "cdrom: ScsiReScan of the USB host brings the unit back at the same index",
              "%d units, index %d is '%s'", n, usb_cd_idx,
              usb_cd_idx < n ? lu[usb_cd_idx].path : "");
        if (back) {
            const int32_t t2 = L.tur(lu[usb_cd_idx].handle);
            check(t2 == 1, "USB cdrom: a new handle after the rescan is ready", "returned %d", t2);
        }
        for (int i = 0; i < n; ++i) close(lu[i].handle);
    }

    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < cr[c].nlib; ++i) close(cr[c].lib[i].handle);
    }
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
