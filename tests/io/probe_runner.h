#pragma once
// Runs tests/probe/load_probe in a freshly spawned process and reads the
// one line of figures it prints.
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>

namespace pixoran::testing {

struct TProbeRun {
  bool Exited = false;  // ended by returning from main
  int Status = -1;      // exit status, or the signal that ended it
  std::map<std::string, long> Values;
  std::string Output;
  long Value(const std::string& key) const {
    auto it = Values.find(key);
    return it == Values.end() ? -1 : it->second;
  }
};

// args are passed to the probe through the shell, so each is quoted.
inline TProbeRun RunLoadProbe(const std::string& args) {
  TProbeRun run;
  const std::string command = std::string("'") + PIXORAN_LOAD_PROBE + "' " + args + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  if (!p) return run;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) run.Output += buf;
  const int status = pclose(p);
  run.Exited = WIFEXITED(status);
  run.Status = run.Exited ? WEXITSTATUS(status) : (WIFSIGNALED(status) ? WTERMSIG(status) : -1);
  // The shell reports a signal that ended its child as 128 + the signal.
  if (run.Exited && run.Status > 128) run.Exited = false, run.Status -= 128;
  std::istringstream in(run.Output.substr(run.Output.rfind('\n', run.Output.size() - 2) + 1));
  std::string field;
  while (in >> field) {
    const size_t eq = field.find('=');
    if (eq != std::string::npos) run.Values[field.substr(0, eq)] = std::atol(field.c_str() + eq + 1);
  }
  return run;
}

inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace pixoran::testing
