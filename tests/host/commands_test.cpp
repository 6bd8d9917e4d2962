// Commands: one per name, handlers before the host's own work first, phases, and each plugin's
// handler in its own context.

#include <sstream>
#include <string>
#include <vector>

#include "XPLMUtilities.h"
#include "fixture.h"

using hosttest::Fresh;
using hosttest::WithFixture;

namespace {

std::vector<std::string> gCalls;

// Logs "NAME PHASE"; the refcon names the handler, a trailing '!' makes it stop the command.
int Handler(XPLMCommandRef, XPLMCommandPhase phase, void *refcon) {
  const std::string name = static_cast<const char *>(refcon);
  gCalls.push_back(name + " " + std::to_string(phase));
  return name.back() == '!' ? 0 : 1;
}

}  // namespace

TEST(Commands, OneCommandPerNameWithItsHandlersBeforeFirstInRegistrationOrder) {
  Fresh f;
  gCalls.clear();
  XPLMCommandRef c = XPLMCreateCommand("test/cmd", "A test command");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(XPLMCreateCommand("test/cmd", "Another description"), c);
  EXPECT_EQ(XPLMFindCommand("test/cmd"), c);
  EXPECT_EQ(XPLMFindCommand("test/none"), nullptr);
  ASSERT_EQ(f.host.commands().size(), 1u);
  EXPECT_EQ(f.host.commands()[0].description, "A test command");

  char a[] = "a", b[] = "b", c2[] = "c", d[] = "d";
  XPLMRegisterCommandHandler(c, Handler, 0, a);
  XPLMRegisterCommandHandler(c, Handler, 1, b);
  XPLMRegisterCommandHandler(c, Handler, 0, c2);
  XPLMRegisterCommandHandler(c, Handler, 1, d);
  EXPECT_TRUE(f.host.commandOnce("test/cmd"));
  EXPECT_EQ(gCalls, (std::vector<std::string>{"b 0", "d 0", "a 0", "c 0", "b 2", "d 2", "a 2", "c 2"}));

  // A handler returning 0 stops the command there.
  gCalls.clear();
  char stop[] = "stop!";
  XPLMUnregisterCommandHandler(c, Handler, 1, d);
  XPLMRegisterCommandHandler(c, Handler, 1, stop);
  XPLMCommandOnce(c);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"b 0", "stop! 0", "b 2", "stop! 2"}));
  EXPECT_FALSE(f.host.commandOnce("test/none"));
}

TEST(Commands, AHeldCommandContinuesOnceAFrameUntilItEnds) {
  Fresh f;
  gCalls.clear();
  char h[] = "h";
  XPLMRegisterCommandHandler(XPLMCreateCommand("test/hold", ""), Handler, 1, h);
  EXPECT_FALSE(f.host.commandEnd("test/hold"));  // not held
  EXPECT_TRUE(f.host.commandBegin("test/hold"));
  EXPECT_TRUE(f.host.commands()[0].held);
  f.host.runFrames(3);
  EXPECT_TRUE(f.host.commandEnd("test/hold"));
  f.host.runFrames(2);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"h 0", "h 1", "h 1", "h 1", "h 2"}));
}

TEST(Commands, EachPluginsHandlerRunsInItsContextAndNotWhileDisabled) {
  WithFixture f;
  const XPLMPluginID second = f.host.loadPlugin(FIXTURE_PLUGIN2);
  ASSERT_NE(second, XPLM_NO_PLUGIN_ID);
  const XPLMPluginID first = f.host.pluginID();
  // Both create the one command; the first made it.
  ASSERT_EQ(f.host.commands().size(), 1u);
  EXPECT_EQ(f.host.commands()[0].creator, first);
  ASSERT_EQ(f.host.commands()[0].handlers.size(), 2u);
  auto logOf = [&](XPLMPluginID id) {
    auto get = reinterpret_cast<const char *(*)()>(skyhost::Host::pluginSymbol(f.host.pluginHandle(id), "fixture_log"));
    return std::string(get ? get() : "");
  };
  auto commandLines = [&](XPLMPluginID id) {
    std::vector<std::string> out;
    std::istringstream in(logOf(id));
    for (std::string l; std::getline(in, l);)
      if (l.rfind("command", 0) == 0) out.push_back(l);
    return out;
  };

  f.host.enable(second);
  f.host.commandOnce("fixture/command");
  EXPECT_TRUE(commandLines(first).empty());  // not enabled
  const std::string id2 = std::to_string(second);
  EXPECT_EQ(commandLines(second), (std::vector<std::string>{"command 0 " + id2, "command 2 " + id2}));

  // The first plugin's handler, registered first, stops the command before the second's.
  f.host.enable();
  reinterpret_cast<void (*)(int)>(skyhost::Host::pluginSymbol(f.host.pluginHandle(first), "fixture_set_command_result"))(0);
  f.host.commandOnce("fixture/command");
  const std::string id1 = std::to_string(first);
  EXPECT_EQ(commandLines(first), (std::vector<std::string>{"command 0 " + id1, "command 2 " + id1}));
  EXPECT_EQ(commandLines(second).size(), 2u);

  // A clean unload takes its handler; the command stays.
  ASSERT_TRUE(f.host.unload());
  EXPECT_TRUE(f.host.leftoversAtUnload().empty());
  ASSERT_EQ(f.host.commands().size(), 1u);
  ASSERT_EQ(f.host.commands()[0].handlers.size(), 1u);
  EXPECT_EQ(f.host.commands()[0].handlers[0].plugin, second);
  f.host.commandOnce("fixture/command");
  EXPECT_EQ(commandLines(second).size(), 4u);
}
