#include "core/station.h"

#include <thread>

namespace galmor {

static double SystemTimeOfDay() {
    using namespace std::chrono;
    auto now = system_clock::now();
    time_t t = system_clock::to_time_t(now);
    tm local{};
    localtime_r(&t, &local);
    double frac = duration<double>(now.time_since_epoch()).count();
    frac -= static_cast<double>(static_cast<int64_t>(frac));
    return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + frac;
}

Station::Station() : TimeOfDay(SystemTimeOfDay), WindowThread(std::this_thread::get_id()) {}

void WaitSeconds(Station& st, float seconds) {
    const double start = st.TimeOfDay();
    for (;;) {
        CheckStop();
        double now = st.TimeOfDay();
        if (now < start) now += 86400.0;  // the day rolled over
        if (now - start > static_cast<double>(seconds)) return;
        if (st.ProcessEvents && std::this_thread::get_id() == st.WindowThread) st.ProcessEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace galmor
