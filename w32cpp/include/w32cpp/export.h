// Export and visibility macros shared by every library built on w32cpp.
#ifndef W32CPP_EXPORT_H
#define W32CPP_EXPORT_H

// Marks a library's factory entry `<name>_get_instance`: a C name, exported from the DLL or shared object.
#if defined(_WIN32)
#define W32CPP_FACTORY_EXPORT extern "C" __declspec(dllexport)
#else
#define W32CPP_FACTORY_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Types that are thrown across library boundaries keep default visibility, so that a catch in one library
// matches what another library threw although every library keeps its own hidden copy of w32cpp.
#if defined(_WIN32)
#define W32CPP_VISIBLE
#else
#define W32CPP_VISIBLE __attribute__((visibility("default")))
#endif

#endif
