#include "prodlog/serials.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace galmor::prodlog {

std::string ExhaustedMessage(const SerialRequest& req) {
    char ids[40];
    std::snprintf(ids, sizeof ids, "VID %04X, PID %04X", req.vid, req.pid);
    const std::string space = req.prefix.empty()
                                  ? std::string("The serial number space")
                                  : "The serial number space of prefix \"" + req.prefix + "\"";
    return space + " (" + ids + ") is nearly exhausted: " + std::to_string(req.bound) +
           " drawn serial numbers were all taken. Use a new prefix.";
}

SerialOutcome ReserveSerial(Store* store, const SerialRequest& req,
                            const std::function<std::string()>& draw) {
    SerialOutcome out;
    if (!store || req.fixed) {
        out.serial = draw();
        out.ok = true;
        return out;
    }
    int drawn = 0;
    // The first draw is usually free; batches grow only while draws collide.
    int size = 1;
    std::vector<std::string> batch;
    while (drawn < req.bound) {
        const int n = std::min(size, req.bound - drawn);
        size = std::min(size * 16, kSerialDrawBatch);
        batch.clear();
        for (int i = 0; i < n; ++i) batch.push_back(draw());
        drawn += n;
        int taken = -1;
        const LogResult s =
            store->ReserveFirstFree(req.vid, req.pid, batch, req.station, req.run_id, &taken);
        if (!s.ok) {
            out.message =
                "The serial number could not be reserved in the production log: " + s.message;
            return out;
        }
        if (taken >= 0) {
            out.ok = true;
            out.reserved = true;
            out.serial = batch[static_cast<size_t>(taken)];
            return out;
        }
    }
    out.message = ExhaustedMessage(req);
    return out;
}

}  // namespace galmor::prodlog
