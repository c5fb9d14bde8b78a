// Introspection of the platform stand-in, for tests: how many GDI objects
// the program made and has not freed (bitmap sections and memory DCs; a
// window's own DC belongs to the window and is not counted). Not available
// on Windows.
#pragma once

#if !defined(_WIN32)
int ZentrafoldLiveGdiObjects();
#endif
