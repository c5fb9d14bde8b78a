// Introspection of the platform stand-in, for tests: how many GDI objects
// (bitmaps and device contexts) are alive. Not available on Windows.
#pragma once

#if !defined(_WIN32)
int ZentrafoldLiveGdiObjects();
#endif
