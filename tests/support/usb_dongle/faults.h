// The failures RXIQ_USB_FAULT asks for: comma-separated entries such as
// "busy", "read-error=3" or "unplug=2,replug=1".
#pragma once

#include <string>
#include <string_view>

struct Faults {
  bool no_device = false;     // nothing on the bus
  bool busy = false;          // another program has claimed the interface
  bool access = false;        // no permission to open the device
  bool kernel_driver = false; // the DVB driver is bound until detached
  long read_error = 0;        // this bulk read (counted from 1) fails once; 0 for none
  double unplug_s = -1;       // seconds after the first open that the device goes; < 0 never
  double replug_s = -1;       // seconds after that unplug that it comes back; < 0 never
  std::string problem;        // what could not be understood, for a message
};

Faults parse_faults(std::string_view text);
