/* rk_gadget_bench: side-by-side figures of libsarnik and sg3_utils on one
 * unit of the throw-away QEMU guest (a gadget device; the unit is written).
 *
 *   rk_gadget_bench LIBRARY H:C:T:L /dev/sgN TURS WRITES ROUNDS
 *
 * Per round, alternately: the library's TEST UNIT READY loop (TURS calls of
 * fnFerrule_TestUnitReady) and `sg_turs -t -n TURS`; WRITES 64 KiB WRITE(10)s
 * through fnFerrule_Write and `sg_dd bs=512 bpt=128 time=1` of the same size
 * at the same place. Each side is timed over its command loop only: the
 * library's around the calls, sg3_utils' by its own --time / time=1 figure.
 * Prints one RESULT line per measurement and one RATIO line per round;
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

int main(int argc, char** argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: %s LIBRARY H:C:T:L /dev/sgN TURS WRITES ROUNDS\n", argv[0]);
        return 2;
    }
    const char* lib = argv[1];
    const char* sg = argv[3];
    const int turs = atoi(argv[4]), writes = atoi(argv[5]), rounds = atoi(argv[6]);
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
    tur_fn tur = (tur_fn)dlsym(h, "fnFerrule_TestUnitReady");
    rw_fn wr = (rw_fn)dlsym(h, "fnFerrule_Write");
    if (!disk || !tur || !wr) {
        fprintf(stderr, "missing library functions\n");
        return 1;
    }
    /* The unit's handle: the enumeration index whose logged path has its address. */
    const char* root = getenv("SARNIK_ROOT");
    char log[600];
    snprintf(log, sizeof log, "%s/tessary.txt", root ? root : ".");
    int handle = 0;
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

    static uint8_t buf[65536];
    for (size_t i = 0; i < sizeof buf; ++i) buf[i] = (uint8_t)(i * 31 + 7);
    const int lba0 = 2048;
    const double mib = (double)writes * 65536.0 / 1048576.0;
    int ok = 1;
    char cmd[512];
    for (int r = 1; r <= rounds; ++r) {
        double t = now_s();
        for (int i = 0; i < turs; ++i)
            if (tur(handle) != 1) ok = 0;
        const double lib_tur_ms = (now_s() - t) * 1000.0 / turs;
        /* "time to perform commands was <secs> secs; <n> operations/sec" */
        snprintf(cmd, sizeof cmd, "sg_turs -t -n %d %s 2>&1", turs, sg);
        const double tur_secs = tool_figure(cmd, " was ", &ok);
        const double sg_tur_ms = tur_secs > 0 ? tur_secs * 1000.0 / turs : -1;

        t = now_s();
        for (int i = 0; i < writes; ++i)
            if (wr(handle, 128, lba0 + 128 * (i % 256), buf) != 1) ok = 0;
        const double lib_mibs = mib / (now_s() - t);
        /* "time to transfer data: <secs> secs at <rate> MB/sec" */
        snprintf(cmd, sizeof cmd, "sg_dd if=/dev/zero of=%s bs=512 bpt=128 count=%d seek=%d time=1 2>&1",
                 sg, writes * 128, lba0);
        const double secs = tool_figure(cmd, "transfer data: ", &ok);
        const double sg_mibs = secs > 0 ? mib / secs : -1;

        printf("RESULT round=%d library_tur_ms=%.4f sg_turs_ms=%.4f library_write_MiBps=%.2f sg_dd_MiBps=%.2f\n",
               r, lib_tur_ms, sg_tur_ms, lib_mibs, sg_mibs);
        printf("RATIO round=%d latency=%.3f throughput=%.3f\n", r,
               sg_tur_ms > 0 ? lib_tur_ms / sg_tur_ms : -1, sg_mibs > 0 ? lib_mibs / sg_mibs : -1);
    }
    close(handle);
    printf("BENCH %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
