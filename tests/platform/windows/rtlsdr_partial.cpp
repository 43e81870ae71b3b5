// A DLL that has some of librtlsdr's calls but not all: an old or foreign build.
#include <cstdint>

extern "C" __declspec(dllexport) uint32_t rtlsdr_get_device_count() { return 1; }
extern "C" __declspec(dllexport) const char* rtlsdr_get_device_name(uint32_t) { return "partial"; }
