/* rk_gadget_bench: side-by-side figures of libsarnik and sg3_utils on one
 * unit of the throw-away QEMU guest (a gadget device; the unit is written).
 *
 *   rk_gadget_bench LIBRARY H:C:T:L /dev/sgN TURS WRITES ROUNDS [SECONDS]
 *
 * Measured: the library's TEST UNIT READY loop (fnFerrule_TestUnitReady)
 * against `sg_turs -t -n N`, and 64 KiB WRITE(10)s through fnFerrule_Write
 * against `sg_dd bs=512 bpt=128 time=1` of the same size at the same LBAs.
 * Each side is timed over its command loop only: the library's around the
 * calls, sg3_utils' by its own --time / time=1 figure.
 *
 * Under software emulation the guest's clock runs with the host's, so every
 * stall of the emulator on a busy host lands in whichever side is running.
 * Hence: an untimed warm-up of both sides first (code paths translated, the
 * LBAs written once, so neither side meets them first in a timed slice);
 * each round then splits both sides into SLICES slices in the order
 * A B B A A B B A (A, B swapped every round), and a side's figure for the
 * round is over all its slices. A round runs at least TURS commands and
 * WRITES writes a side, and more when the warm-up shows that they would take
 * less than SECONDS (default 0.5) a side: a window of a few commands shows
 * little but the guest's timer ticks.
 * Prints one RESULT line per round and one RATIO line per round;
 * exit 0 when every command and tool succeeded (the figures are not judged).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

typedef int32_t (*open_fn)(int32_t);
typedef int32_t (*tur_fn)(int32_t);
typedef int32_t (*rw_fn)(int32_t, int32_t, int32_t, void*);

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* Runs a shell command and returns the first number after `key` in its output. */
static double tool_figure(const char* cmd, const char* key, int* ok) {
    FILE* p = popen(cmd, "r");
    double v = -1;
    char line[512];
    if (!p) {
        *ok = 0;
        return -1;
    }
    while (fgets(line, sizeof line, p)) {
        fputs(line, stdout);
        const char* at = strstr(line, key);
        if (at && v < 0) v = strtod(at + strlen(key), NULL);
    }
    if (pclose(p) != 0 || v <= 0) *ok = 0;
    return v;
}

enum { SLICES = 4, CHUNKS = 256 };
static const int lba0 = 2048;
static uint8_t buf[65536];
static tur_fn tur;
static rw_fn wr;
static int handle;
static const char* sg;
static int ok = 1;

/* Seconds for n library TURs. */
static double lib_turs(int n) {
    const double t = now_s();
    for (int i = 0; i < n; ++i)
        if (tur(handle) != 1) ok = 0;
    return now_s() - t;
}
/* sg_turs' own figure for n TURs. */
static double tool_turs(int n) {
    char cmd[512];
    /* "time to perform commands was <secs> secs; <n> operations/sec" */
    snprintf(cmd, sizeof cmd, "sg_turs -t -n %d %s 2>&1", n, sg);
    return tool_figure(cmd, " was ", &ok);
}
/* Seconds for n library writes of chunks first, first + 1, ... */
static double lib_writes(int first, int n) {
    const double t = now_s();
    for (int i = 0; i < n; ++i)
        if (wr(handle, 128, lba0 + 128 * ((first + i) % CHUNKS), buf) != 1) ok = 0;
    return now_s() - t;
}
/* sg_dd's own figure for the same chunks (in one piece: they must not wrap). */
static double tool_writes(int first, int n) {
    char cmd[512];
    first %= CHUNKS;
    if (first + n > CHUNKS) first = 0;
    /* "time to transfer data: <secs> secs at <rate> MB/sec" */
    snprintf(cmd, sizeof cmd,
             "sg_dd if=/dev/zero of=%s bs=512 bpt=128 count=%d seek=%d time=1 2>&1", sg, n * 128,
             lba0 + 128 * first);
    return tool_figure(cmd, "transfer data: ", &ok);
}
static int at_least(int n, double seconds, double per_command) {
    const int want = per_command > 0 ? (int)(seconds / per_command) + 1 : n;
    return want > n ? want : n;
}

int main(int argc, char** argv) {
    if (argc != 7 && argc != 8) {
        fprintf(stderr, "usage: %s LIBRARY H:C:T:L /dev/sgN TURS WRITES ROUNDS [SECONDS]\n",
                argv[0]);
        return 2;
    }
    const char* lib = argv[1];
    sg = argv[3];
    const int turs = atoi(argv[4]), writes = atoi(argv[5]), rounds = atoi(argv[6]);
    const double seconds = argc == 8 ? atof(argv[7]) : 0.5;
    char address[64];
    snprintf(address, sizeof address, "#%s#", argv[2]);
    for (char* c = address; *c; ++c)
        if (*c == ':') *c = '&';

    void* h = dlopen(lib, RTLD_NOW);
    if (!h) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    open_fn disk = (open_fn)dlsym(h, "fnFerrule_GetDiskHandle");
    tur = (tur_fn)dlsym(h, "fnFerrule_TestUnitReady");
    wr = (rw_fn)dlsym(h, "fnFerrule_Write");
    if (!disk || !tur || !wr) {
        fprintf(stderr, "missing library functions\n");
        return 1;
    }
    /* The unit's handle: the enumeration index whose logged path has its address. */
    const char* root = getenv("SARNIK_ROOT");
    char log[600];
    snprintf(log, sizeof log, "%s/tessary.txt", root ? root : ".");
    for (int i = 0; i < 32 && !handle; ++i) {
        const int32_t x = disk(i);
        if (x <= 0) continue;
        char path[600] = "";
        FILE* f = fopen(log, "r");
        if (f) {
            if (!fgets(path, sizeof path, f)) path[0] = 0;
            fclose(f);
        }
        if (strstr(path, address))
            handle = x;
        else
            close(x);
    }
    if (!handle) {
        fprintf(stderr, "no library handle for %s\n", argv[2]);
        return 1;
    }
    for (size_t i = 0; i < sizeof buf; ++i) buf[i] = (uint8_t)(i * 31 + 7);

    /* Warm-up, untimed for the figures: both sides, every LBA of the bench once. */
    const int warm = turs / SLICES > 0 ? turs / SLICES : 1;
    const double tur_each = (lib_turs(warm) + tool_turs(warm)) / (2.0 * warm);
    const int wwarm = writes / SLICES > 0 ? writes / SLICES : 1;
    const double write_each = (lib_writes(0, wwarm) + tool_writes(0, wwarm)) / (2.0 * wwarm);
    int tur_n = at_least(turs, seconds, tur_each), write_n = at_least(writes, seconds, write_each);
    tur_n = (tur_n + SLICES - 1) / SLICES;
    write_n = (write_n + SLICES - 1) / SLICES;
    if (write_n > CHUNKS / SLICES) write_n = CHUNKS / SLICES;
    lib_writes(0, write_n * SLICES);
    tool_writes(0, write_n * SLICES);
    printf(
        "BENCH warm-up: TUR %.3f ms, 64 KiB write %.3f ms a command; per round and side "
        "%d slices of %d TURs and %d writes\n",
        tur_each * 1000.0, write_each * 1000.0, SLICES, tur_n, write_n);

    const double mib = (double)write_n * SLICES * 65536.0 / 1048576.0;
    for (int r = 1; r <= rounds; ++r) {
        double lt = 0, st = 0, lw = 0, sw = 0;
        for (int s = 0; s < SLICES; ++s) {
            const int first = s * write_n;
            if ((r + s) % 2 == 1) {
                lt += lib_turs(tur_n);
                st += tool_turs(tur_n);
                lw += lib_writes(first, write_n);
                sw += tool_writes(first, write_n);
            } else {
                st += tool_turs(tur_n);
                lt += lib_turs(tur_n);
                sw += tool_writes(first, write_n);
                lw += lib_writes(first, write_n);
            }
        }
        const double lib_tur_ms = lt * 1000.0 / (tur_n * SLICES);
        const double sg_tur_ms = st > 0 ? st * 1000.0 / (tur_n * SLICES) : -1;
        const double lib_mibs = mib / lw, sg_mibs = sw > 0 ? mib / sw : -1;
        printf(
            "RESULT round=%d library_tur_ms=%.4f sg_turs_ms=%.4f library_write_MiBps=%.2f "
            "sg_dd_MiBps=%.2f\n",
            r, lib_tur_ms, sg_tur_ms, lib_mibs, sg_mibs);
        printf("RATIO round=%d latency=%.3f throughput=%.3f\n", r,
               sg_tur_ms > 0 ? lib_tur_ms / sg_tur_ms : -1, sg_mibs > 0 ? lib_mibs / sg_mibs : -1);
    }
    close(handle);
    printf("BENCH %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
