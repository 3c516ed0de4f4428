// Loading the recipe "Product.ini" from the station's home folder and showing
// its summary at start-up.
#pragma once

namespace galmor {

struct Station;

// Load results.
constexpr int kLoadRejected = 0;
constexpr int kLoadBadPartitionCount = 1;
constexpr int kLoadAccepted = 2;

// Reads <HomeDir>/Product.ini and the image files it names into st.settings;
// sets the "Compare Disk" and "Check Size (MB)" boxes. Shows its own messages.
int LoadProductSettings(Station& st);
// Start-up step: loads the recipe, shows its messages, fills the summary
// labels, builds the boot-sector template and the grid. Returns false when the
// recipe was rejected (the program must end).
bool ShowProductSettings(Station& st);

}  // namespace galmor
