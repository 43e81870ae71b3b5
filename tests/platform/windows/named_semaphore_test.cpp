#include "platform/named_semaphore.h"

#include <gtest/gtest.h>
#include <string>
#include <windows.h>

namespace {

// The peer program, built beside this test.
std::string peer_path() {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path = self;
  return path.substr(0, path.find_last_of("\\/") + 1) + "semaphore_peer.exe";
}

// Runs the peer process on the semaphore's Windows name; its exit code.
DWORD run_peer(const std::string& object_name) {
  // Appended piece by piece: GCC 12 at -O3 warns wrongly about a chain of + here.
  std::string command = peer_path();
  command.insert(command.begin(), '"');
  command.append("\" ").append(object_name);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return 100;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 100;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return code;
}

}  // namespace

TEST(NamedSemaphoreWindows, TwoProcessesShareTheCountAndADeadHoldersCountIsRepaired) {
  const std::string object = "Sem_rxiq_test_" + std::to_string(GetCurrentProcessId()) + "_potok";
  const std::string name = "/" + object;  // written the POSIX way, as the audio channels do
  NamedSemaphore* s = named_semaphore_open(name.c_str(), 1);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(named_semaphore_value(s), 1);

  // While this process holds the count, the other cannot take it.
  ASSERT_EQ(named_semaphore_wait(s, 0), 1);
  EXPECT_EQ(run_peer(object), 1u);
  named_semaphore_release(s);

  // The other takes it and ends without giving it back.
  EXPECT_EQ(run_peer(object), 0u);
  EXPECT_EQ(named_semaphore_value(s), 0);
  EXPECT_EQ(named_semaphore_wait(s, 20), 0);
  EXPECT_EQ(named_semaphore_repair(s), 1);
  EXPECT_EQ(named_semaphore_repair(s), 0) << "a free count is not given twice";
  EXPECT_EQ(named_semaphore_wait(s, 0), 1);
  named_semaphore_release(s);
  named_semaphore_close(s);

  // Nobody holds it any more, so it is gone; the next open starts afresh.
  EXPECT_EQ(run_peer(object), 2u);
}
