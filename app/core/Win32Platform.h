// The platform calls the application core needs: computer name, file checks, INI values,
// local time and the locale's month names.
#pragma once
#include <string>

#include "AppPorts.h"
#include "EventLog.h"

class Win32Platform : public IPlatform {
 public:
  std::string ComputerName() override;
  bool FileReadable(const std::string& path) override;
  std::string GetProfile(const std::string& section, const std::string& key,
                         const std::string& def, const std::string& file) override;

  static LocalTime Now();
  static std::string MonthAbbreviation(int month);  // from the user's locale
  static std::string ProgramFolder();               // folder of the running executable
  static std::string CommandLineArguments();        // the command line without the program
};
