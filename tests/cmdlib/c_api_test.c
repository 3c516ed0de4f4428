/* The library through its C interface, as a C program loads it: dlopen,
 * exports resolved by name, run on a simulated bus made with the simbus tool.
 * Prints one line per failed check; exit status 0 when all checks hold. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

typedef int32_t (*fn_open)(int32_t);
typedef int32_t (*fn_h)(int32_t);
typedef int32_t (*fn_hb)(int32_t, void*);
typedef int32_t (*fn_rw)(int32_t, int32_t, int32_t, void*);
typedef int32_t (*fn_vr)(int32_t, int32_t, void*);
typedef int32_t (*fn_vw)(int32_t, int32_t, int32_t, void*);
typedef int32_t (*fn_vendor)(int32_t, int32_t, int32_t, int32_t, int32_t);
typedef int32_t (*fn_scan)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                           void*);
typedef int32_t (*fn_1mw)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                          int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, void*);
typedef int32_t (*fn_1mr)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                          int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t);
typedef int32_t (*fn_vwrite)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                             int32_t, int32_t, int32_t, void*);
typedef int32_t (*fn_void)(void);

static int failures = 0;
static char tmp[] = "/tmp/cmdlib-c-XXXXXX";
static char bus[256], root[256], log_path[300], dump_path[300];

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

/* Output of a shell command (malloc'ed, NUL-terminated). */
static char* run(const char* fmt, ...) {
    char cmd[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(cmd, sizeof cmd, fmt, ap);
    va_end(ap);
    FILE* p = popen(cmd, "r");
    size_t cap = 4096, len = 0;
    char* out = malloc(cap);
    if (!p || !out) {
        fprintf(stderr, "cannot run %s\n", cmd);
        exit(2);
    }
    size_t n;
    while ((n = fread(out + len, 1, cap - len - 1, p)) > 0) {
        len += n;
        if (cap - len < 2) {
            cap *= 2;
            out = realloc(out, cap);
            if (!out) exit(2);
        }
    }
    out[len] = '\0';
    if (pclose(p) != 0) {
        fprintf(stderr, "command failed: %s\n", cmd);
        ++failures;
    }
    return out;
}

static char* plug(const char* options) {
    char* id = run("'%s/simbus' --bus '%s' plug %s", UFD_BIN_DIR, bus, options);
    id[strcspn(id, "\r\n")] = '\0';
    return id;
}

static char* trace(const char* id) {
    return run("'%s/simbus' --bus '%s' trace %s", UFD_BIN_DIR, bus, id);
}

/* True when some line of the text starts with the prefix (any case). */
static int has_line(const char* text, const char* prefix) {
    for (const char* line = text; line && *line;) {
        if (strncasecmp(line, prefix, strlen(prefix)) == 0) return 1;
        line = strchr(line, '\n');
        if (line) ++line;
    }
    return 0;
}

static int count_lines(const char* text) {
    int n = 0;
    for (; *text; ++text) n += *text == '\n';
    return n;
}

/* The whole file (malloc'ed) and its length; NULL when missing. */
static char* slurp(const char* path, long* len) {
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    *len = ftell(f);
    fseek(f, 0, SEEK_SET);
    char* b = malloc((size_t)*len + 1);
    if (!b || fread(b, 1, (size_t)*len, f) != (size_t)*len) exit(2);
    b[*len] = '\0';
    fclose(f);
    return b;
}

static int file_equals(const char* path, const void* bytes, long n) {
    long len = -1;
    char* b = slurp(path, &len);
    int same = b && len == n && memcmp(b, bytes, (size_t)n) == 0;
    free(b);
    return same;
}

static void* sym(void* lib, const char* name) {
    void* f = dlsym(lib, name);
    if (!f) {
        fprintf(stderr, "missing export %s\n", name);
        ++failures;
    }
    return f;
}

static uint32_t be32(const unsigned char* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

int main(void) {
    if (!mkdtemp(tmp)) return 2;
    snprintf(bus, sizeof bus, "%s/bus", tmp);
    snprintf(root, sizeof root, "%s/root", tmp);
    snprintf(log_path, sizeof log_path, "%s/tessary.txt", root);
    snprintf(dump_path, sizeof dump_path, "%s/tessary.bin", root);
    mkdir(bus, 0700);
    setenv("SARNIK_SIM_BUS", bus, 1);
    setenv("SARNIK_ROOT", root, 1);

    char* d1 = plug("--plain");
    char* d2 = plug("--plain --sectors 4096");

    void* lib = dlopen(UFD_BIN_DIR "/libsarnik.so", RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    fn_open GetDiskHandle = (fn_open)sym(lib, "fnFerrule_GetDiskHandle");
    fn_open GetCDHandle = (fn_open)sym(lib, "fnFerrule_GetCDHandle");
    fn_h TestUnitReady = (fn_h)sym(lib, "fnFerrule_TestUnitReady");
    fn_rw Read = (fn_rw)sym(lib, "fnFerrule_Read");
    fn_rw ReadS = (fn_rw)sym(lib, "fnFerrule_ReadS");
    fn_rw Write = (fn_rw)sym(lib, "fnFerrule_Write");
    fn_hb Read25Capacity = (fn_hb)sym(lib, "fnFerrule_Read25Capacity");
    fn_h ModeSense = (fn_h)sym(lib, "fnFerrule_ModeSense");
    fn_h Inquiry = (fn_h)sym(lib, "fnFerrule_Inquiry");
    fn_h ScsiReScan = (fn_h)sym(lib, "fnFerrule_ScsiReScan");
    fn_vr VendorR = (fn_vr)sym(lib, "fnFerrule_VendorR");
    fn_vw VendorW = (fn_vw)sym(lib, "fnFerrule_VendorW");
    fn_vendor Vendor = (fn_vendor)sym(lib, "fnFerrule_Vendor");
    fn_scan VendorScan = (fn_scan)sym(lib, "fnFerrule_VendorScan");
    fn_1mw Write1m = (fn_1mw)sym(lib, "fnFerrule_1mWrite");
    fn_1mr Read1m = (fn_1mr)sym(lib, "fnFerrule_1mRead");
    fn_vwrite VendorWrite = (fn_vwrite)sym(lib, "fnFerrule_VendorWrite");
    fn_vwrite VendorRead = (fn_vwrite)sym(lib, "fnFerrule_VendorRead");
    fn_hb ReadCapacity = (fn_hb)sym(lib, "fnFerrule_ReadCapacity");
    fn_void SetConfiguration = (fn_void)sym(lib, "fnFerrule_SetConfiguration");
    void* Eject = sym(lib, "fnFerrule_Eject");
    if (failures || !Eject) return 1;

    /* Opening: the log holds the path of the last open only. */
    long len = 0;
    int32_t h0 = GetDiskHandle(0);
    CHECK(h0 > 0);
    char* log0 = slurp(log_path, &len);
    CHECK(log0 && strstr(log0, "#d001&0#") && count_lines(log0) == 1);
    int32_t h1 = GetDiskHandle(1);
    CHECK(h1 > 0 && h1 != h0);
    char* log1 = slurp(log_path, &len);
    CHECK(log1 && strstr(log1, "#d002&0#") && count_lines(log1) == 1 && !strstr(log1, "d001"));
    CHECK(log1 && strncmp(log1, "\\\\?\\usbstor#disk&", 17) == 0);
    CHECK(GetDiskHandle(2) == 0);
    CHECK(file_equals(log_path, "", 0));
    CHECK(GetCDHandle(0) == 0);
    CHECK(file_equals(log_path, "", 0));
    CHECK(SetConfiguration() == 0);

    /* Capacity, and sectors written then read back. */
    unsigned char cap[8] = {0};
    CHECK(Read25Capacity(h1, cap) == 8);
    CHECK(be32(cap) == 4095 && be32(cap + 4) == 512);
    CHECK(Read25Capacity(h0, cap) == 8 && be32(cap) == 131071);
    unsigned char out[3 * 512], in[3 * 512];
    for (int i = 0; i < (int)sizeof out; ++i) out[i] = (unsigned char)(i * 13 + 1);
    CHECK(Write(h0, 3, 0x12345, out) == 1);
    memset(in, 0, sizeof in);
    CHECK(Read(h0, 3, 0x12345, in) == 1 && memcmp(in, out, sizeof in) == 0);
    memset(in, 0, sizeof in);
    CHECK(ReadS(h0, 1, 0, in) == 1);
    CHECK(TestUnitReady(h0) == 1);
    CHECK(ScsiReScan(h0) == 0);
    CHECK(Inquiry(h0) == 8); /* blank medium: a layout without partitions */
    char* t1 = trace(d1);
    CHECK(has_line(t1, "28 00 00 00 00 00 00 00 01 00 | in | 512 | good"));
    CHECK(has_line(t1, "28 00 00 01 23 45 00 00 03 00 | in | 1536 | good"));
    CHECK(has_line(t1, "2a 00 00 01 23 45 00 00 03 00 | out | 1536 | good"));

    /* CHECK CONDITION gives 0 although the device answered. */
    unsigned char sector[512];
    CHECK(VendorR(h0, 0x9A, sector) == 0);
    CHECK(VendorScan(h0, 0x9C, 0x09, 0, 0, 0x04, 0, 512, sector) == 0);
    free(t1);
    t1 = trace(d1);
    CHECK(has_line(t1, "9a 00 00 00 00 00 00 00 00 00 | in | 512 | check"));
    CHECK(has_line(t1, "9c 09 00 00 04 00 00 00 00 00 | in | 512 | check"));
    char* d3 = plug("--plain --no-medium");
    int32_t h3 = GetDiskHandle(2);
    CHECK(h3 > 0);
    CHECK(TestUnitReady(h3) == 0);
    char* t3 = trace(d3);
    CHECK(has_line(t3, "00 00 00 00 00 00 00 00 00 00 | none | 0 | check"));

    /* Dumps: after success only; ModeSense always, the whole block. */
    CHECK(Read1m(h0, 0x28, 0, 0x00, 0x01, 0x23, 0x46, 0, 0, 0x01, 0, 0, 0, 0, 77, 88) == 1);
    CHECK(file_equals(dump_path, out + 512, 512));
    CHECK(VendorWrite(h0, 0xF7, 0, 0, 0, 0, 0, 0, 0, 0, 128, out) == 0); /* plain disk refuses */
    CHECK(Vendor(h0, 0xC1, 0, 0, 512) == 0);
    CHECK(Write1m(h0, 0xC2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, out) == 0);
    CHECK(Read1m(h0, 0xC3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0) == 0);
    CHECK(file_equals(dump_path, out + 512, 512));
    CHECK(Write1m(h0, 0x2A, 0, 0, 0, 0, 0x07, 0, 0, 0x01, 0, 0, 0, 0, out) == 1);
    CHECK(file_equals(dump_path, out, 512));
    CHECK(ModeSense(h0) == 0);
    char* block = slurp(dump_path, &len);
    static const unsigned char ms_cdb[6] = {0x1A, 0x00, 0x1C, 0x00, 0xC0, 0x00};
    CHECK(block && len == 272 && block[2] == 0 && memcmp(block + 28, ms_cdb, 6) == 0);
    CHECK(block && (unsigned char)block[80 + 4] == 0x1C); /* the page came back in the block */
    free(block);

    char* d4 = plug("--plain --fail 1A");
    int32_t h4 = GetDiskHandle(3);
    CHECK(h4 > 0);
    CHECK(Write1m(h4, 0x2A, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, out) == 1);
    CHECK(ModeSense(h4) == 0);
    block = slurp(dump_path, &len);
    CHECK(block && len == 272 && block[2] == 0x02 && memcmp(block + 28, ms_cdb, 6) == 0);
    free(block);

    /* Vendor templates on a controller of the family. */
    char* d5 = plug("");
    int32_t hc = GetDiskHandle(4);
    char* logc = slurp(log_path, &len);
    CHECK(hc > 0 && logc && strstr(logc, d5));
    free(logc);
    CHECK(VendorScan(hc, 0x9C, 0x09, 0, 0, 0x04, 0, 512, sector) == 1);
    /* Commit a layout with a reserved area of 256 sectors, open the area. */
    unsigned char layout[512] = {0}, commit[512] = {0x84};
    layout[6] = 0x00;
    layout[7] = 0x01;
    CHECK(VendorW(hc, 0x99, 512, layout) == 1);
    CHECK(VendorW(hc, 0xF5, 512, commit) == 1);
    CHECK(VendorR(hc, 0x9A, sector) == 1);
    unsigned char* big = malloc(65536);
    if (!big) return 2;
    for (int i = 0; i < 65536; ++i) big[i] = (unsigned char)(i * 31 + 7);
    /* The template itself adds no count: this CDB is F7 and 15 zeros. Whether
     * the controller takes it is its own business; the dump follows the result. */
    long before_len = 0;
    char* before = slurp(dump_path, &before_len);
    int32_t r = VendorWrite(hc, 0xF7, 0, 0, 0, 0, 0, 0, 0, 0, 128, big);
    CHECK(before != NULL);
    CHECK(r == 1 ? file_equals(dump_path, big, 65536) : file_equals(dump_path, before, before_len));
    free(before);
    CHECK(VendorWrite(hc, 0x1F7, 0x100, 0, 0, 0, 0, 0, 0, 0x180, 128, big) == 1);
    CHECK(file_equals(dump_path, big, 65536));
    memset(sector, 0, sizeof sector);
    CHECK(ReadCapacity(hc, sector) == 512);
    CHECK(VendorRead(hc, 0xC4, 0, 0, 0, 0, 0, 0, 0, 0, 1, sector) == 0);
    char* tc = trace(d5);
    CHECK(has_line(tc, "9c 09 00 00 04 00 00 00 00 00 | in | 512 | good"));
    CHECK(has_line(tc, "9a 00 00 00 00 00 00 00 00 00 | in | 512 | good"));
    CHECK(has_line(tc, "f7 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 | out | 65536 |"));
    CHECK(has_line(tc, "f7 00 00 00 00 00 00 00 80 00 00 00 00 00 00 00 | out | 65536 | good"));
    CHECK(has_line(tc, "c4 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 | in | 512 | check"));

    typedef int32_t (*fn_eject)(int32_t, int32_t, int32_t);
    CHECK(((fn_eject)Eject)(h1, 0x11B, 0x102) == 1);
    CHECK(TestUnitReady(h1) == 0); /* the medium is out now */
    char* t2 = trace(d2);
    CHECK(has_line(t2, "1b 00 00 00 02 00 00 00 00 00 | none | 0 | good"));
    free(t2);

    close(h0);
    close(h1);
    close(h3);
    close(h4);
    close(hc);
    /* A handle the caller closed is a transport failure, not a crash. */
    CHECK(TestUnitReady(h0) == 0);

    free(big);
    free(tc);
    free(t1);
    free(t3);
    free(log0);
    free(log1);
    free(d1);
    free(d2);
    free(d3);
    free(d4);
    free(d5);
    dlclose(lib);
    char cmd[400];
    snprintf(cmd, sizeof cmd, "rm -rf '%s'", tmp);
    if (system(cmd) != 0) ++failures;
    if (failures) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("all checks passed\n");
    return 0;
}
