// The result grid: building its rows.
#include "ui/grid.h"

#include "ui/controls.h"
#include "ui/station.h"

namespace galmor {

void BuildPortIndicators(Station& st, int count) {
    for (int k = 1; k <= count; ++k) {
        st.model.CreateRow(k);
        st.model.SetCaption(ctl::kItemLab, k, "Disk " + std::to_string(k));
    }
}

}  // namespace galmor
