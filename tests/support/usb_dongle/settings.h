// What the environment asks of the emulated dongle, read once on first use.
#pragma once

#include <string>

#include "faults.h"

struct Settings {
  std::string record_path;         // RXIQ_USB_RECORD, "" for no record
  std::string serial = "00000001"; // RXIQ_USB_SERIAL
  double carrier_hz = 145735000;   // RXIQ_USB_CARRIER
  double crystal_ppm = 0;          // RXIQ_USB_PPM: how far the dongle's crystal is off
  Faults faults;                   // RXIQ_USB_FAULT
  std::string presence_path;       // RXIQ_USB_PRESENCE, "" for always plugged in
};

const Settings& settings();
