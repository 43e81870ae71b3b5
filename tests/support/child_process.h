// Running commands and the built programs from a test, and the files they read and write.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Runs command under bash (pipes, redirections, pipefail allowed); returns its exit
// status, or -1 when it did not exit normally.
inline int run_status(const std::string& command) {
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/bash", "bash", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs command under the shell and returns what it wrote on standard output.
inline std::string run_output(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

inline std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The program's path on PATH (a name with a slash is a path already), or "" if there is
// none.
inline std::string find_program(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t at = 0;
  while (at <= dirs.size()) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(at, end - at) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return "";
}

// Starts a program with its output in `log`; returns its pid or -1. The child is
// ended with this process even if the test dies without its clean-up.
// With `env`, the child gets exactly that environment instead of this process's.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& log,
                   const std::vector<std::string>* env = nullptr) {
  std::string program = find_program(args[0]);
  if (program.empty()) return -1;
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (env) {
    for (const auto& e : *env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
  }
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
  // In the child only async-signal-safe calls until exec.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
  int in = open("/dev/null", O_RDONLY);
  int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (in < 0 || out < 0) _exit(127);
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  dup2(out, STDERR_FILENO);
  if (env) {
    execve(program.c_str(), argv.data(), envp.data());
  } else {
    execv(program.c_str(), argv.data());
  }
  _exit(127);
}

inline int run(const std::vector<std::string>& args, const std::string& log) {
  pid_t pid = spawn(args, log);
  if (pid < 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Ends a child: SIGTERM, then SIGKILL if it has not gone within a few seconds (looked
// at every 50 ms).
inline void stop_child(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  pid = -1;
}

// Asks done() every 20 ms until it answers true (true) or the limit passes (false): for
// what another process does, which cannot be awaited otherwise.
template <class Done>
bool poll_until(Done done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A file's whole text ("" when it cannot be read).
inline std::string read_file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whether something on this machine listens on TCP port `port` (IPv4), from the kernel's
// table: a server can be waited for without connecting to it.
inline bool tcp_port_listening(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(table, line)) {
    // "  sl  local_address rem_address   st ..."; state 0A is LISTEN.
    const size_t local = line.find(wanted);
    if (local != std::string::npos && local < 20 && line.find(" 0A ") != std::string::npos) return true;
  }
  return false;
}

