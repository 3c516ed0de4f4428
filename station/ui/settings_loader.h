// Start-up with the recipe: loading "Product.ini" into the station and
// showing its summary in the window.
#pragma once

#include "recipe/loader.h"

namespace galmor {

struct Station;

// Reads <HomeDir>/Product.ini and the image files it names into st.settings;
// sets the "Compare Disk" and "Check Size (MB)" boxes. Shows its own messages.
LoadResult LoadProductSettings(Station& st);
// Start-up step: loads the recipe, shows its messages, fills the summary
// labels, builds the boot-sector template and the grid. Returns false when the
// recipe was rejected (the program must end).
bool ShowProductSettings(Station& st);

}  // namespace galmor
