// Output devices chosen by name: --device and --listen-device take a part of a device's
// name, in any letter case, as well as its id.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wave_device.h"

struct ReceiverOptions;

// `text` with ASCII and Cyrillic capitals made small, for matching names.
std::string fold_case(std::string_view text);

// The id (the index in `names`) that `wanted` chooses: the one name equal to it, letter
// case aside, and failing that the one name containing it. False, with the candidates
// and their ids in `error`, when no name or more than one does.
bool find_output_device(const std::vector<std::string>& names, std::string_view wanted,
                        int32_t& id, std::string& error);

// A device name as it is typed on a command line: in double quotes when it holds
// blanks or characters a shell takes for its own.
std::string typed_name(const std::string& name);

// Turns the names given to --device and --listen-device into ids among the back end's
// output devices. False, with the option and the reason in `error`, for a name that
// chooses no device or more than one.
bool choose_output_devices(WaveBackend& backend, ReceiverOptions& options, std::string& error);
