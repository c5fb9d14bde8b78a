// Used by the platform stand-in's USER layer and the platform tests only.
#pragma once

namespace zentrafold::platform {

// Before the first window: open windows on a TrueColor visual of this depth
// (for example 32, the ARGB visual servers offer beside a depth-24 default)
// instead of the screen's default visual. 0 restores the default.
void PreferVisualDepthForTests(int depth);
// The depth of the visual windows are made on; 0 before the first window.
int ActiveVisualDepthForTests();

}  // namespace zentrafold::platform
