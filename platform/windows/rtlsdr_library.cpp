#include "platform/windows/rtlsdr_dll.h"

#include <windows.h>

namespace {

// Looks up one export into a typed pointer; false (and the name in missing) if absent.
template <class Function>
bool find(HMODULE module, const char* name, Function& to, const char*& missing) {
  FARPROC found = GetProcAddress(module, name);
  if (!found) {
    missing = name;
    return false;
  }
  to = reinterpret_cast<Function>(reinterpret_cast<void*>(found));
  return true;
}

}  // namespace

bool rtlsdr_library_load(RtlsdrLibrary& lib, const std::vector<std::string>& names,
                         std::string& problem) {
  lib = RtlsdrLibrary{};
  HMODULE module = nullptr;
  std::string loaded;
  for (const std::string& name : names) {
    module = LoadLibraryA(name.c_str());
    if (module) {
      loaded = name;
      break;
    }
  }
  if (!module) {
    problem = "librtlsdr not found (";
    for (size_t k = 0; k < names.size(); ++k) problem += (k ? ", " : "") + names[k];
    problem += "): put rtlsdr.dll beside the program\n";
    return false;
  }
  RtlsdrLibrary found;
  const char* missing = nullptr;
  const bool complete =
      find(module, "rtlsdr_get_device_count", found.get_device_count, missing) &&
      find(module, "rtlsdr_get_device_name", found.get_device_name, missing) &&
      find(module, "rtlsdr_get_device_usb_strings", found.get_device_usb_strings, missing) &&
      find(module, "rtlsdr_open", found.open, missing) &&
      find(module, "rtlsdr_close", found.close, missing) &&
      find(module, "rtlsdr_set_tuner_gain_mode", found.set_tuner_gain_mode, missing) &&
      find(module, "rtlsdr_get_tuner_gains", found.get_tuner_gains, missing) &&
      find(module, "rtlsdr_set_tuner_gain", found.set_tuner_gain, missing) &&
      find(module, "rtlsdr_get_tuner_gain", found.get_tuner_gain, missing) &&
      find(module, "rtlsdr_set_agc_mode", found.set_agc_mode, missing) &&
      find(module, "rtlsdr_get_offset_tuning", found.get_offset_tuning, missing) &&
      find(module, "rtlsdr_set_center_freq", found.set_center_freq, missing) &&
      find(module, "rtlsdr_set_sample_rate", found.set_sample_rate, missing) &&
      find(module, "rtlsdr_set_freq_correction", found.set_freq_correction, missing) &&
      find(module, "rtlsdr_get_freq_correction", found.get_freq_correction, missing) &&
      find(module, "rtlsdr_reset_buffer", found.reset_buffer, missing) &&
      find(module, "rtlsdr_read_sync", found.read_sync, missing) &&
      find(module, "rtlsdr_get_tuner_type", found.get_tuner_type, missing);
  if (!complete) {
    FreeLibrary(module);
    problem = loaded + " has no " + missing + ": it is not a usable librtlsdr; put a current rtlsdr.dll beside the program\n";
    return false;
  }
  // Calls that only options make: an older DLL without them is still usable.
  const char* optional_missing = nullptr;
  find(module, "rtlsdr_set_bias_tee", found.set_bias_tee, optional_missing);
  find(module, "rtlsdr_set_direct_sampling", found.set_direct_sampling, optional_missing);
  find(module, "rtlsdr_set_offset_tuning", found.set_offset_tuning, optional_missing);
  find(module, "rtlsdr_get_index_by_serial", found.get_index_by_serial, optional_missing);
  // The library stays loaded for the life of the process.
  lib = found;
  return true;
}

bool rtlsdr_library_open(RtlsdrLibrary& lib, std::string& problem) {
  return rtlsdr_library_load(lib, rtlsdr_library_names, problem);
}
