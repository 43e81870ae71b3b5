// Recordings in the SigMF format as the tests read them back: a temporary folder, the
// recordings in it, and the metadata parsed by Python's JSON reader.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

// A fresh folder under the temporary directory, removed with everything in it.
struct TemporaryFolder {
  std::string path;
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rxiq-record-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

// The recordings in folder, as paths without the extension, sorted.
inline std::vector<std::string> recordings_in(const std::string& folder) {
  std::vector<std::string> bases;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string p = entry.path().string();
    if (p.ends_with(".sigmf-data")) bases.push_back(p.substr(0, p.size() - 11));
  }
  std::sort(bases.begin(), bases.end());
  return bases;
}

// The metadata read by Python's json module, the fields the SigMF format requires one a
// line: datatype, sample rate, version, recorder; then "start frequency" for each capture
// segment; then whether the first has a datetime and how many annotations there are.
// Empty when it does not parse or a field is missing.
inline std::string sigmf_fields(const std::string& base) {
  return run_output(
      "python3 -c 'import json,sys\n"
      "m = json.load(open(sys.argv[1]))\n"
      "g = m[\"global\"]\n"
      "print(g[\"core:datatype\"], g[\"core:sample_rate\"], g[\"core:version\"], g[\"core:recorder\"], sep=\"\\n\")\n"
      "assert g[\"core:description\"]\n"
      "for c in m[\"captures\"]: print(c[\"core:sample_start\"], c[\"core:frequency\"])\n"
      "print(\"datetime\" if \"core:datetime\" in m[\"captures\"][0] else \"no datetime\", len(m[\"annotations\"]))\n"
      "' '" + base + ".sigmf-meta' 2>/dev/null");
}
