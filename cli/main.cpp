// kestrio-cli: scan and recover iPhone backups from the command line.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iostream>

#include "cli/cli.h"

namespace {

std::atomic<bool> interrupted{false};

extern "C" void OnInterrupt(int) { interrupted = true; }

}  // namespace

int main(int argc, char** argv) {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::vector<std::string> args(argv + 1, argv + argc);
  kestrio::cli::Terminal terminal{
      std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1, &interrupted, {}};
  if (::isatty(STDIN_FILENO) == 1) terminal.askPassword = kestrio::cli::PromptWithoutEcho;
  return kestrio::cli::RunCli(args, terminal);
}
