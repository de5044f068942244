// Process entry: command line, logging defaults, application start and exit.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "kestrix/app.h"

namespace {

const char* const kAppName = "Tallywick";
const char* const kVersion = "1.0";
const long long kBuild = 17590285;
std::string g_configPath = "/etc/norvex/tallywick/tallywick.xml";

void PrintVersion() {
  std::cerr << kAppName << ", version=" << kVersion << ", build=" << kBuild << std::endl;
}

void PrintUsage(const char* invocation) {
  PrintVersion();
  std::cerr << "Usage: " << invocation << " -h | -v | path/to/configfile" << std::endl;
  std::cerr << std::endl;
  std::cerr << "   -h, --help\t\t\tprint this help message and exit." << std::endl;
  std::cerr << "   -v, --version\t\tprint only version information and exit." << std::endl;
  std::cerr << "   path/to/configfile\t\te.g. " << g_configPath << std::endl;
}

// ParseCommandLine returns true when the service should run.
bool ParseCommandLine(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "error: unrecognized command line options." << std::endl;
    PrintUsage(argv[0]);
    return false;
  }
  const std::string arg = argv[1];
  if (arg == "-h" || arg == "--help") {
    PrintUsage(argv[0]);
    return false;
  }
  if (arg == "-v" || arg == "--version") {
    PrintVersion();
    return false;
  }
  g_configPath = arg;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ParseCommandLine(argc, argv)) return 1;
  Kestrix::System::QuickExit(0);
}
