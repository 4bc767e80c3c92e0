#include "driver/command_switch.h"

#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(CommandSwitchTest, ReadsSwitchesByEveryRule) {
  struct Case {
    std::vector<std::string> parameters;  // after the program's own path
    std::string name;
    std::string expected;
  };
  const Case cases[] = {
      {{"-configFile=C:\\a.xml"}, "configFile", "C:\\a.xml"},
      {{"/configFile=C:\\a.xml"}, "configFile", "C:\\a.xml"},
      {{"configFile=C:\\a.xml"}, "configFile", "C:\\a.xml"},
      {{"/CONFIGFILE=C:\\a.xml"}, "configFile", "C:\\a.xml"},
      {{"-configFile = C:\\My Data\\a.xml"}, "configFile", "C:\\My Data\\a.xml"},
      {{"-configFile"}, "configFile", "-configFile"},
      {{"-configFile=first", "-configFile=second"}, "configFile", "first"},
      {{"--configFile=x"}, "configFile", ""},
      {{"configFile=a=b"}, "configFile", "a=b"},
      {{"-configFile="}, "configFile", ""},
      {{"-configFile=   "}, "configFile", ""},
      {{"-other=1", "/parentProcID=4012"}, "parentProcID", "4012"},
      {{"-parentProcID=1"}, "  parentprocid ", "1"},
      {{"-configFileX=1"}, "configFile", ""},
      {{}, "configFile", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> parameters{"/usr/bin/quobrina"};
    parameters.insert(parameters.end(), c.parameters.begin(), c.parameters.end());
    EXPECT_EQ(c.expected, ReadCommandSwitch(parameters, c.name, "=", "-/"))
        << (c.parameters.empty() ? "" : c.parameters[0]);
  }
}

TEST(CommandSwitchTest, NeverScansTheProgramPath) {
  EXPECT_EQ("", ReadCommandSwitch({"configFile=x"}, "configFile", "=", "-/"));
}

}  // namespace
}  // namespace qb
